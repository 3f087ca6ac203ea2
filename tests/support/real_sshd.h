#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace pelmora::testing {

// OpenSSH's sshd as hosts run it, from the server cache scripts/setup fills, started for a
// test on 127.0.0.1 at a free port with a configuration, a host key and an
// authorized_keys of the test's own (all in a temporary directory), and stopped by its
// process id. SFTP is served by sshd itself (internal-sftp). The user is the one the
// tests run as (nobody for root); the key it logs in with is ClientKey(), a password it
// never has.
class TRealSshd {
public:
    TRealSshd();
    ~TRealSshd();
    TRealSshd(const TRealSshd&) = delete;
    TRealSshd& operator=(const TRealSshd&) = delete;

    // Makes the keys, starts sshd and waits until it greets. False with `why` when it
    // cannot run here.
    bool Start(std::string& why);
    void Stop();

    uint16_t Port() const { return port_; }
    const std::string& User() const { return user_; }
    // The private key (no passphrase) whose public half authorized_keys holds.
    std::string ClientKey() const { return dir_ + "/client_ed25519"; }
    // The host key's fingerprint as ssh-keygen -lf prints it ("SHA256:...").
    const std::string& HostKeyFingerprint() const { return fingerprint_; }
    // "[127.0.0.1]:port ssh-ed25519 AAAA...": the host key as a known_hosts line.
    std::string KnownHostsLine() const;
    // The directory the site goes to (absolute, as SFTP names it).
    std::string SiteOnDisk() const { return dir_ + "/site"; }
    // What sshd logged (at VERBOSE), for tests that check what a client sent.
    std::string Log() const;
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
    std::string user_;
    std::string fingerprint_;
    std::string hostPublic_; // "ssh-ed25519 AAAA..."
    uid_t uid_ = 0;          // whom sshd runs as, and logs in
    gid_t gid_ = 0;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

// Runs `command` through the shell; its standard output, and false when it failed.
bool RunCommand(const std::string& command, std::string& output);

} // namespace pelmora::testing
