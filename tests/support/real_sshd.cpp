#include "tests/support/real_sshd.h"
#include "tests/support/local_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace pelmora::testing {

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

bool RunCommand(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return false;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    return ::pclose(pipe) == 0;
}

TRealSshd::TRealSshd() {
    std::string pattern = (fs::temp_directory_path() / "pelmora-sshd-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr)
        dir_ = pattern;
    // sshd run by root wants a system user of its own and a directory to lock it in;
    // run by anyone else it needs neither, and logs in that one user. So root's tests
    // run it as nobody, whose files the test's directory then holds.
    const passwd* pw = ::getuid() == 0 ? ::getpwnam("nobody") : ::getpwuid(::getuid());
    if (pw) {
        user_ = pw->pw_name;
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
    }
}

TRealSshd::~TRealSshd() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

std::string TRealSshd::KnownHostsLine() const {
    return "[127.0.0.1]:" + std::to_string(port_) + " " + hostPublic_;
}

std::string TRealSshd::Log() const {
    return ReadAll(dir_ + "/sshd.log");
}

bool TRealSshd::Start(std::string& why) {
    const std::string cached = ServerCache() + "/root/usr/sbin/sshd";
    if (dir_.empty() || ::access(cached.c_str(), X_OK) != 0) {
        why = cached + " is missing: run scripts/setup";
        return false;
    }
    std::string out;
    if (!RunCommand("ssh-keygen -q -t ed25519 -N '' -C host -f " + dir_ + "/host_ed25519", out) ||
        !RunCommand("ssh-keygen -q -t ed25519 -N '' -C client -f " + dir_ + "/client_ed25519",
                    out)) {
        why = "ssh-keygen could not make the keys";
        return false;
    }
    hostPublic_ = ReadAll(dir_ + "/host_ed25519.pub");
    hostPublic_ = hostPublic_.substr(0, hostPublic_.rfind(' ')); // without the comment
    if (!RunCommand("ssh-keygen -lf " + dir_ + "/host_ed25519.pub", out) ||
        out.find("SHA256:") == std::string::npos) {
        why = "ssh-keygen -lf gave no fingerprint: " + out;
        return false;
    }
    fingerprint_ = out.substr(out.find("SHA256:"));
    fingerprint_ = fingerprint_.substr(0, fingerprint_.find(' '));
    fs::copy_file(dir_ + "/client_ed25519.pub", dir_ + "/authorized_keys");
    fs::create_directories(SiteOnDisk());
    if (::getuid() == 0) {
        if (user_ != "nobody") {
            why = "no user nobody to run sshd as";
            return false;
        }
        ::chmod(dir_.c_str(), 0755);
        for (const auto& entry : fs::recursive_directory_iterator(dir_))
            ::lchown(entry.path().c_str(), uid_, gid_);
        ::lchown(dir_.c_str(), uid_, gid_);
        // The client's key stays the test's own: ssh refuses a key others may read.
        ::chown(ClientKey().c_str(), 0, 0);
    }
    // The cache may lie where nobody cannot reach (root's home): sshd runs from a copy in
    // the test's directory, by the absolute path it re-executes itself by.
    std::string program = cached;
    if (::getuid() == 0) {
        program = dir_ + "/sshd";
        std::error_code copied;
        fs::copy_file(cached, program, copied);
        if (copied) {
            why = "cannot copy " + cached + ": " + copied.message();
            return false;
        }
    }
    port_ = FreeServerPort();
    std::ofstream config(dir_ + "/sshd_config");
    config << "Port " << port_ << "\n"
           << "ListenAddress 127.0.0.1\n"
           << "HostKey " << dir_ << "/host_ed25519\n"
           << "PidFile " << dir_ << "/sshd.pid\n"
           << "AuthorizedKeysFile " << dir_ << "/authorized_keys\n"
           << "StrictModes no\n"
           << "UsePAM yes\n"
           << "PasswordAuthentication yes\n"
           << "KbdInteractiveAuthentication no\n"
           << "PubkeyAuthentication yes\n"
           << "Subsystem sftp internal-sftp\n"
           << "MaxStartups 50\n"
           << "MaxSessions 20\n"
           << "LogLevel VERBOSE\n";
    config.close();
    const std::string log = dir_ + "/sshd.log";
    const std::string configPath = dir_ + "/sshd_config";
    pid_ = ::fork();
    if (pid_ < 0) {
        why = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    if (pid_ == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, 0);
        if (::getuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid_) != 0 || ::setuid(uid_) != 0))
            _exit(126);
        // -D: no daemon, so the pid is sshd's own; -e: the log to the file above.
        ::execl(program.c_str(), program.c_str(), "-D", "-e", "-f", configPath.c_str(),
                static_cast<char*>(nullptr));
        _exit(127);
    }
    // Bounded: 100 tries, 50 ms apart.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why = "sshd exited at start: " + Log();
            return false;
        }
        if (Greets(port_, "SSH-"))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = "sshd never greeted on port " + std::to_string(port_) + ": " + Log();
    Stop();
    return false;
}

void TRealSshd::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    for (int attempt = 0; attempt < 150; ++attempt) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

} // namespace pelmora::testing
