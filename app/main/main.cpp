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
#include <optional>
#include <unistd.h>

using namespace pelmora;

namespace {

int Refused(const std::string& why) {
    std::cerr << "pelmora: " << EscapeControls(why) << '\n';
    return 2;
}

// --configure: writes the assignments into the site's settings, making the site first
// when it is new. Nothing (a status to exit with) when the settings are to be shown next.
std::optional<int> Configure(const TCommandLine& cl, const TSites& sites, TRunSite& site) {
    std::vector<std::string> assignments = cl.Assignments;
    std::string error;
    if (!ReadPasswordFromInput(assignments, std::cin, STDIN_FILENO, std::cerr, error))
        return Refused(error);
    if (site.ToMake) {
        const auto made = sites.Create(site.Name, error);
        if (!made)
            return Refused(error);
        site.SettingsFile = made->File;
    }
    if (!ConfigureSettings(site.SettingsFile, assignments, error)) {
        // A site made for settings that could not be written would be an empty one.
        std::string ignored;
        if (site.ToMake)
            sites.Delete(site.Name, ignored);
        return Refused(error);
    }
    if (site.ToMake)
        std::cout << "Made the site " << EscapeControls(site.Name) << " ("
                  << EscapeControls(site.SettingsFile) << ")\n";
    if (!cl.ShowSettings)
        return 0;
    return std::nullopt;
}

int RunWithoutWindow(const TCommandLine& cl, const TRunSite& site) {
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
    return RunHeadless(site.SettingsFile, options, std::cout, std::cerr);
}

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
    if (!ResolveSite(cl, sites, site, siteError))
        return Refused(siteError);
    switch (cl.Mode) {
    case TCommandLine::ListSites:
        for (const TSiteInfo& s : sites.List())
            std::cout << EscapeControls(s.Name) << '\n';
        return 0;
    case TCommandLine::Configure:
        if (const std::optional<int> status = Configure(cl, sites, site))
            return *status;
        [[fallthrough]];
    case TCommandLine::Show:
        for (const std::string& line : SettingsLines(site.SettingsFile))
            std::cout << line << '\n';
        return 0;
    case TCommandLine::Headless:
        return RunWithoutWindow(cl, site);
    default:
        return ui::RunWindow(site, sites);
    }
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
