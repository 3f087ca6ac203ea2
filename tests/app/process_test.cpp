// The program itself, run as cron or a shell runs it: signals, pipes and exit statuses.
#include "app/main_form.h"
#include "app/settings.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/support/temp_tree.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace pelmora;
using namespace pelmora::testing;

namespace {

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// One run of the pelmora binary, its output in files of `tree`. A child still running
// when the object goes is killed, by its PID.
class TChild {
public:
    TChild(const TTempTree& tree, const std::string& tag, std::vector<std::string> args,
           int stdinFd = -1)
        : out_(tree.Path(tag + ".out")), err_(tree.Path(tag + ".err")) {
        args.insert(args.begin(), PELMORA_BINARY);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdinFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // The test program may ignore or block signals; the child starts as a shell's would.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int s : {SIGINT, SIGTERM, SIGALRM, SIGPIPE})
            sigaddset(&defaults, s);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TChild() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    pid_t Pid() const { return pid_; }
    // The wait status once the child has ended within `ms`, or nothing.
    std::optional<int> Wait(int ms) {
        for (int waited = 0; !status_ && pid_ > 0; waited += 10) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = status;
            else if (waited >= ms)
                break;
            else
                Pause(10);
        }
        return status_;
    }
    // Whether the child catches `signal` yet (its handlers are in place).
    bool Catches(int signal) const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("SigCgt:", 0) == 0)
                return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
        return false;
    }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

std::string Describe(const std::optional<int>& status) {
    if (!status)
        return "still running";
    if (WIFEXITED(*status))
        return "exit " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status))
        return "killed by signal " + std::to_string(WTERMSIG(*status));
    return "status " + std::to_string(*status);
}

} // namespace

TEST(Program, SigtermEndsAHeadlessRunWaitingForAListingThatNeverComes) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    TFtpScriptServer server;
    server.On("LIST").Refuse("").Silent();
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=u",
                                   "List.remote=/", "Options.update=1", "Options.timeout=300"},
                                  error))
        << error;
    TChild child(tree, "run", {"--settings", ini, "--headless"});
    ASSERT_GT(child.Pid(), 0);
    auto listed = [&] {
        const auto c = server.Commands();
        return std::find(c.begin(), c.end(), "LIST -a") != c.end();
    };
    for (int i = 0; i < 2000 && !listed(); ++i)
        Pause(10);
    ASSERT_TRUE(listed()) << child.Out() << child.Err();

    const uint32_t start = GetTickCount();
    ASSERT_EQ(::kill(child.Pid(), SIGTERM), 0);
    const auto status = child.Wait(8000);
    const uint32_t took = GetTickCount() - start;
    SCOPED_TRACE(child.Out() + child.Err());
    ASSERT_TRUE(status) << "still running 8 s after SIGTERM";
    EXPECT_LT(took, 6500u);
    ASSERT_TRUE(WIFEXITED(*status)) << Describe(status);
    EXPECT_EQ(WEXITSTATUS(*status), 143);
    // The stop is said as what it was, and is no failure of the run.
    EXPECT_NE(child.Err().find("Stopped by SIGTERM\n"), std::string::npos);
    EXPECT_NE(child.Out().find("Summary: 0 uploaded, 0 refreshed, 0 created, 0 deleted, 0 failed"),
              std::string::npos);
    EXPECT_EQ(child.Err().find("canceled"), std::string::npos);
}

TEST(Program, TheWatchdogEndsARunThatCannotReachItsStop) {
    // Reading a settings file that is a pipe nobody writes to blocks in the kernel, where
    // the event loop that carries out the stop never runs again.
    TTempTree tree;
    struct TRun {
        int signal;
        int status;
        std::unique_ptr<TChild> child;
    };
    TRun runs[] = {{SIGINT, 130, nullptr}, {SIGTERM, 143, nullptr}};
    for (TRun& run : runs) {
        const std::string tag = std::to_string(run.signal);
        const std::string fifo = tree.Path("settings-" + tag);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        run.child = std::make_unique<TChild>(
            tree, tag, std::vector<std::string>{"--settings", fifo, "--headless"});
        ASSERT_GT(run.child->Pid(), 0);
    }
    for (TRun& run : runs) {
        for (int i = 0; i < 2000 && !run.child->Catches(run.signal); ++i)
            Pause(10);
        ASSERT_TRUE(run.child->Catches(run.signal)) << run.signal;
    }
    const uint32_t start = GetTickCount();
    for (TRun& run : runs)
        ASSERT_EQ(::kill(run.child->Pid(), run.signal), 0);
    for (TRun& run : runs) {
        const auto status = run.child->Wait(9000);
        const uint32_t took = GetTickCount() - start;
        SCOPED_TRACE("signal " + std::to_string(run.signal) + ": " + run.child->Err());
        ASSERT_TRUE(status) << "still running 9 s after the signal";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == run.status) << Describe(status);
        EXPECT_GE(took, 4500u) << "the stop was given its time";
        EXPECT_LT(took, 7500u);
    }
}

TEST(Program, ConfigureTakesThePasswordFromAPipe) {
    TTempTree tree;
    const std::string ini = tree.Path("PELMORA.INI");
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    TChild child(tree, "configure",
                 {"--settings", ini, "--configure", "FTP.userName=me", "FTP.password=-"},
                 pipeFds[0]);
    ::close(pipeFds[0]);
    const std::string line = "pipe d pw\n";
    EXPECT_EQ(::write(pipeFds[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::close(pipeFds[1]);
    const auto status = child.Wait(10000);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << Describe(status) << child.Err();
    EXPECT_EQ(child.Out() + child.Err(), "") << "no prompt when the input is a pipe";
    EXPECT_EQ(ReadFile(ini).find("pipe"), std::string::npos);
    TForm1 form;
    form.FormCreate(ini);
    EXPECT_EQ(form.setup.passwordEdit.Text(), "pipe d pw");
    EXPECT_EQ(form.setup.userEdit.Text(), "me");
}

TEST(Program, OutputReachesAFileWhileTheRunWaitsAndCtrlCEndsItWith130) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    TFtpScriptServer server;
    server.On("LIST").Refuse("").Silent();
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=u",
                                   "FTP.password=stored-pw", "List.remote=/", "Options.update=1",
                                   "Options.timeout=300"},
                                  error))
        << error;
    const std::string settingsBefore = ReadFile(ini);
    ::setenv("PELMORA_PASSWORD", "env-pw-5b", 1);
    TChild child(tree, "run", {"--settings", ini, "--headless", "--dry-run", "--exclude", "*.tmp"});
    ::unsetenv("PELMORA_PASSWORD");
    ASSERT_GT(child.Pid(), 0);
    auto listed = [&] {
        const auto c = server.Commands();
        return std::find(c.begin(), c.end(), "LIST -a") != c.end();
    };
    for (int i = 0; i < 2000 && !listed(); ++i)
        Pause(10);
    ASSERT_TRUE(listed()) << child.Out() << child.Err();
    // The run waits for the listing; what it said so far is in the file already.
    for (int i = 0; i < 200 && child.Out().find("Connected") == std::string::npos; ++i)
        Pause(10);
    EXPECT_NE(
        child.Out().find("Connecting to 127.0.0.1 (port " + std::to_string(server.Port()) + ")\n"),
        std::string::npos)
        << child.Out();
    EXPECT_FALSE(child.Wait(0)) << "the run ended early: " << child.Err();
    const auto commands = server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "PASS env-pw-5b"), commands.end());

    ASSERT_EQ(::kill(child.Pid(), SIGINT), 0);
    const auto status = child.Wait(8000);
    ASSERT_TRUE(status && WIFEXITED(*status)) << Describe(status);
    EXPECT_EQ(WEXITSTATUS(*status), 130) << child.Out() << child.Err();
    EXPECT_NE(child.Err().find("Stopped by Ctrl-C\n"), std::string::npos) << child.Err();
    EXPECT_NE(child.Out().find(" 0 failed"), std::string::npos) << child.Out();
    EXPECT_EQ(child.Err().find("failed"), std::string::npos) << child.Err();
    EXPECT_EQ(ReadFile(ini), settingsBefore);
}

// A command line or a settings file that cannot make a run: the reason in one line, and
// where to look, never a run's summary nor the whole help.
TEST(Program, AUsageErrorIsOneLineWithTheReason) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(
        ConfigureSettings(ini, {"List.local=" + tree.Path("site"), "FTP.userName=u"}, error))
        << error;
    struct TRow {
        std::vector<std::string> args;
        std::string reason;
    };
    const TRow rows[] = {
        {{"--headless", "--bogus"}, "Unknown argument \"--bogus\""},
        {{"--dry-run"}, "--dry-run is only for --headless"},
        {{"--settings", ini, "--headless"}, "Supply FTP server details under SETUP below"},
        {{"--settings", ini, "--headless", "-q"}, "Supply FTP server details under SETUP below"},
    };
    for (const TRow& row : rows) {
        TChild child(tree, "usage", row.args);
        const auto status = child.Wait(20000);
        ASSERT_TRUE(status && WIFEXITED(*status)) << Describe(status);
        EXPECT_EQ(WEXITSTATUS(*status), 2);
        EXPECT_EQ(child.Err(), "pelmora: " + row.reason + "; see pelmora --help\n");
        EXPECT_EQ(child.Out().find("Summary"), std::string::npos) << child.Out();
    }
}

// A server that repeats the password: neither the one given for the run nor the stored
// one reaches standard output, standard error or the log file.
TEST(Program, APasswordTheServerRepeatsIsMaskedInEveryOutput) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    TFtpScriptServer server;
    server.SetListing("");
    server.On("PASS").Reply("230 Hello web, pw-run-7719 (pw-kept-3105 before)");
    server.On("CWD").Reply("550 /www is not pw-run-7719, nor pw-kept-3105");
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=web",
                                   "FTP.password=pw-kept-3105", "List.remote=/www",
                                   "Options.update=1", "Options.exit=1", "Options.timeout=10"},
                                  error))
        << error;
    const std::string log = tree.Path("run.log");
    ::setenv("PELMORA_PASSWORD", "pw-run-7719", 1);
    TChild child(tree, "run", {"--settings", ini, "--headless", "--verbose", "--log-file", log});
    ::unsetenv("PELMORA_PASSWORD");
    ASSERT_GT(child.Pid(), 0);
    const auto status = child.Wait(15000);
    ASSERT_TRUE(status && WIFEXITED(*status)) << Describe(status);
    EXPECT_NE(WEXITSTATUS(*status), 0);
    const auto commands = server.Commands();
    ASSERT_NE(std::find(commands.begin(), commands.end(), "PASS pw-run-7719"), commands.end());
    const std::string outputs[] = {child.Out(), child.Err(), ReadFile(log)};
    for (const std::string& output : outputs) {
        EXPECT_EQ(output.find("pw-run"), std::string::npos) << output;
        EXPECT_EQ(output.find("pw-kept"), std::string::npos) << output;
    }
    // The server's words are there, the secrets masked.
    EXPECT_NE(child.Err().find("/www is not ***, nor ***"), std::string::npos) << child.Err();
    EXPECT_NE(outputs[2].find("/www is not ***, nor ***"), std::string::npos) << outputs[2];
}

namespace {

// The configuration and state folders the child finds, in `tree` for as long as this
// lives, as a new user's shell would have them.
class TOwnHome {
public:
    explicit TOwnHome(TTempTree& tree) {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME"}) {
            if (const char* old = std::getenv(name))
                saved_.emplace_back(name, old);
            else
                saved_.emplace_back(name, std::nullopt);
            ::setenv(name, tree.Dir(name).c_str(), 1);
        }
    }
    ~TOwnHome() {
        for (const auto& [name, value] : saved_)
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
    }
    TOwnHome(const TOwnHome&) = delete;
    TOwnHome& operator=(const TOwnHome&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Runs the binary to its end: its exit status (-1 when it did not exit), output in `out`.
int RunToEnd(const TTempTree& tree, const std::string& tag, std::vector<std::string> args,
             std::string& out, int stdinFd = -1) {
    TChild child(tree, tag, std::move(args), stdinFd);
    const auto status = child.Wait(60000);
    out = child.Out() + child.Err();
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

} // namespace

namespace {

// The status texts of the window, worded for its buttons and its status line: a terminal
// and a log show none of them.
const char* const WindowPhrases[] = {"Press Connect",          "MAY have to",
                                     "Transfer canceled",      "Local and",
                                     "Remote Files",           "Loading Remote Directory",
                                     "Directory Loaded",       "Files Compared",
                                     "Ready for Transfer",     "Updating remote",
                                     "Files and Directories",  "New Directories",
                                     "Uploading files -",      "Remote Site Update",
                                     "Connecting to:",         "Connected.",
                                     "Security: not encrypted"};

std::string Listing(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names)
        text += "-rw-r--r-- 1 o g 11 Jan  5  2020 " + name + "\r\n";
    return text;
}

// A site for the script server: its settings file, the site under `tree`'s "site", the
// server's directory /www, an update that may delete.
std::string ScriptSite(const TTempTree& tree, const TFtpScriptServer& server,
                       std::vector<std::string> extra = {}) {
    std::vector<std::string> settings = {"List.local=" + tree.Path("site"),
                                         "FTP.server=127.0.0.1",
                                         "FTP.port=" + std::to_string(server.Port()),
                                         "FTP.userName=web",
                                         "FTP.password=pw",
                                         "List.remote=/www",
                                         "Options.delete=1",
                                         "Options.atomic=0",
                                         "Options.timeout=10"};
    settings.insert(settings.end(), extra.begin(), extra.end());
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    EXPECT_TRUE(ConfigureSettings(ini, settings, error)) << error;
    return ini;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

} // namespace

// A new user on a machine without a display: the site is made, looked at and published
// from the shell alone, with the default options and a remote directory that is not there.
TEST(Program, ASiteMadeFromTheShellIsShownAndPublishedIntoADirectoryItMakes) {
    TTempTree tree;
    tree.File("site/index.html", "<p>home</p>");
    tree.File("site/css/style.css", "p{}");
    TRealFtpServer server(TRealServerKind::Vsftpd);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    const TOwnHome home(tree);
    const std::string password = server.Password();
    const std::string passwordFile = tree.File("password", password + "\n");
    const int passwordFd = ::open(passwordFile.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(passwordFd, 0);
    std::string out;
    EXPECT_EQ(
        RunToEnd(tree, "configure",
                 {"--site", "Shop", "--configure", "FTP.server=127.0.0.1",
                  "FTP.port=" + std::to_string(server.Port()), "FTP.userName=" + server.User(),
                  "FTP.password=-", "List.local=" + tree.Path("site"),
                  "List.remote=" + server.SiteDir() + "/new/deeper"},
                 out, passwordFd),
        0)
        << out;
    ::close(passwordFd);
    const std::string siteFile = tree.Path("XDG_CONFIG_HOME") + "/pelmora/sites/Shop.ini";
    EXPECT_EQ(out, "Made the site Shop (" + siteFile + ")\n");

    EXPECT_EQ(RunToEnd(tree, "list", {"--list-sites"}, out), 0) << out;
    EXPECT_EQ(out, "Default\nShop\n");

    // Neither the password nor its stored form: the stored form gives the password back.
    std::string stored;
    std::istringstream file(ReadFile(siteFile));
    for (std::string line; std::getline(file, line);)
        if (line.rfind("password=", 0) == 0)
            stored = line.substr(9);
    ASSERT_FALSE(stored.empty()) << ReadFile(siteFile);
    EXPECT_EQ(RunToEnd(tree, "show", {"--site", "shop", "--show"}, out), 0) << out;
    EXPECT_NE(
        out.find("FTP.server=127.0.0.1\nFTP.userName=" + server.User() + "\nFTP.password=(set)\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("\nList.remote=" + server.SiteDir() + "/new/deeper\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\nOptions.update=0\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(password), std::string::npos) << out;
    EXPECT_EQ(out.find(stored), std::string::npos) << out;

    const std::filesystem::path made = server.SiteOnDisk() + "/new";
    EXPECT_EQ(RunToEnd(tree, "dry", {"--site", "Shop", "--headless", "--dry-run"}, out), 0) << out;
    EXPECT_NE(out.find("  create " + server.SiteDir() + "/new/deeper (the remote directory)\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(std::filesystem::exists(made)) << out;

    EXPECT_EQ(RunToEnd(tree, "publish", {"--site", "Shop", "--headless"}, out), 0) << out;
    EXPECT_NE(out.find("Made the remote directory " + server.SiteDir() + "/new/deeper\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Snapshot(made / "deeper"), Snapshot(tree.Path("site"))) << out;

    // Nothing left to do: the plan says so, and no step of the update has a line.
    EXPECT_EQ(RunToEnd(tree, "in-step", {"--site", "Shop", "--headless"}, out), 0) << out;
    EXPECT_TRUE(HasLine(out, "Nothing to do")) << out;
    for (const char* start : {"Plan", "Deleting", "Creating", "Uploading", "Total"})
        EXPECT_EQ(("\n" + out).find(std::string("\n") + start), std::string::npos) << out;
    EXPECT_EQ(RunToEnd(tree, "dry-in-step", {"--site", "Shop", "--headless", "--dry-run"}, out), 0)
        << out;
    EXPECT_NE(out.find("\nPlan (dry run, nothing is changed on the server)\nNothing to do\n"),
              std::string::npos)
        << out;

    // The cron line: quiet, a run with nothing to do says nothing at all; one that sends
    // something says what it sent.
    EXPECT_EQ(RunToEnd(tree, "again", {"--site", "Shop", "--headless", "-q"}, out), 0) << out;
    EXPECT_EQ(out, "");
    tree.File("site/css/style.css", "p{color:red}");
    EXPECT_EQ(RunToEnd(tree, "changed", {"--site", "Shop", "--headless", "-q"}, out), 0) << out;
    EXPECT_EQ(out.rfind("Summary: 0 uploaded, 1 refreshed, 0 created, 0 deleted, 0 failed; ", 0),
              0u)
        << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

// Names that would not be the name typed, or not a file name, are refused before anything
// is made.
TEST(Program, ConfigureRefusesASiteNameWithASlashOrOuterBlanks) {
    TTempTree tree;
    const TOwnHome home(tree);
    for (const std::string name : {" Shop", "Shop ", "a/b"}) {
        std::string out;
        EXPECT_EQ(RunToEnd(tree, "name", {"--site", name, "--configure", "FTP.server=h"}, out), 2)
            << name << ": " << out;
        EXPECT_FALSE(std::filesystem::exists(tree.Path("XDG_CONFIG_HOME") + "/pelmora/sites"))
            << name;
    }
}

// What a run did, phase by phase, in words for a terminal and a log: each side counted
// (directories apart from files), where the session went and how safely, and a line for
// each step of the update that has work, none for one that has none.
TEST(Program, ARunSaysItsPhasesInPlainWordsWithoutTheWindowsTexts) {
    struct TRow {
        const char* name;
        std::vector<std::string> listed;
        std::vector<std::string> settings;
        std::vector<std::string> lines;
        std::vector<std::string> absent; // no line starts so
    };
    const TRow rows[] = {
        {"deletes, creates and uploads",
         {"index.html", "old.html"},
         {},
         {"Remote: 2 files in 1 directory (/www)", "Deleting 1 file", "Creating 1 directory",
          "Uploading 3 files (19 B)"},
         {"Compared"}},
        {"nothing to delete",
         {"index.html"},
         {},
         {"Remote: 1 file in 1 directory (/www)", "Creating 1 directory",
          "Uploading 3 files (19 B)"},
         {"Deleting", "Compared"}},
        {"deleting off",
         {"index.html", "old.html"},
         {"Options.delete=0"},
         {"Compared: 1 entry only on the server stays there: deleting is off",
          "Uploading 3 files (19 B)"},
         {"Deleting"}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TTempTree tree;
        tree.File("site/index.html", "<p>home</p>");
        tree.File("site/about.html", "about");
        tree.File("site/css/style.css", "p{}");
        TFtpScriptServer server;
        server.SetListing(Listing(row.listed));
        const std::string ini = ScriptSite(tree, server, row.settings);
        const std::string log = tree.Path("run.log");
        std::string out;
        ASSERT_EQ(
            RunToEnd(tree, "run", {"--settings", ini, "--headless", "-v", "--log-file", log}, out),
            0)
            << out;
        const std::string logged = ReadFile(log);
        std::vector<std::string> lines = {
            "Local: 3 files in 2 directories (" + tree.Path("site") + ")",
            "Connecting to 127.0.0.1 (port " + std::to_string(server.Port()) + ")",
            "Connected to 127.0.0.1 (not encrypted)"};
        lines.insert(lines.end(), row.lines.begin(), row.lines.end());
        for (const std::string& line : lines) {
            EXPECT_TRUE(HasLine(out, line)) << line << "\n" << out;
            EXPECT_NE(logged.find("Z " + line + "\n"), std::string::npos) << line << "\n" << logged;
        }
        EXPECT_NE(out.find("\nRemote after the update: "), std::string::npos) << out;
        for (const std::string& start : row.absent)
            EXPECT_EQ(("\n" + out).find("\n" + start), std::string::npos) << start << "\n" << out;
        for (const char* phrase : WindowPhrases) {
            EXPECT_EQ(out.find(phrase), std::string::npos) << phrase << "\n" << out;
            EXPECT_EQ(logged.find(phrase), std::string::npos) << phrase << "\n" << logged;
        }
    }
}

// Ctrl-C during an upload: the stop is said once, as what it was, without the window's
// advice to reconnect.
TEST(Program, AStopDuringTheUpdateIsSaidWithoutTheWindowsWords) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    TFtpScriptServer server;
    server.SetListing("");
    server.On("STOR").Refuse("").Silent();
    const std::string ini = ScriptSite(tree, server, {"Options.timeout=300"});
    TChild child(tree, "run", {"--settings", ini, "--headless"});
    ASSERT_GT(child.Pid(), 0);
    auto storing = [&] {
        for (const std::string& c : server.Commands())
            if (c.rfind("STOR ", 0) == 0)
                return true;
        return false;
    };
    for (int i = 0; i < 2000 && !storing(); ++i)
        Pause(10);
    ASSERT_TRUE(storing()) << child.Out() << child.Err();
    ASSERT_EQ(::kill(child.Pid(), SIGINT), 0);
    const auto status = child.Wait(8000);
    ASSERT_TRUE(status && WIFEXITED(*status)) << Describe(status);
    EXPECT_EQ(WEXITSTATUS(*status), 130) << child.Out() << child.Err();
    EXPECT_TRUE(HasLine(child.Err(), "Stopped by Ctrl-C")) << child.Err();
    const std::string output = child.Out() + child.Err();
    for (const char* phrase : WindowPhrases)
        EXPECT_EQ(output.find(phrase), std::string::npos) << phrase << "\n" << output;
}

// The plan, in the dry run and before an update alike: sorted by path as the names' bytes
// sort (capitals before the underscore before small letters, "-" and "." before "/"),
// whatever order the disk and the update take; a file with its size; then the totals.
TEST(Program, ThePlanIsSortedByPathWithSizesAndTotals) {
    TTempTree tree;
    tree.File("site/index.html", "<p>home</p>");
    tree.File("site/apple.html", "apple!");
    tree.File("site/a/deep/x.html", "xxxxx");
    tree.File("site/a.html", "aaaa");
    tree.File("site/a-b.html", "abc");
    tree.File("site/_under.html", "__");
    tree.File("site/Zebra.html", "z");
    TFtpScriptServer server;
    server.SetListing(Listing({"old.html", "index.html"}));
    const std::string ini = ScriptSite(tree, server);
    const std::string plan = "  upload /Zebra.html (1 B)\n"
                             "  upload /_under.html (2 B)\n"
                             "  create /a\n"
                             "  upload /a-b.html (3 B)\n"
                             "  upload /a.html (4 B)\n"
                             "  create /a/deep\n"
                             "  upload /a/deep/x.html (5 B)\n"
                             "  upload /apple.html (6 B)\n"
                             "  refresh /index.html (11 B)\n"
                             "  delete /old.html (11 B)\n"
                             "Total: 7 uploads (6 new, 1 changed), 32 B; 2 directories to "
                             "create; 1 delete\n";
    std::string out;
    ASSERT_EQ(RunToEnd(tree, "dry", {"--settings", ini, "--headless", "--dry-run"}, out), 0) << out;
    EXPECT_NE(out.find("\nPlan (dry run, nothing is changed on the server)\n" + plan),
              std::string::npos)
        << out;
    ASSERT_EQ(RunToEnd(tree, "run", {"--settings", ini, "--headless"}, out), 0) << out;
    EXPECT_NE(out.find("\nPlan:\n" + plan), std::string::npos) << out;
    // Quiet, there is no plan.
    ASSERT_EQ(RunToEnd(tree, "quiet", {"--settings", ini, "--headless", "-q"}, out), 0) << out;
    EXPECT_EQ(out.find("Total: "), std::string::npos) << out;
}
