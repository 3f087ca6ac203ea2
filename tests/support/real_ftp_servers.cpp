#include "tests/support/real_ftp_servers.h"
#include "tests/support/local_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace pelmora::testing {

namespace fs = std::filesystem;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool Chown(const std::string& path, const char* user, std::string& why) {
    const passwd* pw = ::getpwnam(user);
    if (pw == nullptr) {
        why = std::string("no system user ") + user;
        return false;
    }
    if (::chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        why = "cannot give " + path + " to " + user + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

TRealFtpServer::TRealFtpServer(TRealServerKind kind) : kind_(kind) {
    std::string pattern = (fs::temp_directory_path() / "pelmora-ftpd-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr)
        dir_ = pattern;
    root_ = dir_ + "/root";
}

TRealFtpServer::~TRealFtpServer() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

const char* TRealFtpServer::Name() const {
    switch (kind_) {
    case TRealServerKind::Vsftpd:
        return "vsftpd";
    case TRealServerKind::PureFtpd:
        return "pure-ftpd";
    case TRealServerKind::Pyftpdlib:
        return "pyftpdlib";
    }
    return "?";
}

bool MakeTestCertificate(const std::string& dir, const std::string& name, TTestCertificate& made,
                         std::string& why) {
    made.certFile = dir + "/" + name + ".crt";
    made.keyFile = dir + "/" + name + ".key";
    const std::string digestFile = dir + "/" + name + ".sha256";
    // An EC key: quick to make, and every server here takes it.
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
        made.keyFile + "' -out '" + made.certFile + "' > '" + dir + "/openssl.log' 2>&1 && " +
        "openssl x509 -noout -fingerprint -sha256 -in '" + made.certFile + "' > '" + digestFile +
        "' 2>> '" + dir + "/openssl.log'";
    if (std::system(command.c_str()) != 0) {
        why = "openssl could not make a certificate";
        return false;
    }
    // The servers drop to unprivileged users that must read both files.
    ::chmod(made.certFile.c_str(), 0644);
    ::chmod(made.keyFile.c_str(), 0644);
    std::ifstream in(digestFile);
    std::string line;
    std::getline(in, line); // "sha256 Fingerprint=AB:CD:..."
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
        why = "openssl printed no fingerprint";
        return false;
    }
    made.fingerprint = "SHA256:" + line.substr(eq + 1);
    return true;
}

namespace {

// The file's SHA-256 fingerprint as "SHA256:AB:CD:...", or empty.
std::string FingerprintOf(const std::string& certFile, const std::string& dir) {
    const std::string digestFile = certFile + ".sha256";
    const std::string command = "openssl x509 -noout -fingerprint -sha256 -in '" + certFile +
                                "' > '" + digestFile + "' 2>> '" + dir + "/openssl.log'";
    if (std::system(command.c_str()) != 0)
        return std::string();
    std::ifstream in(digestFile);
    std::string line;
    std::getline(in, line);
    const size_t eq = line.find('=');
    return eq == std::string::npos ? std::string() : "SHA256:" + line.substr(eq + 1);
}

} // namespace

bool MakeTestAuthority(const std::string& dir, const std::string& name, TTestCertificate& made,
                       std::string& why) {
    made.certFile = dir + "/" + name + ".crt";
    made.keyFile = dir + "/" + name + ".key";
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj '/CN=Pelmora Test Authority' -addext basicConstraints=critical,CA:TRUE "
        "-addext keyUsage=critical,keyCertSign,cRLSign -keyout '" +
        made.keyFile + "' -out '" + made.certFile + "' >> '" + dir + "/openssl.log' 2>&1";
    made.fingerprint = std::system(command.c_str()) == 0 ? FingerprintOf(made.certFile, dir) : "";
    if (made.fingerprint.empty())
        why = "openssl could not make a certificate authority";
    return !made.fingerprint.empty();
}

bool MakeSignedCertificate(const std::string& dir, const std::string& name,
                           const TTestCertificate& authority, const std::string& altNames,
                           TTestCertificate& made, std::string& why) {
    made.certFile = dir + "/" + name + ".crt";
    made.keyFile = dir + "/" + name + ".key";
    const std::string request = dir + "/" + name + ".csr";
    const std::string extensions = dir + "/" + name + ".ext";
    WriteFile(extensions, "subjectAltName=" + altNames + "\nextendedKeyUsage=serverAuth\n");
    const std::string log = " >> '" + dir + "/openssl.log' 2>&1";
    const std::string command =
        "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-subj /CN=" +
        name + " -keyout '" + made.keyFile + "' -out '" + request + "'" + log +
        " && openssl x509 -req -days 2 -in '" + request + "' -CA '" + authority.certFile +
        "' -CAkey '" + authority.keyFile + "' -CAcreateserial -extfile '" + extensions +
        "' -out '" + made.certFile + "'" + log;
    made.fingerprint = std::system(command.c_str()) == 0 ? FingerprintOf(made.certFile, dir) : "";
    if (made.fingerprint.empty()) {
        why = "openssl could not sign a certificate";
        return false;
    }
    // The servers drop to unprivileged users that must read both files.
    ::chmod(made.certFile.c_str(), 0644);
    ::chmod(made.keyFile.c_str(), 0644);
    return true;
}

const char* TestName(TRealServerKind kind) {
    switch (kind) {
    case TRealServerKind::Vsftpd:
        return "vsftpd";
    case TRealServerKind::PureFtpd:
        return "pureftpd";
    default:
        return "pyftpdlib";
    }
}

bool TRealFtpServer::Start(std::string& why) {
    // Another process may still take the port first; a few tries with other ports.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (StartOnce(why))
            return true;
        if (why.find("in use") == std::string::npos && why.find("bind") == std::string::npos)
            return false;
    }
    return false;
}

bool TRealFtpServer::StartOnce(std::string& why) {
    if (dir_.empty()) {
        why = "no temporary directory";
        return false;
    }
    if (!keepPort_)
        port_ = FreeServerPort();
    fs::create_directories(root_ + "/site");
    // The servers drop to an unprivileged user, which must reach the root.
    ::chmod(dir_.c_str(), 0755);
    ::chmod(root_.c_str(), 0755);
    std::string program;
    bool prepared = false;
    switch (kind_) {
    case TRealServerKind::Vsftpd:
        prepared = PrepareVsftpd(program, why);
        break;
    case TRealServerKind::PureFtpd:
        prepared = PreparePureFtpd(program, why);
        break;
    case TRealServerKind::Pyftpdlib:
        prepared = PreparePyftpdlib(program, why);
        break;
    }
    if (!prepared)
        return false;

    std::vector<std::string> args;
    const std::string portText = std::to_string(port_);
    switch (kind_) {
    case TRealServerKind::Vsftpd:
        args = {program, dir_ + "/vsftpd.conf"};
        break;
    case TRealServerKind::PureFtpd:
        // Virtual users only, no anonymous, no DNS, everyone kept in their home.
        args = {program,
                "-S",
                "127.0.0.1," + portText,
                "-l",
                "puredb:" + dir_ + "/pure.pdb",
                "-E",
                "-H",
                "-A",
                "-u",
                "1"};
        if (forbidDotNames_)
            args.push_back("-x");
        if (!tls_.certFile.empty()) {
            // TLS for everyone, the certificate and its key from our files.
            args.insert(args.end(), {"-Y", "2", "-2", tls_.certFile + "," + tls_.keyFile});
        }
        break;
    case TRealServerKind::Pyftpdlib:
        args = {program, dir_ + "/server.py", portText, root_};
        break;
    }
    std::vector<const char*> argv;
    for (const auto& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    if (!Launch(program, argv.data(), why))
        return false;

    // Bounded: 100 tries, 50 ms apart.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why = std::string(Name()) + " exited at start: " + LogTail();
            return false;
        }
        if (Greets(port_, "220"))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = std::string(Name()) + " never greeted on port " + portText + ": " + LogTail();
    Stop();
    return false;
}

bool TRealFtpServer::Launch(const std::string& program, const char* const* argv, std::string& why) {
    const std::string log = dir_ + "/server.log";
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
        ::execv(program.c_str(), const_cast<char* const*>(argv));
        _exit(127);
    }
    return true;
}

bool TRealFtpServer::Restart(std::string& why) {
    Stop();
    keepPort_ = true;
    bool started = false;
    // The old listener's port may linger a moment after its process is gone.
    for (int attempt = 0; attempt < 20 && !started; ++attempt) {
        started = StartOnce(why);
        if (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    keepPort_ = false;
    return started;
}

void TRealFtpServer::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    // Bounded: up to 3 s for a clean exit, then it is killed.
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

std::string TRealFtpServer::LogTail() const {
    std::ifstream in(dir_ + "/server.log");
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    return all.size() > 600 ? all.substr(all.size() - 600) : all;
}

bool TRealFtpServer::PrepareVsftpd(std::string& program, std::string& why) {
    // Unpacked by scripts/setup, never installed: a system-wide vsftpd would be a
    // service open to every local user.
    program = ServerCache() + "/root/usr/sbin/vsftpd";
    if (::access(program.c_str(), X_OK) != 0) {
        why = "vsftpd is not unpacked at " + program + " (run scripts/setup)";
        return false;
    }
    // vsftpd refuses a writable root for anonymous users: the root stays root's, the
    // site directory beneath it belongs to the anonymous user. That user is `daemon`,
    // which every system has: the `ftp` user comes only with the installed package, and
    // vsftpd enters the user's home first (nobody's does not exist).
    fs::create_directories(dir_ + "/empty");
    if (!Chown(root_ + "/site", "daemon", why))
        return false;
    user_ = "anonymous";
    password_ = "pelmora@example.org";
    WriteFile(dir_ + "/vsftpd.conf", "listen=YES\n"
                                     "listen_ipv6=NO\n"
                                     "listen_address=127.0.0.1\n"
                                     "listen_port=" +
                                         std::to_string(port_) +
                                         "\n"
                                         "background=NO\n"
                                         "anonymous_enable=YES\n"
                                         "local_enable=NO\n"
                                         "no_anon_password=NO\n"
                                         "anon_root=" +
                                         root_ +
                                         "\n"
                                         "ftp_username=daemon\n"
                                         "write_enable=YES\n"
                                         "anon_upload_enable=YES\n"
                                         "anon_mkdir_write_enable=YES\n"
                                         "anon_other_write_enable=YES\n"
                                         "anon_umask=022\n"
                                         "port_enable=YES\n"
                                         "connect_from_port_20=NO\n"
                                         // Passive ports on the address the client reached.
                                         "pasv_enable=YES\n"
                                         "secure_chroot_dir=" +
                                         dir_ +
                                         "/empty\n"
                                         "seccomp_sandbox=NO\n"
                                         "xferlog_enable=NO\n"
                                         "dual_log_enable=NO\n"
                                         "syslog_enable=NO\n"
                                         "vsftpd_log_file=" +
                                         dir_ + "/vsftpd.log\n");
    if (!tls_.certFile.empty()) {
        std::ofstream conf(dir_ + "/vsftpd.conf", std::ios::app);
        conf << "ssl_enable=YES\n"
                "allow_anon_ssl=YES\n"
                "force_anon_logins_ssl=YES\n"
                "force_anon_data_ssl=YES\n"
                "ssl_ciphers=HIGH\n"
                "rsa_cert_file="
             << tls_.certFile << "\nrsa_private_key_file=" << tls_.keyFile << "\n";
    }
    return true;
}

bool TRealFtpServer::PreparePureFtpd(std::string& program, std::string& why) {
    const std::string base = ServerCache() + "/root/usr";
    program = base + "/sbin/pure-ftpd";
    const std::string pw = base + "/bin/pure-pw";
    if (::access(program.c_str(), X_OK) != 0 || ::access(pw.c_str(), X_OK) != 0) {
        why = "pure-ftpd is not unpacked at " + base + " (run scripts/setup)";
        return false;
    }
    if (!Chown(root_, "nobody", why) || !Chown(root_ + "/site", "nobody", why))
        return false;
    const passwd* nobody = ::getpwnam("nobody");
    user_ = "web";
    password_ = "pelmora-secret";
    // The user line is written directly, with a SHA-512 crypt hash of the password made
    // beforehand: pure-pw's own hash costs seconds at every login.
    const std::string passwdFile = dir_ + "/pure.passwd";
    WriteFile(passwdFile,
              user_ +
                  ":$6$pelmorasalt$fH4JgqRkymXWVdiqGmhfnR2xdqn631z1ABhSN7y9SmD0G17ujA2u5f6"
                  "mwXy6cLpendBIFGdaQnbhO4QT5j/PP.:" +
                  std::to_string(nobody->pw_uid) + ":" + std::to_string(nobody->pw_gid) +
                  "::" + root_ + "/./::::::::::::\n");
    const std::string command = "'" + pw + "' mkdb '" + dir_ + "/pure.pdb' -f '" + passwdFile +
                                "' > '" + dir_ + "/pure-pw.log' 2>&1";
    if (std::system(command.c_str()) != 0) {
        why = "pure-pw could not make the user database";
        return false;
    }
    return true;
}

bool TRealFtpServer::PreparePyftpdlib(std::string& program, std::string& why) {
    // Debian's python3-pyftpdlib lives with the system interpreter.
    program = "/usr/bin/python3";
    if (::access(program.c_str(), X_OK) != 0) {
        why = "no /usr/bin/python3";
        return false;
    }
    user_ = "web";
    password_ = "pelmora-secret";
    WriteFile(dir_ + "/server.py",
              "import sys\n"
              "try:\n"
              "    from pyftpdlib.authorizers import DummyAuthorizer\n"
              "    from pyftpdlib.handlers import FTPHandler\n"
              "    from pyftpdlib.servers import FTPServer\n"
              "except ImportError as e:\n"
              "    print('pyftpdlib is not installed:', e)\n"
              "    sys.exit(2)\n"
              "port, root = int(sys.argv[1]), sys.argv[2]\n"
              "authorizer = DummyAuthorizer()\n"
              "authorizer.add_user('" +
                  user_ + "', '" + password_ +
                  "', root, perm='elradfmwMT')\n"
                  "FTPHandler.authorizer = authorizer\n"
                  "handler = FTPHandler\n" +
                  (localTimes_ ? "FTPHandler.use_gmt_times = False\n" : "") +
                  (tls_.certFile.empty() ? std::string()
                                         : "from pyftpdlib.handlers import TLS_FTPHandler\n"
                                           "handler = TLS_FTPHandler\n"
                                           "handler.authorizer = authorizer\n"
                                           "handler.certfile = '" +
                                               tls_.certFile +
                                               "'\n"
                                               "handler.keyfile = '" +
                                               tls_.keyFile +
                                               "'\n"
                                               "handler.tls_control_required = True\n"
                                               "handler.tls_data_required = True\n") +
                  pythonBend_ +
                  "server = FTPServer(('127.0.0.1', port), handler)\n"
                  "server.serve_forever()\n");
    return true;
}

} // namespace pelmora::testing
