#pragma once

#include "net/connection_settings.h"
#include "net/listed_entry.h"
#include "net/tls_stream.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

// A server certificate that failed verification and was not trusted by fingerprint, as
// the user is asked about it, whichever protocol met it: what it says of itself, why it
// failed, and whether a different one was trusted for the server before.
struct TServerCertificate {
    std::string host; // the name or address the certificate was checked for
    TCertificateInfo certificate;
    std::string reason; // "self-signed certificate", "IP address mismatch" and the like
    bool changed = false;
    std::string trustedBefore; // when changed: the fingerprint trusted until now
};

// A server's SSH host key that was not accepted, as the user is asked about it: unknown
// (neither trusted for the site nor in known_hosts), or different from the key trusted
// or known before (`changed`).
struct TServerHostKey {
    std::string host;
    uint16_t port = 22;
    std::string type;        // "ED25519", "ECDSA", "RSA"
    std::string fingerprint; // "SHA256:<base64>", as ssh-keygen -lf prints it
    bool changed = false;
};

// How a remote operation ended. Failed: the server refused this operation and the session
// goes on (FailureReason says why). Lost: the session is gone or stopped answering; it is
// closed. Stopped: the user pressed Stop.
enum class TOutcome { Done, Failed, Stopped, Lost };

// What the server of a session can do, as the session has learnt it so far.
struct TRemoteTraits {
    // How the server names its system ("UNIX Type: L8", "Windows_NT"); empty when it
    // does not say. The walk tells case-blind servers by it.
    std::string systemType;
    // Some way of setting a file's time is still untried or known to work.
    bool fileTimeSettable = false;
    // The server tells a file's exact time when asked (GetFileTime).
    bool fileTimeReadable = false;
    // No rename of this session was answered as unknown.
    bool renameOffered = true;
    // The latest listing gave exact times in UTC, to the second.
    bool exactListingTimes = false;
    // Further sessions may work beside this one (Sibling) without upsetting the server.
    bool parallelSessions = false;
    // The connection is encrypted and the server's identity accepted.
    bool secured = false;
};

// The one wait of every session: runs the event loop until `done` holds, for as long as
// the tick `deadline()` has not been reached. The deadline is asked again whenever the
// loop wakes without `done`, so a session that shows signs of life meanwhile moves it on
// and a long listing or upload that keeps arriving is not cut off. Returns done() as it
// stands at the end.
bool WaitForSessions(const std::function<bool()>& done, const std::function<uint32_t()>& deadline);

// The sync's side of one session with a server, whatever the protocol: each operation is
// sent and waited for through here, and nowhere else. An implementation speaks one
// protocol (TFtpSession); the walk, the update, the times and the pool know only this.
//
// Each operation is a start (Begin...: its command is sent, and the call returns at once)
// and an end (End: the wait for its outcome). A pool of sessions starts one operation on
// each and ends those whose outcome has come, so that several run at once; the one-shot
// calls (MakeDir, List, ...) are the two in one. Only one operation runs on a session at a
// time. Every wait ends at a Stop, and once the session has been quiet for timeoutMs.
class TRemoteSession {
public:
    TRemoteSession() = default;
    virtual ~TRemoteSession();
    TRemoteSession(const TRemoteSession&) = delete;
    TRemoteSession& operator=(const TRemoteSession&) = delete;

    uint32_t timeoutMs = 30000;

    // Connecting. Starts a login with `settings` (whose time-out becomes timeoutMs);
    // OnLoggedIn tells of its success. WaitForLogin waits for it: false on an error or a
    // time-out (the session's words say which; a time-out adds none), true on a Stop.
    virtual void BeginConnect(const TConnectionSettings& settings) = 0;
    bool WaitForLogin();
    bool LoggedIn() const { return loggedIn_; }
    // How long the latest login took, from the start of the connect to the server's yes:
    // what one more session costs before it can take work.
    std::chrono::microseconds LoginTime() const { return loginTime_; }
    // The value the session last connected with; the sessions Sibling makes connect with
    // it too. SetSettings changes it for those only: this session keeps its connection.
    const TConnectionSettings& Settings() const { return settings_; }
    void SetSettings(const TConnectionSettings& settings) { settings_ = settings; }
    // A new session of the same kind, not yet connected, whose Settings are this one's as
    // far as what this session learnt allows (a server that could not complete TLS is not
    // asked again by each sibling).
    virtual std::unique_ptr<TRemoteSession> Sibling() const = 0;
    // Ends the session however far it got: it says goodbye when it is idle, else Abort.
    virtual void Close() = 0;
    // Ends the session at once: the transfer, its local file and the connection.
    virtual void Abort() = 0;
    // An error came and was not yet taken up by the end of an operation.
    virtual bool ErrorPending() const = 0;
    // The last failure was the server refusing the login (a wrong password, or "not now").
    virtual bool LoginRefused() const = 0;
    // The last failure was the local file of an upload that could not be read: nothing
    // went to the server.
    virtual bool LocalFileFailed() const = 0;
    // What the session has settled about its connection, each as (label, text) in a fixed
    // order, for a user who must know how the password and the files travel; a fact not
    // settled yet has an empty text.
    virtual std::vector<std::pair<std::string, std::string>> ConnectionFacts() const = 0;
    // The certificate that ended the last connect, when its verification failed and it was
    // not trusted by fingerprint; nothing otherwise (or for a protocol without one).
    virtual std::optional<TServerCertificate> RefusedCertificate() const { return std::nullopt; }
    // The host key that ended the last connect before the login; nothing otherwise (or for
    // a protocol without one).
    virtual std::optional<TServerHostKey> RefusedHostKey() const { return std::nullopt; }
    virtual TRemoteTraits Traits() const = 0;
    bool RenameOffered() const { return Traits().renameOffered; }
    bool FileTimeSettable() const { return Traits().fileTimeSettable; }

    // The one-shot operations: each Begins and Ends.
    TOutcome ChangeDir(const std::string& path);
    // The entries of the current directory, directories first, then by name without
    // regard to case (the bytes decide between names that differ only in case); `here` is
    // the directory as the server names it. A listing that failed is never taken for an
    // empty directory: it is Failed. Nor is a listing the server refused at once (before
    // any transfer), which some servers give for an empty directory and others for one
    // they will not list, unless the server then proves the directory empty (see
    // TakeNameListing). A listing cut short is read again (see TakeSecondListing).
    TOutcome List(std::vector<TListedEntry>& entries, std::string& here);
    // Lines of the last listing that described no entry, in their order.
    const std::vector<std::string>& NotEntries() const { return notEntries_; }
    TOutcome MakeDir(const std::string& path);
    TOutcome Delete(const std::string& path);
    TOutcome RemoveDir(const std::string& path);
    // Sends the local file as it is (binary); Done only when the server took it whole.
    TOutcome Put(const std::string& localPath, const std::string& remotePath);
    // Gives the remote file the modification time `utcSeconds`, in whichever form the
    // server takes; Failed when it takes none (then nothing more is sent for it).
    TOutcome SetFileTime(const std::string& remotePath, int64_t utcSeconds);
    // The remote file's modification time as the server tells it (UTC, to the second).
    TOutcome GetFileTime(const std::string& remotePath, int64_t& utcSeconds);
    // Renames `from` to `to`. When Failed, RenameSourceTaken tells whether the server
    // refused the new name rather than the old one, and RenameOffered whether the server
    // has a rename at all.
    TOutcome Rename(const std::string& from, const std::string& to);
    virtual bool RenameSourceTaken() const = 0;
    // The server's final reply to the last operation ("550 Permission denied"); its first
    // digit tells a lasting refusal (5) from one for now (4).
    virtual const std::string& LastReplyText() const = 0;

    virtual void BeginChangeDir(const std::string& path) = 0;
    virtual void BeginList() = 0;
    // After a listing that ended Failed with ListingRefused: the names of the same
    // directory, ended with End and then read with TakeNameListing.
    virtual void BeginNameListing() = 0;
    virtual void BeginMakeDir(const std::string& path) = 0;
    virtual void BeginDelete(const std::string& path) = 0;
    virtual void BeginRemoveDir(const std::string& path) = 0;
    // Also starts the upload's progress from nothing (BytesSent, FileSize).
    virtual void BeginPut(const std::string& localPath, const std::string& remotePath) = 0;
    virtual void BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) = 0;
    // Ended Done, the time is TakeFileTime's.
    virtual void BeginGetFileTime(const std::string& remotePath) = 0;
    virtual void BeginRename(const std::string& from, const std::string& to) = 0;
    // An operation was begun and has not been ended.
    virtual bool Busy() const = 0;
    // The operation under way can be ended without waiting: its answer, an error or a
    // Stop came, or the session has been quiet for the whole time-out.
    virtual bool Settled() const = 0;
    // The tick by which the operation under way is given up, unless the session shows a
    // sign of life before.
    uint32_t QuietDeadline() const { return lastActivity_ + timeoutMs; }
    // The tick of the session's latest sign of life.
    uint32_t LastActivity() const { return lastActivity_; }
    // Waits for the operation under way (at once when Settled) and ends it.
    virtual TOutcome End() = 0;
    // After a listing was ended as Done: its entries and directory (see List).
    void TakeListing(std::vector<TListedEntry>& entries, std::string& here);
    int64_t TakeFileTime() const { return fileTime_; }
    // The last listing's final line came without its line end: it may have been cut
    // short on the way (see TakeSecondListing).
    virtual bool ListingEndedMidLine() const = 0;
    // The last listing was refused at once (see List).
    bool ListingRefused() const { return listingRefused_; }
    // The rule for a listing refused at once. What the name listing after it proves,
    // given how it ended (not yet taken): Done, with no entries, only when the server
    // answered it with success and not a single name, which no server does for a
    // directory that holds anything. Any other answer (a refusal too: "550 No files
    // found" is what some servers say of a directory they will not list as well) leaves
    // the directory unknown: Failed, with the listing's refusal as the reason.
    TOutcome TakeNameListing(TOutcome names, std::vector<TListedEntry>& entries, std::string& here);
    // The rule for a listing cut short. A listing that ended in the middle of a line may
    // have been cut short on the way, with the server's success after it: it is read once
    // more. Given the first reading (taken) and the outcome of the second (not yet
    // taken), takes the second and tells whether the two together can be trusted: the
    // second ended whole, or both ended alike (a server that leaves off the last line
    // end). Failed otherwise.
    TOutcome TakeSecondListing(TOutcome second, const std::vector<TListedEntry>& first,
                               const std::vector<std::string>& firstNotEntries,
                               std::vector<TListedEntry>& entries, std::string& here);
    // The last operation found the session gone: nothing more may be sent on it.
    bool Lost() const { return lost_; }

    // The reason of the last failure in plain words: the server's reply or our own text.
    virtual std::string FailureReason() const = 0;
    // Our words for the last error as it came, without a fallback; empty when none.
    const std::string& LastErrorText() const { return lastErrorText_; }
    void SetLastErrorText(const std::string& text) { lastErrorText_ = text; }
    // Before a new session or operation: no error pending, and none to report.
    virtual void ClearError() = 0;

    // Ends every wait at its next check; an upload under way is aborted. While the stop
    // is held, it waits until ReleaseStop.
    void Stop() {
        if (stopHeld_)
            stopAsked_ = true;
        else
            stopped_ = true;
        StopGiven();
    }
    // A new operation of the sync's own begins: a Stop given before it is forgotten.
    void Resume() { stopped_ = stopAsked_ = false; }
    bool Stopped() const { return stopped_; }
    // Between deleting a page and renaming its new copy onto its name the site lacks the
    // page: a Stop given then takes effect only once the rename has ended.
    void HoldStop() { stopHeld_ = true; }
    void ReleaseStop() {
        stopHeld_ = false;
        if (stopAsked_)
            stopped_ = true;
        stopAsked_ = false;
    }
    bool StopHeld() const { return stopHeld_; }
    // A Stop was given, whether or not it has taken effect.
    bool StopAsked() const { return stopped_ || stopAsked_; }

    // The file being uploaded, as the progress reports it.
    int64_t BytesSent() const { return bytesSent_; }
    int64_t FileSize() const { return fileSize_; }
    bool Uploading() const { return uploading_; }
    // Told of each step of an upload: the size as the session learnt it, and the bytes
    // sent so far; and of a login that succeeded.
    std::function<void(const std::string& sizeText)> OnFileSize;
    std::function<void()> OnProgress;
    std::function<void()> OnLoggedIn;

protected:
    // For an implementation: the session showed a sign of life now.
    void Touch();
    // For an implementation: a connect starts now (see LoginTime).
    void StartedConnecting();
    // For a session that hands its work to another of another protocol: what its user
    // set on it goes down to `inner` before each call, and what `inner` learnt comes up
    // after. The stop goes down on its own as it is given, in the middle of a wait.
    void HandDown(TRemoteSession& inner) const;
    void HandDownStop(TRemoteSession& inner) const;
    void TakeUp(TRemoteSession& inner);
    // Told after every Stop.
    virtual void StopGiven() {}
    // The login succeeded: the session is usable again, and its owner is told.
    void LoginSucceeded();

    TConnectionSettings settings_;
    uint32_t lastActivity_ = 0; // tick of the session's latest sign of life
    bool loggedIn_ = false;
    std::chrono::steady_clock::time_point connectStart_;
    std::chrono::microseconds loginTime_{0};
    bool lost_ = false;
    bool stopped_ = false;
    std::string lastErrorText_;
    std::vector<std::string> notEntries_;
    std::vector<TListedEntry> listed_;
    std::string listedHere_;
    bool listingRefused_ = false;
    std::string refusal_; // the server's answer to the refused listing
    int64_t fileTime_ = 0;
    int64_t bytesSent_ = 0;
    int64_t fileSize_ = 0;
    bool uploading_ = false;

private:
    bool stopHeld_ = false;
    bool stopAsked_ = false;
};

// A new session that speaks the protocol of the settings each connect is given (see
// TProtocolSession); the engine holds its main session through it unless it is given one.
std::unique_ptr<TRemoteSession> NewRemoteSession();
// A new session of one protocol.
std::unique_ptr<TRemoteSession> NewRemoteSession(TProtocol protocol);

} // namespace pelmora
