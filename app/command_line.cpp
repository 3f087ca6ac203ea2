#include "app/command_line.h"

#include "app/settings.h"

#include <csignal>
#include <optional>
#include <termios.h>
#include <unistd.h>

namespace pelmora {

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    TCommandLine cl;
    auto fail = [&](const std::string& error) {
        cl.Mode = TCommandLine::UsageError;
        cl.Error = error;
        return cl;
    };
    bool modeGiven = false;
    auto setMode = [&](TCommandLine::TMode mode) {
        if (modeGiven && cl.Mode != mode)
            return false;
        cl.Mode = mode;
        modeGiven = true;
        return true;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--settings") {
            if (i + 1 >= args.size())
                return fail("--settings needs a file name");
            cl.SettingsFile = args[++i];
        } else if (a.rfind("--settings=", 0) == 0) {
            cl.SettingsFile = a.substr(11);
        } else if (a == "--headless") {
            if (!setMode(TCommandLine::Headless))
                return fail("--headless cannot be combined with another mode");
        } else if (a == "--configure") {
            if (!setMode(TCommandLine::Configure))
                return fail("--configure cannot be combined with another mode");
            while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0)
                cl.Assignments.push_back(args[++i]);
            if (cl.Assignments.empty())
                return fail("--configure needs at least one Section.key=VALUE");
        } else if (a == "--help" || a == "-h") {
            cl.Mode = TCommandLine::Help;
            return cl;
        } else if (a == "--version") {
            cl.Mode = TCommandLine::Version;
            return cl;
        } else {
            return fail("Unknown argument \"" + a + "\"");
        }
    }
    return cl;
}

namespace {

// The terminal's settings while echo is off, to be put back even when the typing is
// ended by Ctrl-C.
struct termios savedTerminal {};
int echoOffFd = -1;

extern "C" void RestoreEchoAndDie(int signal) {
    if (echoOffFd >= 0)
        ::tcsetattr(echoOffFd, TCSANOW, &savedTerminal);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

class TEchoOff {
public:
    explicit TEchoOff(int fd) {
        if (::tcgetattr(fd, &savedTerminal) != 0)
            return;
        struct sigaction restore {};
        restore.sa_handler = RestoreEchoAndDie;
        sigemptyset(&restore.sa_mask);
        ::sigaction(SIGINT, &restore, &savedInt_);
        ::sigaction(SIGTERM, &restore, &savedTerm_);
        ::sigaction(SIGHUP, &restore, &savedHup_);
        struct termios quiet = savedTerminal;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        echoOffFd = fd;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    ~TEchoOff() {
        if (echoOffFd < 0)
            return;
        ::tcsetattr(echoOffFd, TCSANOW, &savedTerminal);
        echoOffFd = -1;
        ::sigaction(SIGINT, &savedInt_, nullptr);
        ::sigaction(SIGTERM, &savedTerm_, nullptr);
        ::sigaction(SIGHUP, &savedHup_, nullptr);
    }
    TEchoOff(const TEchoOff&) = delete;
    TEchoOff& operator=(const TEchoOff&) = delete;

private:
    struct sigaction savedInt_ {};
    struct sigaction savedTerm_ {};
    struct sigaction savedHup_ {};
};

} // namespace

bool ReadPasswordFromInput(std::vector<std::string>& assignments, std::istream& in, int terminalFd,
                           std::ostream& prompt, std::string& error) {
    const TSetting* password = FindSetting("FTP.password");
    bool read = false;
    std::string line;
    for (std::string& assignment : assignments) {
        const size_t eq = assignment.find('=');
        if (eq == std::string::npos || assignment.compare(eq + 1, std::string::npos, "-") != 0 ||
            FindSetting(std::string_view(assignment).substr(0, eq)) != password)
            continue;
        if (!read) {
            const bool terminal = terminalFd >= 0 && ::isatty(terminalFd);
            if (terminal)
                prompt << "Password: " << std::flush;
            {
                std::optional<TEchoOff> echoOff;
                if (terminal)
                    echoOff.emplace(terminalFd);
                std::getline(in, line);
            }
            if (terminal)
                prompt << '\n' << std::flush;
            if (in.fail()) {
                error = "FTP.password=- needs the password as a line on standard input";
                return false;
            }
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            read = true;
        }
        assignment.replace(eq + 1, std::string::npos, line);
    }
    return true;
}

void PrintUsage(std::ostream& out) {
    out << "Usage: pelmora [--settings FILE] [--headless | --configure Section.key=VALUE ...]\n"
           "\n"
           "Keeps a web site on an FTP server in step with its copy on the local disk.\n"
           "\n"
           "  (no option)          open the window\n"
           "  --headless           run without a window: load the local tree, then do what\n"
           "                       one press of Connect does (as the settings choose), print\n"
           "                       every status line, and exit: 0 when all went well,\n"
           "                       1 when a step failed or was stopped (Ctrl-C stops)\n"
           "  --configure K=V ...  write settings keys (FTP.server, FTP.userName,\n"
           "                       FTP.password, FTP.port, Firewall.server, Firewall.port,\n"
           "                       Firewall.active, List.local, List.remote, Options.compare,\n"
           "                       Options.load, Options.update, Options.exit,\n"
           "                       Options.delete, Options.timeout, Screen.width,\n"
           "                       Screen.height, Screen.top, Screen.left,\n"
           "                       FTP.dataMode=auto|passive|active) and exit;\n"
           "                       FTP.password=- reads the password from standard input\n"
           "  --settings FILE      use FILE as the settings file (default\n"
           "                       ~/.config/pelmora/PELMORA.INI)\n"
           "  --help, --version\n";
}

std::string VersionText() {
    return "Pelmora 1.1c";
}

} // namespace pelmora
