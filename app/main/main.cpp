#include "app/command_line.h"
#include "app/headless.h"
#include "app/main_form.h"
#include "app/password_store.h"
#include "app/settings.h"
#include "app/ui/main_window.h"
#include "toolkit/text.h"

#include <QApplication>
#include <QCoreApplication>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <unistd.h>

using namespace pelmora;

namespace {

int Run(int argc, char** argv, const TCommandLine& cl) {
    const bool window = cl.Mode == TCommandLine::Window;
    std::unique_ptr<QCoreApplication> app;
    if (window)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName("pelmora");
    const TSites sites(DefaultSettingsPath());
    TRunSite site;
    std::string siteError;
    if (!ResolveSite(cl, sites, site, siteError)) {
        std::cerr << "pelmora: " << EscapeControls(siteError) << '\n';
        return 2;
    }
    if (cl.Mode == TCommandLine::ListSites) {
        for (const TSiteInfo& s : sites.List())
            std::cout << EscapeControls(s.Name) << '\n';
        return 0;
    }
    if (cl.Mode == TCommandLine::Configure) {
        std::vector<std::string> assignments = cl.Assignments;
        std::string error;
        if (!ReadPasswordFromInput(assignments, std::cin, STDIN_FILENO, std::cerr, error)) {
            std::cerr << "pelmora: " << EscapeControls(error) << '\n';
            return 2;
        }
        if (site.ToMake) {
            const auto made = sites.Create(site.Name, error);
            if (!made) {
                std::cerr << "pelmora: " << EscapeControls(error) << '\n';
                return 2;
            }
            site.SettingsFile = made->File;
        }
        if (!ConfigureSettings(site.SettingsFile, assignments, error)) {
            // A site made for settings that could not be written would be an empty one.
            std::string ignored;
            if (site.ToMake)
                sites.Delete(site.Name, ignored);
            std::cerr << "pelmora: " << EscapeControls(error) << '\n';
            return 2;
        }
        if (site.ToMake)
            std::cout << "Made the site " << EscapeControls(site.Name) << " ("
                      << EscapeControls(site.SettingsFile) << ")\n";
        if (!cl.ShowSettings)
            return 0;
    }
    const std::string& settings = site.SettingsFile;
    if (cl.Mode == TCommandLine::Show || cl.Mode == TCommandLine::Configure) {
        for (const std::string& line : SettingsLines(settings))
            std::cout << line << '\n';
        return 0;
    }
    if (cl.Mode == TCommandLine::Headless) {
        THeadlessOptions options;
        options.dryRun = cl.DryRun;
        options.output = cl.Output;
        options.logFile = cl.LogFile;
        options.excludes = cl.Excludes;
        options.maxDelete = cl.MaxDelete;
        // For CI secrets: used for this run, never written to the settings file.
        if (const char* password = std::getenv("PELMORA_PASSWORD"))
            options.password = password;
        options.terminal = ::isatty(STDOUT_FILENO) == 1;
        TKeyringPasswordStore keyring;
        options.passwordStore = &keyring;
        options.siteName = site.Name;
        return RunHeadless(settings, options, std::cout, std::cerr);
    }
    return ui::RunWindow(site, sites);
}

} // namespace

int main(int argc, char** argv) {
    // A server that closes while we write must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    const TCommandLine cl = ParseCommandLine(args);
    switch (cl.Mode) {
    case TCommandLine::UsageError:
        // One line: the help is one option away, and would bury the reason.
        std::cerr << "pelmora: " << EscapeControls(cl.Error) << "; see pelmora --help\n";
        return 2;
    case TCommandLine::Help:
        PrintUsage(std::cout);
        return 0;
    case TCommandLine::Version:
        std::cout << VersionText() << '\n';
        return 0;
    default:
        break;
    }
    // Whatever goes wrong, what was printed so far reaches its reader, and cron sees one
    // line and a failure rather than a core dump.
    try {
        return Run(argc, argv, cl);
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "pelmora: " << EscapeControls(e.what()) << '\n';
    } catch (...) {
        std::cout.flush();
        std::cerr << "pelmora: unexpected failure\n";
    }
    return 1;
}
