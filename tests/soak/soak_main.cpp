// Seeded rounds of small site edits, each published through the fault relay by the real
// program, then once more straight to the server. After every clean run the server must
// hold exactly what the disk holds, and no run may have deleted on the server a file or
// directory that the disk had at that time.
//
//   pelmora_soak [--runs N] [--seed S] [--server vsftpd|pyftpdlib]... [--mode active|passive]...
//                [--timeout SECONDS] [--binary PATH] [--verbose]
//
// A round depends on its seed alone (the site is laid out anew from it, made equal on the
// server by a clean run, then edited), so a failing round is replayed with
// `pelmora_soak --server S --mode M --seed N --runs 1`. Exit status: 0 when every round
// passed, 1 when one failed, 77 when no server could run here.
#include "tests/support/fault_relay.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/support/temp_tree.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace pelmora::testing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct TOptions {
    int runs = 300;
    uint32_t seed = 1;
    std::vector<TRealServerKind> servers;
    std::vector<std::string> modes;
    int timeoutSeconds = 5;
    std::string binary;
    bool verbose = false;
};

// Bounds the checks hold every run to.
constexpr long peakMemoryLimitKb = 300 * 1024;
constexpr int graceSeconds = 10;

struct TRunResult {
    int status = -1;     // exit status, or -1
    int signal = 0;      // the signal that ended it, or 0
    bool killed = false; // ran past its allowance and was stopped
    double seconds = 0;
    long peakKb = 0;
    std::string transcript;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Tail(const std::string& text, size_t lines) {
    size_t at = text.size();
    for (size_t n = 0; n <= lines && at != std::string::npos && at > 0; ++n)
        at = text.rfind('\n', at - 1);
    return at == std::string::npos || at == 0 ? text : text.substr(at + 1);
}

// The program as a user runs it, its output into `log`. `tick` is called every 20 ms
// while it runs. Stopped (by its process id) once it passes `allowance`.
TRunResult RunProgram(const std::vector<std::string>& args, const std::string& log,
                      std::chrono::milliseconds allowance,
                      const std::function<void()>& tick = nullptr) {
    TRunResult result;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.transcript = "fork failed";
        return result;
    }
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, 0);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid)
            break;
        if (Clock::now() - start > allowance && !result.killed) {
            result.killed = true;
            ::kill(pid, SIGKILL);
        }
        if (tick)
            tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.peakKb = usage.ru_maxrss;
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.transcript = ReadAll(log);
    return result;
}

void Write(const fs::path& path, const std::string& content, fs::file_time_type when) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    fs::last_write_time(path, when);
}

// The site every round starts from: the same files each time (so the clean run before
// the edits sends little), with a few that depend on the seed. Old times, so that every
// edit is newer.
void LayOut(const fs::path& site, std::mt19937& pick, bool oddBytes) {
    std::error_code ignored;
    fs::remove_all(site, ignored);
    fs::create_directories(site);
    // One time for every round of the day, on a whole minute two days back: files laid out
    // again unchanged stay unchanged, and listings that give recent times to the minute
    // give these exactly.
    using namespace std::chrono;
    const auto today = floor<days>(system_clock::now());
    const auto old = file_clock::from_sys(time_point_cast<system_clock::duration>(today - days(2)));
    Write(site / "index.html", "<h1>Home</h1>\n", old);
    Write(site / ".htaccess", "Options -Indexes\n", old);
    Write(site / "css/site.css", "body { margin: 0 }\n", old);
    Write(site / "img/photo.jpg", std::string(300 * 1024, '\xd8'), old);
    Write(site / "docs/Guide.HTML", "guide\n", old);
    Write(site / "docs/guide.html", "lower-case guide\n", old);
    Write(site / "docs/old/notes.txt", "notes\n", old);
    Write(site / " lead.html", "a name that starts with a blank\n", old);
    Write(site / "trail.html ", "a name that ends with a blank\n", old);
    Write(site / "My Pages/About Us.html", "about\n", old);
    if (oddBytes)
        Write(site / "caf\xe9.html", "not UTF-8\n", old);
    const int extra = static_cast<int>(pick() % 4);
    for (int n = 0; n < extra; ++n)
        Write(site / ("page" + std::to_string(n) + ".html"), std::string(100 + pick() % 5000, 'p'),
              old);
    for (const auto& e : fs::recursive_directory_iterator(site))
        if (e.is_directory())
            fs::last_write_time(e.path(), old);
}

std::vector<fs::path> Entries(const fs::path& site, bool directories) {
    std::vector<fs::path> found;
    for (const auto& e : fs::recursive_directory_iterator(site))
        if (e.is_directory() == directories)
            found.push_back(e.path());
    std::sort(found.begin(), found.end());
    return found;
}

// A new name as sites have them: now and then with blanks at either end, in upper case,
// or with a byte that is not UTF-8.
std::string NewName(std::mt19937& pick, bool oddBytes, const char* extension) {
    static const char* words[] = {"news", "Contact", "price list", "TEAM", "faq", "blog"};
    std::string name = words[pick() % 6];
    name += "-" + std::to_string(pick() % 1000) + extension;
    switch (pick() % 8) {
    case 0:
        name = " " + name;
        break;
    case 1:
        name += " ";
        break;
    case 2:
        for (char& c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        break;
    case 3:
        if (oddBytes)
            name = "\xe9t\xe9-" + name;
        break;
    default:
        break;
    }
    return name;
}

// A few edits as a person makes them between two publishes. Every changed file changes
// size as well: a listing gives times to the minute, and a file rewritten within the
// minute with the same size cannot be told from the old one.
std::vector<std::string> Edit(const fs::path& site, std::mt19937& pick, bool oddBytes) {
    std::vector<std::string> done;
    const auto recent = [&] {
        return fs::file_time_type::clock::now() - std::chrono::minutes(2 + pick() % 60);
    };
    const int count = 1 + static_cast<int>(pick() % 5);
    for (int n = 0; n < count; ++n) {
        const auto files = Entries(site, false);
        const auto dirs = Entries(site, true);
        const int what = static_cast<int>(pick() % 10);
        if (what <= 2 && !files.empty()) {
            const fs::path f = files[pick() % files.size()];
            std::string content = ReadAll(f.string());
            content += std::string(1 + pick() % 3000, static_cast<char>('a' + pick() % 26));
            Write(f, content, recent());
            done.push_back("edit " + f.lexically_relative(site).string());
        } else if (what <= 4) {
            fs::path dir = site;
            if (!dirs.empty() && pick() % 2)
                dir = dirs[pick() % dirs.size()];
            const fs::path f = dir / NewName(pick, oddBytes, ".html");
            const size_t size = pick() % 4 == 0 ? 50000 + pick() % 400000 : pick() % 2000;
            Write(f, std::string(size, static_cast<char>('A' + pick() % 26)), recent());
            done.push_back("add " + f.lexically_relative(site).string());
        } else if (what == 5 && !files.empty()) {
            const fs::path f = files[pick() % files.size()];
            const fs::path to = f.parent_path() / NewName(pick, oddBytes, ".htm");
            if (!fs::exists(to)) {
                fs::rename(f, to);
                fs::last_write_time(to, recent());
                done.push_back("rename " + f.lexically_relative(site).string() + " -> " +
                               to.lexically_relative(site).string());
            }
        } else if (what <= 7 && files.size() > 3) {
            const fs::path f = files[pick() % files.size()];
            fs::remove(f);
            done.push_back("delete " + f.lexically_relative(site).string());
        } else if (what == 8) {
            const fs::path d = site / NewName(pick, oddBytes, "");
            Write(d / "index.html", std::string(10 + pick() % 500, 'd'), recent());
            Write(d / "sub/leaf.txt", std::string(1 + pick() % 100, 'l'), recent());
            done.push_back("add directory " + d.lexically_relative(site).string());
        } else if (!dirs.empty()) {
            const fs::path d = dirs[pick() % dirs.size()];
            fs::remove_all(d);
            done.push_back("delete directory " + d.lexically_relative(site).string());
        }
    }
    return done;
}

// What differs between the two trees, by path.
std::string Differences(const std::map<std::string, std::string>& server,
                        const std::map<std::string, std::string>& disk) {
    std::string text;
    for (const auto& [path, bytes] : disk) {
        const auto it = server.find(path);
        if (it == server.end())
            text += "  missing on the server: \"" + path + "\"\n";
        else if (it->second != bytes)
            text += "  differs on the server: \"" + path + "\" (" +
                    std::to_string(it->second.size()) + " bytes, disk " +
                    std::to_string(bytes.size()) + ")\n";
    }
    for (const auto& [path, bytes] : server)
        if (!disk.count(path))
            text += "  only on the server: \"" + path + "\"\n";
    return text;
}

// The modification time of every file below `root`, in whole seconds.
std::map<std::string, long> FileTimes(const fs::path& root) {
    std::map<std::string, long> times;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        if (e.is_regular_file() && ::stat(e.path().c_str(), &st) == 0)
            times[e.path().lexically_relative(root).string()] = st.st_mtime;
    }
    return times;
}

// The site-relative path of what a DELE or RMD named.
std::string SiteRelative(std::string path, const std::string& siteDir) {
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    if (path.rfind(siteDir + "/", 0) == 0)
        path.erase(0, siteDir.size() + 1);
    return path;
}

struct TTally {
    int runs = 0;
    long peakKb = 0;       // the most any run of the program took
    double longestRun = 0; // seconds
    std::map<std::string, int> faults;
    std::vector<std::string> failures;
};

class TSoak {
public:
    TSoak(const TOptions& options, TRealServerKind kind, const std::string& mode, TTally& tally)
        : options_(options), kind_(kind), mode_(mode), server_(kind), tally_(tally) {}

    // False when the server cannot run here.
    bool Start(std::string& why) {
        site_ = tree_.Dir("site");
        return server_.Start(why);
    }

    void Round(uint32_t seed) {
        ++tally_.runs;
        std::mt19937 pick(seed);
        const bool oddBytes = kind_ == TRealServerKind::Vsftpd; // the other one decodes names
        LayOut(site_, pick, oddBytes);
        std::string failure;
        std::ostringstream story;
        const auto fail = [&](const std::string& what) { failure += "  " + what + "\n"; };

        // The server made equal to the laid-out site.
        TRunResult setup = Publish(server_.Port(), "setup", {});
        // Whether this server keeps the times the program gives its uploads: seen on the
        // laid-out files, all of them two days old.
        if (setup.status == 0 && !keepsTimesKnown_) {
            keepsTimesKnown_ = true;
            keepsTimes_ = FileTimes(server_.SiteOnDisk()) == FileTimes(site_);
            std::cout << server_.Name() << " " << mode_
                      << (keepsTimes_ ? ": times are kept\n" : ": times are not kept\n");
        }
        if (setup.status != 0 || !SameTrees()) {
            fail("the clean run before the edits did not make the server equal");
            story << "setup run (status " << setup.status << "):\n"
                  << Tail(setup.transcript, 40)
                  << Differences(Snapshot(server_.SiteOnDisk()), Snapshot(site_));
            Report(seed, failure, story.str());
            return;
        }

        for (const std::string& edit : Edit(site_, pick, oddBytes))
            story << "  " << edit << "\n";
        const auto diskNow = Snapshot(site_);

        const auto faults = DrawFaults(seed);
        TFaultRelay relay(server_.Port(), faults,
                          std::chrono::milliseconds(options_.timeoutSeconds * 1000));
        std::string why;
        if (!relay.Start(why)) {
            fail("relay: " + why);
            Report(seed, failure, story.str());
            return;
        }
        std::string restartFailure;
        TRunResult faulted = Publish(relay.Port(), "faulted", faults, [&] {
            if (relay.TakeRestartRequest() && !server_.Restart(why))
                restartFailure = why;
        });
        relay.Stop();
        for (TFaultKind kind : relay.InjectedKinds())
            ++tally_.faults[FaultName(kind)];
        for (const TRemoval& removal : relay.Removals())
            story << "  sent " << removal.command << " " << removal.path
                  << (removal.replacing ? " (replacing)\n" : "\n");
        story << "faults drawn:";
        for (const TFault& f : faults)
            story << " [" << f.Describe() << "]";
        story << "\nfaults injected:\n";
        for (const std::string& line : relay.Injected())
            story << "  " << line << "\n";
        if (!restartFailure.empty()) {
            fail("the server did not come back: " + restartFailure);
            Report(seed, failure, story.str());
            return;
        }
        CheckRun("faulted run", faulted, fail);
        // Nothing that the disk had during the run may have been deleted on the server.
        for (const TRemoval& removal : relay.Removals()) {
            const std::string path = SiteRelative(removal.path, server_.SiteDir());
            const bool onDisk =
                removal.command == "RMD" ? diskNow.count(path + "/") : diskNow.count(path);
            if (onDisk && !removal.replacing)
                fail("deleted what the disk has: " + removal.command + " " + removal.path);
        }
        // A listing cut short by an orderly close, with the server's 226 after it, looks
        // whole to any client: a run that trusted it cannot know the server differs. A
        // data connection of a listing cut that way is the same thing.
        bool invisible = false;
        for (const std::string& line : relay.Injected()) {
            const bool orderly = line.find(", reset") == std::string::npos;
            const bool listing =
                line.rfind("truncate-listing", 0) == 0 ||
                (line.rfind("cut-data", 0) == 0 && (line.find("(LIST)") != std::string::npos ||
                                                    line.find("(NLST)") != std::string::npos ||
                                                    line.find("(MLSD)") != std::string::npos));
            invisible = invisible || (listing && orderly);
        }
        const bool serverRight = SameTrees();
        if (faulted.status == 0 && !serverRight && !invisible)
            fail("the faulted run reported success but the server differs");

        TRunResult clean = Publish(server_.Port(), "clean", {});
        CheckRun("clean run", clean, fail);
        if (clean.status != 0)
            fail("the clean run failed with status " + std::to_string(clean.status));
        const auto serverTree = Snapshot(server_.SiteOnDisk());
        if (serverTree != Snapshot(site_))
            fail("after the clean run the server differs from the disk:\n" +
                 Differences(serverTree, Snapshot(site_)));
        if (keepsTimes_) {
            const auto local = FileTimes(site_);
            for (const auto& [path, time] : FileTimes(server_.SiteOnDisk()))
                if (local.count(path) && std::labs(local.at(path) - time) > 1)
                    fail("the time of \"" + path + "\" differs on the server by " +
                         std::to_string(time - local.at(path)) + " s");
        }
        for (const auto& [path, bytes] : serverTree)
            if (path.find(".pelmora-upload.") != std::string::npos)
                fail("a temporary file is left: " + path);
        if (options_.verbose || !failure.empty()) {
            story << "faulted run: status " << faulted.status << ", " << faulted.seconds << " s\n"
                  << Tail(faulted.transcript, 30) << "clean run: status " << clean.status << ", "
                  << clean.seconds << " s\n"
                  << Tail(clean.transcript, 30);
        }
        if (!failure.empty())
            Report(seed, failure, story.str());
        else if (options_.verbose)
            std::cout << "seed " << seed << " passed\n" << story.str() << std::flush;
    }

private:
    // One run of the program against `port`, settings written through --configure first.
    TRunResult Publish(uint16_t port, const std::string& name, const std::vector<TFault>& faults,
                       const std::function<void()>& tick = nullptr) {
        const std::string ini = tree_.Path("PELMORA.INI");
        const std::string log = tree_.Path(name + ".log");
        const std::vector<std::string> configure = {options_.binary,
                                                    "--settings",
                                                    ini,
                                                    "--configure",
                                                    "List.local=" + site_.string(),
                                                    "FTP.server=127.0.0.1",
                                                    "FTP.port=" + std::to_string(port),
                                                    "FTP.userName=" + server_.User(),
                                                    "FTP.password=" + server_.Password(),
                                                    "List.remote=" + server_.SiteDir(),
                                                    "Options.load=1",
                                                    "Options.compare=1",
                                                    "Options.update=1",
                                                    "Options.delete=1",
                                                    "Options.exit=1",
                                                    "Options.maxDelete=-1",
                                                    "Options.timeout=" +
                                                        std::to_string(options_.timeoutSeconds),
                                                    "FTP.dataMode=" + mode_};
        const TRunResult configured = RunProgram(configure, log, std::chrono::seconds(30));
        if (configured.status != 0) {
            TRunResult result = configured;
            result.transcript = "--configure failed: " + configured.transcript;
            return result;
        }
        // Delays that stay under the time-out add up; the rest must end within the grace.
        auto allowance = std::chrono::milliseconds((options_.timeoutSeconds + graceSeconds) * 1000);
        for (const TFault& f : faults)
            if (f.kind == TFaultKind::DelayUnder || f.kind == TFaultKind::DelayPast)
                allowance += std::chrono::milliseconds(options_.timeoutSeconds * 1000 + 2000);
        lastAllowance_ = allowance;
        return RunProgram({options_.binary, "--settings", ini, "--headless"}, log,
                          allowance + std::chrono::seconds(20), tick);
    }

    template <typename F>
    void CheckRun(const std::string& name, const TRunResult& run, F fail) {
        tally_.peakKb = std::max(tally_.peakKb, run.peakKb);
        tally_.longestRun = std::max(tally_.longestRun, run.seconds);
        if (run.signal != 0)
            fail(name + " ended by signal " + std::to_string(run.signal));
        if (run.killed)
            fail(name + " hung and was stopped");
        else if (std::chrono::duration<double>(lastAllowance_).count() < run.seconds)
            fail(name + " took " + std::to_string(run.seconds) + " s");
        if (run.peakKb > peakMemoryLimitKb)
            fail(name + " peaked at " + std::to_string(run.peakKb / 1024) + " MB");
    }

    bool SameTrees() { return Snapshot(server_.SiteOnDisk()) == Snapshot(site_); }

    void Report(uint32_t seed, const std::string& failure, const std::string& story) {
        const std::string replay = std::string("pelmora_soak --server ") + server_.Name() +
                                   " --mode " + mode_ + " --seed " + std::to_string(seed) +
                                   " --runs 1";
        tally_.failures.push_back(replay);
        std::cout << "FAILED seed " << seed << " (" << server_.Name() << ", " << mode_ << ")\n"
                  << failure << "edits:\n"
                  << story << "replay: " << replay << "\n\n"
                  << std::flush;
    }

    const TOptions& options_;
    TRealServerKind kind_;
    std::string mode_;
    TRealFtpServer server_;
    TTally& tally_;
    TTempTree tree_;
    fs::path site_;
    std::chrono::milliseconds lastAllowance_{0};
    bool keepsTimesKnown_ = false;
    bool keepsTimes_ = false;
};

bool ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--runs" && hasValue)
            options.runs = std::atoi(argv[++i]);
        else if (a == "--seed" && hasValue)
            options.seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--timeout" && hasValue)
            options.timeoutSeconds = std::atoi(argv[++i]);
        else if (a == "--binary" && hasValue)
            options.binary = argv[++i];
        else if (a == "--server" && hasValue) {
            const std::string name = argv[++i];
            if (name == "vsftpd")
                options.servers.push_back(TRealServerKind::Vsftpd);
            else if (name == "pyftpdlib")
                options.servers.push_back(TRealServerKind::Pyftpdlib);
            else
                return false;
        } else if (a == "--mode" && hasValue) {
            const std::string mode = argv[++i];
            if (mode != "active" && mode != "passive")
                return false;
            options.modes.push_back(mode);
        } else if (a == "--verbose")
            options.verbose = true;
        else
            return false;
    }
    if (options.servers.empty())
        options.servers = {TRealServerKind::Vsftpd, TRealServerKind::Pyftpdlib};
    if (options.modes.empty())
        options.modes = {"active", "passive"};
    return options.runs > 0 && options.timeoutSeconds >= 5;
}

} // namespace

int main(int argc, char** argv) {
    TOptions options;
#ifdef PELMORA_BINARY
    options.binary = PELMORA_BINARY;
#endif
    if (!ParseOptions(argc, argv, options) || options.binary.empty()) {
        std::cerr << "usage: pelmora_soak [--runs N] [--seed S] [--server vsftpd|pyftpdlib]... "
                     "[--mode active|passive]... [--timeout SECONDS(>=5)] [--binary PATH] "
                     "[--verbose]\n";
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // The publish journals and run locks of the soak's sites go to a folder of its own.
    std::string state = (std::filesystem::temp_directory_path() / "pelmora-state-XXXXXX").string();
    const bool stateMade = ::mkdtemp(state.data()) != nullptr;
    if (stateMade)
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    struct TRemoveState {
        std::string dir;
        ~TRemoveState() {
            std::error_code ec;
            if (!dir.empty())
                std::filesystem::remove_all(dir, ec);
        }
    } removeState{stateMade ? state : std::string()};
    TTally tally;
    int ran = 0;
    const size_t combinations = options.servers.size() * options.modes.size();
    size_t combination = 0;
    uint32_t seed = options.seed;
    for (TRealServerKind kind : options.servers) {
        for (const std::string& mode : options.modes) {
            // The runs shared out, the first combinations taking what is left over.
            const int share = options.runs / static_cast<int>(combinations) +
                              (combination++ < options.runs % combinations ? 1 : 0);
            if (share == 0)
                continue;
            TSoak soak(options, kind, mode, tally);
            std::string why;
            if (!soak.Start(why)) {
                std::cout << "skipped " << TestName(kind) << " " << mode << ": " << why << "\n";
                seed += static_cast<uint32_t>(share);
                continue;
            }
            ++ran;
            for (int n = 0; n < share; ++n)
                soak.Round(seed++);
        }
    }
    std::printf("\n%-24s %d\n", "runs", tally.runs);
    for (int k = 0; k < faultKindCount; ++k) {
        const char* name = FaultName(static_cast<TFaultKind>(k));
        const auto it = tally.faults.find(name);
        std::printf("%-24s %d\n", name, it == tally.faults.end() ? 0 : it->second);
    }
    std::printf("%-24s %.1f s\n", "longest run", tally.longestRun);
    std::printf("%-24s %ld MB\n", "peak memory of a run", tally.peakKb / 1024);
    std::printf("%-24s %zu\n", "failures", tally.failures.size());
    for (const std::string& replay : tally.failures)
        std::printf("  %s\n", replay.c_str());
    if (ran == 0)
        return 77;
    return tally.failures.empty() ? 0 : 1;
}
