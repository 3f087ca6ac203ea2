#include "app/command_line.h"
#include "app/headless.h"
#include "app/main_form.h"
#include "app/settings.h"
#include "app/ui/main_window.h"
#include "toolkit/text.h"

#include <QApplication>
#include <QCoreApplication>

#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <unistd.h>

using namespace pelmora;

namespace {

std::string UnheededHeadlessOption(const TCommandLine& cl) {
    if (cl.DryRun)
        return "--dry-run";
    if (cl.Output == TOutputLevel::Quiet)
        return "--quiet";
    if (cl.Output == TOutputLevel::Verbose)
        return "--verbose";
    if (!cl.LogFile.empty())
        return "--log-file";
    if (!cl.Excludes.empty())
        return "--exclude";
    if (cl.MaxDelete)
        return "--max-delete";
    return {};
}

int Run(int argc, char** argv, const TCommandLine& cl) {
    const bool window = cl.Mode == TCommandLine::Window;
    std::unique_ptr<QCoreApplication> app;
    if (window)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName("pelmora");
    const std::string settings = cl.SettingsFile.empty() ? DefaultSettingsPath() : cl.SettingsFile;

    if (cl.Mode == TCommandLine::Configure) {
        std::vector<std::string> assignments = cl.Assignments;
        std::string error;
        if (!ReadPasswordFromInput(assignments, std::cin, STDIN_FILENO, std::cerr, error) ||
            !ConfigureSettings(settings, assignments, error)) {
            std::cerr << "pelmora: " << EscapeControls(error) << '\n';
            return 2;
        }
        return 0;
    }
    if (cl.Mode == TCommandLine::Headless) {
        // Until the run honours these, taking them would be worse than refusing them: a dry
        // run that changes the server, excludes that are published, a cap that deletes.
        if (const std::string unheeded = UnheededHeadlessOption(cl); !unheeded.empty()) {
            std::cerr << "pelmora: " << unheeded << " is not available in this build yet\n";
            return 2;
        }
        return RunHeadless(settings, std::cout, std::cerr);
    }
    return ui::RunWindow(settings);
}

} // namespace

int main(int argc, char** argv) {
    // A server that closes while we write must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    const TCommandLine cl = ParseCommandLine(args);
    switch (cl.Mode) {
    case TCommandLine::UsageError:
        std::cerr << "pelmora: " << EscapeControls(cl.Error) << "\n\n";
        PrintUsage(std::cerr);
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
