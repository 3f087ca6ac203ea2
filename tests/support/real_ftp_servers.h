#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>

namespace pelmora::testing {

enum class TRealServerKind { Vsftpd, PureFtpd, Pyftpdlib };

// Every kind, and a name for each that can stand in a test's name.
constexpr TRealServerKind AllRealServers[] = {TRealServerKind::Vsftpd, TRealServerKind::PureFtpd,
                                              TRealServerKind::Pyftpdlib};
const char* TestName(TRealServerKind kind);

// A self-signed certificate for 127.0.0.1 and localhost, made with the openssl tool in
// `dir`: the paths of its certificate and key files and its SHA-256 fingerprint
// ("SHA256:AB:CD:..."). False with the reason in `why` when openssl cannot make one.
struct TTestCertificate {
    std::string certFile;
    std::string keyFile;
    std::string fingerprint;
};
bool MakeTestCertificate(const std::string& dir, const std::string& name, TTestCertificate& made,
                         std::string& why);
// A certificate authority of the test's own (`made` holds its certificate and key), and a
// server certificate it signs for the names in `altNames` ("IP:127.0.0.1",
// "DNS:other.example"). Both with the openssl tool; false with the reason in `why`.
bool MakeTestAuthority(const std::string& dir, const std::string& name, TTestCertificate& made,
                       std::string& why);
bool MakeSignedCertificate(const std::string& dir, const std::string& name,
                           const TTestCertificate& authority, const std::string& altNames,
                           TTestCertificate& made, std::string& why);

// A real FTP server as users run it, started for a test on 127.0.0.1 at a free high port
// with a temporary root and a configuration of our own, and stopped by its process id.
// Every server lets the test user write in the directory SiteDir() (relative to the
// FTP root, as sent in CWD), whose files lie at SiteOnDisk().
class TRealFtpServer {
public:
    explicit TRealFtpServer(TRealServerKind kind);
    ~TRealFtpServer();
    TRealFtpServer(const TRealFtpServer&) = delete;
    TRealFtpServer& operator=(const TRealFtpServer&) = delete;

    // Starts the server and waits until it greets. False with the reason in `why`
    // when it cannot run here.
    bool Start(std::string& why);
    // Before Start: the server offers TLS with this certificate and requires it for the
    // login and the data connections (vsftpd keeps its demand that each data connection
    // resume the control connection's TLS session).
    void EnableTls(const TTestCertificate& certificate) { tls_ = certificate; }
    // Before Start, pyftpdlib only: Python run once `handler` (the handler class) is set
    // up and before the server starts, to bend it as a test needs.
    void BendPyftpdlib(std::string python) { pythonBend_ = std::move(python); }
    // Before Start, pyftpdlib only: its listings and its MDTM answers give the server's
    // local time (the zone of the process that starts it), MDTM as if it were UTC.
    void UseLocalTimes() { localTimes_ = true; }
    // Before Start, pure-ftpd only: names that begin with a dot may not be written (its
    // -x), as some hosts set it up.
    void ForbidDotNames() { forbidDotNames_ = true; }
    void Stop();
    // Stops the server and starts it again on the same port with the same root, as a
    // server restarted by its host comes back. False with `why`.
    bool Restart(std::string& why);

    const char* Name() const;
    uint16_t Port() const { return port_; }
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    std::string SiteDir() const { return "site"; }
    std::string SiteOnDisk() const { return root_ + "/site"; }

private:
    bool StartOnce(std::string& why);
    bool Launch(const std::string& program, const char* const* argv, std::string& why);
    bool PrepareVsftpd(std::string& program, std::string& why);
    bool PreparePureFtpd(std::string& program, std::string& why);
    bool PreparePyftpdlib(std::string& program, std::string& why);
    std::string LogTail() const;

    TRealServerKind kind_;
    std::string dir_;  // everything of this server: root, configuration, log
    std::string root_; // the FTP root
    std::string user_;
    std::string password_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool keepPort_ = false; // the next start takes port_ again
    TTestCertificate tls_;  // empty: no TLS
    std::string pythonBend_;
    bool localTimes_ = false;
    bool forbidDotNames_ = false;
};

} // namespace pelmora::testing
