#include "app/command_line.h"
#include "app/headless.h"
#include "app/main_form.h"
#include "app/settings.h"
#include "app/ui/main_window.h"

#include <QApplication>
#include <QCoreApplication>

#include <csignal>
#include <iostream>
#include <memory>

using namespace pelmora;

int main(int argc, char** argv) {
    // A server that closes while we write must give an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    const TCommandLine cl = ParseCommandLine(args);
    switch (cl.Mode) {
    case TCommandLine::UsageError:
        std::cerr << "pelmora: " << cl.Error << "\n\n";
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

    const bool window = cl.Mode == TCommandLine::Window;
    std::unique_ptr<QCoreApplication> app;
    if (window)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName("pelmora");
    const std::string settings = cl.SettingsFile.empty() ? DefaultSettingsPath() : cl.SettingsFile;

    if (cl.Mode == TCommandLine::Configure) {
        std::string error;
        if (!ConfigureSettings(settings, cl.Assignments, error)) {
            std::cerr << "pelmora: " << error << '\n';
            return 2;
        }
        return 0;
    }
    if (cl.Mode == TCommandLine::Headless)
        return RunHeadless(settings, std::cout, std::cerr);
    return ui::RunWindow(settings);
}
