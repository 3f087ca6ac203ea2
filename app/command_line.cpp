#include "app/command_line.h"

#include "app/exit_codes.h"
#include "app/settings.h"

#include <charconv>
#include <csignal>
#include <filesystem>
#include <optional>
#include <termios.h>
#include <unistd.h>

namespace pelmora {

namespace {

enum class TValue { NotThis, Taken, Missing };

// An option with a value, as "--name VALUE" or "--name=VALUE"; an empty value is missing.
TValue TakeValue(const std::vector<std::string>& args, size_t& i, std::string_view name,
                 std::string& value) {
    const std::string& a = args[i];
    if (a == name) {
        if (i + 1 >= args.size())
            return TValue::Missing;
        value = args[++i];
    } else if (a.size() > name.size() && a.compare(0, name.size(), name) == 0 &&
               a[name.size()] == '=') {
        value = a.substr(name.size() + 1);
    } else {
        return TValue::NotThis;
    }
    return value.empty() ? TValue::Missing : TValue::Taken;
}

} // namespace

namespace {

// The command line as it is read, one argument at a time: what it asks so far, and what
// an option given later must agree with.
class TArgReader {
public:
    explicit TArgReader(const std::vector<std::string>& args) : args_(args) {}

    TCommandLine Read() {
        for (i_ = 0; i_ < args_.size(); ++i_) {
            const std::string& a = args_[i_];
            if (!ModeOption(a) && !RunOption(a))
                return Fail("Unknown argument \"" + a + "\"");
            if (!error_.empty())
                return Fail(error_);
            if (done_)
                return cl_;
        }
        if (const std::string why = Combinations(); !why.empty())
            return Fail(why);
        return cl_;
    }

private:
    TCommandLine Fail(const std::string& error) {
        cl_.Mode = TCommandLine::UsageError;
        cl_.Error = error;
        return cl_;
    }
    // The option just read was ours and is wrong: notes why, and says it was ours.
    bool Error(std::string text) {
        error_ = std::move(text);
        return true;
    }
    bool SetMode(TCommandLine::TMode mode) {
        if (modeGiven_ && cl_.Mode != mode)
            return false;
        cl_.Mode = mode;
        modeGiven_ = true;
        return true;
    }
    // The first option that only a headless run can use, to name it when there is none.
    void HeadlessOption(const std::string& name) {
        if (headlessOnly_.empty())
            headlessOnly_ = name;
    }
    bool SetLevel(TOutputLevel level) {
        if (levelGiven_ && cl_.Output != level)
            return false;
        cl_.Output = level;
        levelGiven_ = true;
        return true;
    }

    // What the run is (a mode) and which settings it uses; true when `a` was one of them.
    bool ModeOption(const std::string& a) {
        if (a == "--settings") {
            if (i_ + 1 >= args_.size())
                return Error("--settings needs a file name");
            cl_.SettingsFile = args_[++i_];
        } else if (a.rfind("--settings=", 0) == 0) {
            cl_.SettingsFile = a.substr(11);
        } else if (TValue v = TakeValue(args_, i_, "--site", value_); v != TValue::NotThis) {
            if (v == TValue::Missing || TrimSiteName(value_).empty())
                return Error("--site needs a site name");
            cl_.Site = value_;
        } else if (a == "--headless") {
            if (!SetMode(TCommandLine::Headless))
                return Error("--headless cannot be combined with another mode");
        } else if (a == "--configure") {
            if (!SetMode(TCommandLine::Configure))
                return Error("--configure cannot be combined with another mode");
            while (i_ + 1 < args_.size() && args_[i_ + 1].rfind("--", 0) != 0)
                cl_.Assignments.push_back(args_[++i_]);
            if (cl_.Assignments.empty())
                return Error("--configure needs at least one Section.key=VALUE");
        } else if (a == "--show") {
            cl_.ShowSettings = true;
        } else if (a == "--list-sites") {
            if (!SetMode(TCommandLine::ListSites))
                return Error("--list-sites cannot be combined with another mode");
        } else if (a == "--help" || a == "-h" || a == "--version") {
            // Asked alone: whatever else the line holds is not read.
            cl_.Mode = a == "--version" ? TCommandLine::Version : TCommandLine::Help;
            done_ = true;
        } else {
            return false;
        }
        return true;
    }

    // How a headless run goes; true when `a` was one of those options.
    bool RunOption(const std::string& a) {
        if (a == "--dry-run") {
            cl_.DryRun = true;
        } else if (a == "--quiet" || a == "-q" || a == "--verbose" || a == "-v") {
            const bool quiet = a == "--quiet" || a == "-q";
            if (!SetLevel(quiet ? TOutputLevel::Quiet : TOutputLevel::Verbose))
                return Error("--quiet and --verbose cannot be combined");
        } else if (TValue v = TakeValue(args_, i_, "--log-file", value_); v != TValue::NotThis) {
            if (v == TValue::Missing)
                return Error("--log-file needs a file name");
            cl_.LogFile = value_;
        } else if (TValue v = TakeValue(args_, i_, "--exclude", value_); v != TValue::NotThis) {
            if (v == TValue::Missing)
                return Error("--exclude needs a pattern");
            cl_.Excludes.push_back(value_);
        } else if (TValue v = TakeValue(args_, i_, "--max-delete", value_); v != TValue::NotThis) {
            if (!MaxDelete(v))
                return Error("--max-delete needs a number of deletions (0 or more), or -1 for "
                             "no limit");
        } else {
            return false;
        }
        // Named as typed, without its value.
        HeadlessOption(a.substr(0, a.find('=')));
        return true;
    }

    bool MaxDelete(TValue v) {
        std::int64_t cap = 0;
        const char* end = value_.data() + value_.size();
        const auto [stop, error] = std::from_chars(value_.data(), end, cap);
        if (v == TValue::Missing || error != std::errc() || stop != end || cap < -1)
            return false;
        cl_.MaxDelete = cap;
        return true;
    }

    // What the options read together cannot be; empty when they can.
    std::string Combinations() {
        if (!headlessOnly_.empty() && cl_.Mode != TCommandLine::Headless)
            return headlessOnly_ + " is only for --headless";
        if (!cl_.Site.empty() && !cl_.SettingsFile.empty())
            return "--site and --settings cannot be combined: a site is a settings file";
        if (cl_.ShowSettings && cl_.Mode != TCommandLine::Configure) {
            if (modeGiven_)
                return "--show goes alone or with --configure";
            cl_.Mode = TCommandLine::Show;
        }
        if (cl_.Mode == TCommandLine::ListSites && (!cl_.Site.empty() || !cl_.SettingsFile.empty()))
            return "--list-sites lists every site: not with --site or --settings";
        return {};
    }

    const std::vector<std::string>& args_;
    size_t i_ = 0;
    TCommandLine cl_;
    std::string value_;
    std::string error_;
    std::string headlessOnly_;
    bool modeGiven_ = false;
    bool levelGiven_ = false;
    bool done_ = false;
};

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    return TArgReader(args).Read();
}

bool ResolveSite(const TCommandLine& cl, const TSites& sites, TRunSite& site, std::string& error) {
    if (!cl.SettingsFile.empty()) {
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(cl.SettingsFile, ec);
        site = {cl.SettingsFile, ec ? cl.SettingsFile : absolute.lexically_normal().string(),
                false};
        return true;
    }
    const auto found = sites.Find(cl.Site.empty() ? DefaultSiteName : cl.Site);
    if (!found && cl.Mode == TCommandLine::Configure) {
        // Blanks at either end would be dropped from the name when it is looked up: a
        // site is not made under a name other than the one typed.
        if (TrimSiteName(cl.Site) != cl.Site) {
            error = "A site's name cannot begin or end with a blank: \"" + cl.Site + "\"";
            return false;
        }
        std::string why;
        if (!CheckSiteName(cl.Site, why)) {
            error = why;
            return false;
        }
        site = {std::string(), cl.Site, true, true};
        return true;
    }
    if (!found) {
        std::string names;
        for (const TSiteInfo& s : sites.List())
            names += (names.empty() ? "" : ", ") + s.Name;
        error = "There is no site named \"" + TrimSiteName(cl.Site) + "\" (the sites: " + names +
                "; --site NAME --configure ... makes a new one)";
        return false;
    }
    site = {found->File, found->Name, true};
    return true;
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

namespace {

// Straight from the table --configure reads, so the help can never name a key it refuses
// or leave one out.
void PrintSettingKeys(std::ostream& out) {
    constexpr size_t width = 79;
    std::string line = " ";
    for (size_t i = 0; i < SettingKeys.size(); ++i) {
        std::string word = std::string(SettingKeys[i].Section) + "." + SettingKeys[i].Key;
        if (i + 1 < SettingKeys.size())
            word += ',';
        if (line.size() + 1 + word.size() > width) {
            out << line << '\n';
            line = " ";
        }
        line += ' ' + word;
    }
    out << line << '\n';
}

} // namespace

void PrintUsage(std::ostream& out) {
    out << "Usage: pelmora [--site NAME | --settings FILE]\n"
           "               [--headless | --configure Section.key=VALUE ... | --show]\n"
           "       pelmora --list-sites\n"
           "\n"
           "Keeps a web site on an FTP server in step with its copy on the local disk.\n"
           "\n"
           "  (no option)          open the window\n"
           "  --headless           run without a window: load both trees, compare, and\n"
           "                       update the server (whatever Options.load, .compare,\n"
           "                       .update and .exit say: they are the window's), print\n"
           "                       what it does, and exit with a status below (Ctrl-C\n"
           "                       stops); a remote directory that does not exist is made,\n"
           "                       with its parents\n"
           "  --configure K=V ...  write settings keys (listed below) and exit;\n"
           "                       FTP.password=- reads the password from standard input;\n"
           "                       with --site, a site that does not exist is made\n"
           "  --show               print the settings, one Section.key=value a line (the\n"
           "                       password only as (set) or (not set)); after writing\n"
           "                       them, with --configure\n"
           "  --list-sites         print the names of the sites, one a line\n"
           "  --site NAME          use the settings of the site NAME (a file in\n"
           "                       ~/.config/pelmora/sites/, made by --configure or on the\n"
           "                       window's Setup page); \"Default\" is PELMORA.INI, used\n"
           "                       without either\n"
           "  --settings FILE      use FILE as the settings file (default\n"
           "                       ~/.config/pelmora/PELMORA.INI); not with --site\n"
           "  --help, --version\n";
    out << "\n"
           "With --headless:\n"
           "  --dry-run            load both trees, compare and print the plan; change\n"
           "                       nothing on the server\n"
           "  -q, --quiet          print only failures and the summary; nothing when\n"
           "                       nothing changed and nothing failed\n"
           "  -v, --verbose        print every status line and each file sent or deleted\n"
           "  --log-file FILE      append every line, as --verbose prints it, to FILE, each\n"
           "                       with its time (UTC); the password is never written\n"
           "                       there, nor printed (a reply that repeats it shows ***)\n"
           "  --exclude PATTERN    leave out what matches PATTERN on both sides: never\n"
           "                       uploaded, never deleted; the same as a line of the file\n"
           "                       .pelmoraignore in the local directory (patterns as in\n"
           "                       .gitignore; .git and .pelmoraignore are left out unless\n"
           "                       a pattern with ! brings them back); may be repeated\n"
           "  --max-delete N       refuse to delete more than N entries on the server\n"
           "                       (-1: no limit); without it, deleting more than half of\n"
           "                       the server's entries, and more than 20, is refused;\n"
           "                       uploads go on either way (the setting\n"
           "                       Options.maxDelete gives the same limit)\n"
           "\n"
           "Settings keys (--configure, --show):\n";
    PrintSettingKeys(out);
    out << "  FTP.dataMode is auto, passive or active; FTP.tls is auto, require or off.\n"
           "\n"
           "Environment:\n"
           "  PELMORA_PASSWORD     the password for this run, instead of the stored one\n"
           "                       (stored in the desktop's keyring when the site's\n"
           "                       FTP.passwordInKeyring is 1 and a keyring answers,\n"
           "                       else in the settings file)\n"
           "\n"
           "Exit status:\n"
        << ExitCodesHelp();
}

std::string VersionText() {
    return "Pelmora " PELMORA_VERSION;
}

} // namespace pelmora
