#pragma once

#include "net/connection_settings.h"
#include "net/listed_entry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The library's own types, as its headers name them.
struct _LIBSSH2_SESSION;
struct _LIBSSH2_SFTP;

// One SFTP connection over SSH, driven by the program's event loop: every operation is
// started and returns at once, and moves on whenever its socket is ready, so that a Stop,
// a time-out and several connections at once work as they do for FTP.

namespace pelmora {

// How the last operation stands. Failed: the server refused it and the connection goes
// on. Lost: the connection is gone (or was refused before the login ended).
enum class TSftpState : uint8_t { Idle, Running, Done, Failed, Lost };

// The server's host key as the connect met it, when it was not accepted: unknown (no
// trusted key and no known_hosts line for the host), or different from the key trusted
// before (`changed`).
struct TSftpHostKey {
    std::string host; // as the user named it
    uint16_t port = 22;
    std::string type;        // "ED25519", "ECDSA", "RSA"
    std::string fingerprint; // "SHA256:<base64>", as ssh-keygen -lf prints it
    bool changed = false;
};

// "host:port" as the connection's texts name a server.
std::string SftpServerName(const std::string& host, uint16_t port);

class TSftp {
public:
    TSftp();
    ~TSftp();
    TSftp(const TSftp&) = delete;
    TSftp& operator=(const TSftp&) = delete;

    // Told of every sign of life: bytes came or went, or an operation ended.
    std::function<void()> OnActivity;
    // Told as an upload's bytes are taken by the server.
    std::function<void()> OnProgress;

    // Connects, checks the host key (before anything secret is sent), logs in and
    // starts the SFTP subsystem. Done when logged in.
    void Connect(const TConnectionSettings& settings);
    // Says goodbye where it can without waiting, and closes.
    void Disconnect();
    // Closes at once, whatever runs.
    void Abort();
    bool Connected() const { return session_ != nullptr; }
    bool LoggedIn() const { return sftp_ != nullptr; }

    TSftpState State() const { return state_; }
    bool Running() const { return state_ == TSftpState::Running; }

    // The operations; each ends in State() Done, Failed or Lost. Paths are the server's.
    void List(const std::string& path);
    void MakeDir(const std::string& path);
    void Delete(const std::string& path);
    void RemoveDir(const std::string& path);
    void Rename(const std::string& from, const std::string& to);
    void SetTime(const std::string& path, int64_t utcSeconds);
    // The attributes of `path`, links followed: StatKind, StatTime.
    void Stat(const std::string& path);
    void Put(const std::string& localPath, const std::string& remotePath);

    // What the operations left.
    const std::vector<TListedEntry>& Entries() const { return entries_; }
    TListedKind StatKind() const { return statKind_; }
    int64_t StatTime() const { return statTime_; }
    int64_t BytesSent() const { return bytesSent_; }
    int64_t FileSize() const { return fileSize_; }
    // The directory the login put us in.
    const std::string& Home() const { return home_; }
    // Whether the server's rename takes a name that exists (it then replaces the file in
    // one step); false for servers of the protocol's version 3 such as OpenSSH's.
    bool RenameReplaces() const { return false; }

    // The last failure in plain words.
    const std::string& ErrorText() const { return errorText_; }
    // The last failure as a reply of three digits and words: 5xx for a refusal for
    // good, 4xx for one for now.
    const std::string& ReplyText() const { return replyText_; }
    // The last failed rename was refused because its new name is taken.
    bool RenameTargetTaken() const { return renameTargetTaken_; }
    bool LoginRefused() const { return loginRefused_; }
    bool LocalFileFailed() const { return localFileFailed_; }
    // The host key the last connect refused, when that was why it ended.
    const std::optional<TSftpHostKey>& RefusedHostKey() const { return refusedKey_; }
    // What the connection settled: "SSH, ED25519 host key SHA256:..., ..."
    std::string SecurityText() const;
    const std::string& AuthMethod() const { return authMethod_; }

private:
    struct TImpl;
    // The step function of the operation under way: Running while it waits for the
    // socket, else how it ended.
    using TStep = std::function<TSftpState()>;
    void Start(TStep step, bool connecting = false);
    void Finish(TSftpState state);
    // Moves the operation on as far as it goes without waiting; called at the start and
    // whenever the socket is ready.
    void Drive();
    void Watch();
    void DropWatchers();
    void Close();
    TSftpState FailFromSftp(const std::string& what);
    TSftpState FailFromSession(const std::string& what);
    TSftpState ConnectStep();
    TSftpState CheckHostKey();
    TSftpState AuthStep();

    TConnectionSettings settings_;
    std::unique_ptr<TImpl> impl_;
    ::_LIBSSH2_SESSION* session_ = nullptr;
    ::_LIBSSH2_SFTP* sftp_ = nullptr;
    int socket_ = -1;
    TStep step_;
    TSftpState state_ = TSftpState::Idle;
    bool driving_ = false;
    bool inWatcher_ = false; // a watcher's signal runs now

    std::vector<TListedEntry> entries_;
    TListedKind statKind_ = TListedKind::Other;
    int64_t statTime_ = 0;
    int64_t bytesSent_ = 0;
    int64_t fileSize_ = 0;
    std::string home_;
    std::string errorText_;
    std::string replyText_;
    bool renameTargetTaken_ = false;
    bool loginRefused_ = false;
    bool localFileFailed_ = false;
    std::optional<TSftpHostKey> refusedKey_;
    std::string hostKeyText_;
    std::string authMethod_;
};

} // namespace pelmora
