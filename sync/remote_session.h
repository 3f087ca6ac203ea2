#pragma once

#include "ftp/ftp.h"
#include "ftp/listing_entry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pelmora {

// How an FTP operation ended. Failed: the server refused this operation and the session
// goes on (FailureReason says why). Lost: the session is gone or stopped answering; it is
// closed. Stopped: the user pressed Stop.
enum class TOutcome { Done, Failed, Stopped, Lost };

// The sync's side of one FTP session: each operation is sent and waited for here, and
// nowhere else. The component's events only set the flags below; the waits pump messages
// and give up once the session has been quiet for the time-out, so a long listing or
// upload that keeps arriving is not cut off.
class TRemoteSession {
public:
    explicit TRemoteSession(TFtp& ftp);
    ~TRemoteSession();
    TRemoteSession(const TRemoteSession&) = delete;
    TRemoteSession& operator=(const TRemoteSession&) = delete;

    uint32_t timeoutMs = 30000;

    TOutcome ChangeDir(const std::string& path);
    // The entries of the current directory as the component read them, directories
    // first, then by name without regard to case (the bytes decide between names that
    // differ only in case); `here` is the directory as the server names it. A listing
    // that failed is never taken for an empty directory: it is Failed. Nor is a listing
    // the server refused at once (450 or 550 before any transfer), which some servers give
    // for an empty directory and others for one they will not list, unless the server then
    // proves the directory empty (see TakeNameListing).
    TOutcome List(std::vector<TListedEntry>& entries, std::string& here);
    // Lines of the last listing that described no entry, in their order.
    const std::vector<std::string>& NotEntries() const { return notEntries_; }
    TOutcome MakeDir(const std::string& path);
    TOutcome Delete(const std::string& path);
    TOutcome RemoveDir(const std::string& path);
    // Sends the local file in binary; Done only when the server took it whole.
    TOutcome Put(const std::string& localPath, const std::string& remotePath);

    // Gives the remote file the modification time `utcSeconds`, in whichever form the
    // server takes; Failed when it takes none (then the component sends nothing more).
    TOutcome SetFileTime(const std::string& remotePath, int64_t utcSeconds);
    // The remote file's modification time as the server tells it (UTC, to the second).
    TOutcome GetFileTime(const std::string& remotePath, int64_t& utcSeconds);
    // Renames `from` to `to`. When Failed, RenameSourceTaken tells whether the server
    // refused the new name (RNTO) rather than the old one, and RenameOffered whether the
    // server has a rename at all.
    TOutcome Rename(const std::string& from, const std::string& to);
    bool RenameSourceTaken() const { return ftp_.RenameSourceTaken(); }
    bool RenameOffered() const { return ftp_.Traits().RenameOffered(); }
    // The server's final reply to the last operation.
    const std::string& LastReplyText() const { return ftp_.LastReplyText(); }

    // Waits for `flag` (or an error, or Stop) as long as the session shows signs of life.
    // False on an error or a time-out; a Stop counts as success.
    bool WaitFor(const bool& flag) { return WaitFor(flag, timeoutMs); }
    bool WaitFor(const bool& flag, uint32_t quietMs);
    // Each operation above is a start (its command is sent, and the call returns at once)
    // and an end (End: the wait for its outcome). A pool of sessions starts one operation
    // on each and ends those whose outcome has come, so that several run at once; the
    // methods above are the two in one. Only one operation runs on a session at a time.
    void BeginChangeDir(const std::string& path);
    void BeginList();
    // After a listing that ended Failed with ListingRefused: the names of the same
    // directory (NLST), ended with End and then read with TakeNameListing.
    void BeginNameListing();
    void BeginMakeDir(const std::string& path);
    void BeginDelete(const std::string& path);
    void BeginRemoveDir(const std::string& path);
    void BeginPut(const std::string& localPath, const std::string& remotePath);
    void BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds);
    void BeginRename(const std::string& from, const std::string& to);
    // An operation was begun and has not been ended.
    bool Busy() const { return pending_ != TPending::None; }
    // The operation under way can be ended without waiting: its event, an error or a Stop
    // came, or the session has been quiet for the whole time-out.
    bool Settled() const;
    // The tick by which the operation under way is given up, unless the session shows a
    // sign of life before.
    uint32_t QuietDeadline() const { return lastActivity + timeoutMs; }
    // Waits for the operation under way (at once when Settled) and ends it.
    TOutcome End();
    // After a listing was ended as Done: its entries and directory (see List).
    void TakeListing(std::vector<TListedEntry>& entries, std::string& here);
    // A listing that ended in the middle of a line may have been cut short on the way,
    // with the server's 226 after it: it is read once more. Given the first reading
    // (taken) and the outcome of the second (not yet taken), takes the second and tells
    // whether the two together can be trusted: the second ended whole, or both ended
    // alike (a server that leaves off the last line end). Failed otherwise.
    bool ListingEndedMidLine() const { return ftp_.ListingEndedMidLine(); }
    // The last listing was refused at once (see List).
    bool ListingRefused() const { return listingRefused_; }
    // What the name listing after a refused listing proves, given how it ended (not yet
    // taken): Done, with no entries, only when the server answered it with success and
    // not a single name, which no server does for a directory that holds anything. Any
    // other answer (a refusal too: "550 No files found" is what some servers say of a
    // directory they will not list as well) leaves the directory unknown: Failed, with
    // the listing's refusal as the reason.
    TOutcome TakeNameListing(TOutcome names, std::vector<TListedEntry>& entries, std::string& here);
    TOutcome TakeSecondListing(TOutcome second, const std::vector<TListedEntry>& first,
                               const std::vector<std::string>& firstNotEntries,
                               std::vector<TListedEntry>& entries, std::string& here);
    // The last operation found the session gone: nothing more may be sent on it.
    bool Lost() const { return lost_; }
    // Some way of setting a file's time is still untried or known to work on this session.
    bool FileTimeSettable() const { return ftp_.Traits().FileTimeSettable(); }
    TFtp& Component() { return ftp_; }

    // The reason of the last failure in plain words: the server's reply or our own text.
    std::string FailureReason() const;
    // Ends every wait at its next check; an upload under way is aborted. While the stop
    // is held, it waits until ReleaseStop.
    void Stop() {
        if (stopHeld_)
            stopAsked_ = true;
        else
            ftpAbort = true;
    }
    // A new operation of the sync's own begins: a Stop given before it is forgotten.
    void Resume() { ftpAbort = stopAsked_ = false; }
    bool Stopped() const { return ftpAbort; }
    // Between deleting a page and renaming its new copy onto its name the site lacks the
    // page: a Stop given then takes effect only once the rename has ended.
    void HoldStop() { stopHeld_ = true; }
    void ReleaseStop() {
        stopHeld_ = false;
        if (stopAsked_)
            ftpAbort = true;
        stopAsked_ = false;
    }
    bool StopHeld() const { return stopHeld_; }
    // A Stop was given, whether or not it has taken effect.
    bool StopAsked() const { return ftpAbort || stopAsked_; }
    // Before a new session or operation: no error pending, and none to report.
    void ClearError();

    // The shell's text for an error code of the component; empty for codes without one.
    static std::string ErrorText(int code);

    // What the component's events set; see the handlers.
    bool ftpReady = false;
    bool ftpError = false;
    bool ftpAbort = false;
    bool deleteDone = false;
    bool dirCreated = false;
    bool renameDone = false;
    uint8_t lastErrorCode = 0;
    std::string lastErrorText;
    uint32_t lastActivity = 0; // tick of the session's latest sign of life

    // The file being uploaded, as the progress events report it.
    int64_t bytesSent = 0;
    int64_t fileSize = 0;
    bool uploading = false;
    // Told of each step of an upload: the size as the component reported it, and the
    // bytes sent so far.
    std::function<void(const std::string& sizeText)> OnFileSize;
    std::function<void()> OnProgress;
    std::function<void()> OnLoggedIn;

private:
    enum class TPending : uint8_t { None, Ready, Created, Deleted, Renamed, List, Names, Put };
    // What every listing starts from: nothing read yet, `pending` awaited.
    void StartListing(TPending pending);
    TOutcome Await(const bool& flag);
    // What the wait of an operation left: its outcome, as Await gives it.
    TOutcome Conclude(bool done);
    const bool& PendingFlag() const;
    void Error(FtpInfo info, const std::string& addInfo);
    void Info(FtpInfo info, const std::string& addInfo);
    void ListingLine(const std::string& line);
    void SettleListingLine();

    TFtp& ftp_;
    std::vector<std::string> notEntries_;
    std::string pendingLine_; // the listing line whose entry is not yet counted
    size_t entriesBefore_ = 0;
    bool linePending_ = false;
    TPending pending_ = TPending::None;
    bool lost_ = false;
    bool listingRefused_ = false;
    std::string refusal_; // the server's answer to the refused listing
    bool stopHeld_ = false;
    bool stopAsked_ = false;
    std::vector<TListedEntry> listed_;
    std::string listedHere_;
};

} // namespace pelmora
