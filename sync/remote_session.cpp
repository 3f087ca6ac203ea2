#include "sync/remote_session.h"

#include "sync/remote_entries.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <array>
#include <cctype>
#include <charconv>

namespace pelmora {

namespace {

// "421 Too many users": three digits and a space or a dash. A text of our own may start
// with a digit too ("127.0.0.1:21 ..."), and the code's generic words must not stand
// before it.
bool IsReplyLine(const std::string& text) {
    const auto digit = [&](size_t at) {
        return std::isdigit(static_cast<unsigned char>(text[at]));
    };
    return text.size() >= 4 && digit(0) && digit(1) && digit(2) &&
           (text[3] == ' ' || text[3] == '-');
}

} // namespace

TRemoteSession::TRemoteSession(TFtp& ftp) : ftp_(ftp) {
    ftp_.OnFtpInfo = [this](TObject*, FtpInfo i, const std::string& a) { Info(i, a); };
    ftp_.OnFtpReady = [this](TObject*) { ftpReady = true; };
    ftp_.OnFtpError = [this](TObject*, FtpInfo i, const std::string& a) { Error(i, a); };
    ftp_.OnLoggedIn = [this](TObject*) {
        lost_ = false;
        if (OnLoggedIn)
            OnLoggedIn();
    };
    ftp_.OnDirectoryCreated = [this](TObject*) { dirCreated = true; };
    ftp_.OnDirectoryDeleted = [this](TObject*) { deleteDone = true; };
    ftp_.OnFileDeleted = [this](TObject*) { deleteDone = true; };
    ftp_.OnFileRenamed = [this](TObject*) { renameDone = true; };
}

// The component may outlive the session by a little (it is torn down after it): what it
// reports then reaches nobody.
TRemoteSession::~TRemoteSession() {
    ftp_.OnFtpInfo = nullptr;
    ftp_.OnFtpReady = nullptr;
    ftp_.OnFtpError = nullptr;
    ftp_.OnLoggedIn = nullptr;
    ftp_.OnDirectoryCreated = nullptr;
    ftp_.OnDirectoryDeleted = nullptr;
    ftp_.OnFileDeleted = nullptr;
    ftp_.OnFileRenamed = nullptr;
}

bool TRemoteSession::WaitFor(const bool& flag, uint32_t quietMs) {
    lastActivity = GetTickCount();
    for (;;) {
        // Every sign of life of the session moves lastActivity on (Info, Error).
        const uint32_t deadline = lastActivity + quietMs;
        if (WaitUntil([&] { return flag || ftpError || ftpAbort; }, deadline))
            break;
        if (TickReached(GetTickCount(), lastActivity + quietMs))
            return false;
    }
    return !ftpError;
}

TOutcome TRemoteSession::Await(const bool& flag) {
    return Conclude(WaitFor(flag, timeoutMs));
}

TOutcome TRemoteSession::Conclude(bool done) {
    const uint32_t timeout = timeoutMs;
    if (done && !ftpAbort)
        return TOutcome::Done;
    if (ftpAbort && !ftpError)
        return TOutcome::Stopped;
    if (ftpError && ftp_.Connected() && lastErrorCode != ftpDisconnected &&
        lastErrorCode != ftpTimeOut) {
        // Only this operation was refused; its ready follows the error, and the next
        // command may go once it has.
        WaitUntil([this] { return ftpReady || ftpAbort || !ftp_.Connected(); },
                  GetTickCount() + timeout);
        ftpError = false;
        if (ftp_.Connected())
            return TOutcome::Failed;
    }
    if (!ftpError) {
        // No answer for the whole time-out: the session cannot be trusted with another
        // command.
        lastErrorCode = ftpTimeOut;
        lastErrorText =
            "No answer from the server for " + std::to_string(timeout / 1000) + " seconds";
        ftp_.Abort();
    }
    ftpError = true;
    return TOutcome::Lost;
}

const bool& TRemoteSession::PendingFlag() const {
    switch (pending_) {
    case TPending::Created:
        return dirCreated;
    case TPending::Deleted:
        return deleteDone;
    case TPending::Renamed:
        return renameDone;
    default:
        return ftpReady;
    }
}

bool TRemoteSession::Settled() const {
    if (!Busy())
        return true;
    return PendingFlag() || ftpError || ftpAbort || TickReached(GetTickCount(), QuietDeadline());
}

TOutcome TRemoteSession::End() {
    const TPending pending = pending_;
    if (pending == TPending::None)
        return TOutcome::Done;
    const bool& flag = PendingFlag();
    // A wait that already ran out (a pool waited for it) is not waited for again.
    const bool quiet =
        !flag && !ftpError && !ftpAbort && TickReached(GetTickCount(), QuietDeadline());
    TOutcome outcome = quiet ? Conclude(false) : Await(flag);
    pending_ = TPending::None;
    if (pending == TPending::List) {
        SettleListingLine();
        // A listing that failed is never taken for an empty directory.
        if (outcome == TOutcome::Done && ftp_.LastError() != ftpNoError)
            outcome = TOutcome::Failed;
        if (outcome == TOutcome::Done && ftp_.ListingRefused()) {
            listingRefused_ = true;
            refusal_ = ftp_.LastReplyText();
            lastErrorText = refusal_;
            outcome = TOutcome::Failed;
        }
        if (outcome == TOutcome::Done) {
            listedHere_ = ftp_.CurrentDirectory();
            listed_ = ftp_.Entries();
            SortEntries(listed_);
        }
    } else if (pending == TPending::Names) {
        SettleListingLine();
        const bool empty = outcome == TOutcome::Done && ftp_.LastError() == ftpNoError &&
                           !ftp_.ListingRefused() && ftp_.Listing().Count() == 0;
        if (outcome == TOutcome::Done || outcome == TOutcome::Failed)
            outcome = empty ? TOutcome::Done : TOutcome::Failed;
        if (empty)
            listedHere_ = ftp_.CurrentDirectory();
    } else if (pending == TPending::Put) {
        uploading = false;
        // A ready that ends a transfer cut short says nothing of the file on the server.
        if (outcome == TOutcome::Done && !ftp_.Success())
            outcome = TOutcome::Failed;
    }
    if (outcome == TOutcome::Lost)
        lost_ = true;
    return outcome;
}

void TRemoteSession::TakeListing(std::vector<TListedEntry>& entries, std::string& here) {
    here = listedHere_;
    entries = std::move(listed_);
    listed_.clear();
}

void TRemoteSession::BeginChangeDir(const std::string& path) {
    lastActivity = GetTickCount();
    ftpReady = false;
    pending_ = TPending::Ready;
    ftp_.ChangeDir(path);
}

void TRemoteSession::StartListing(TPending pending) {
    lastActivity = GetTickCount();
    notEntries_.clear();
    listed_.clear();
    linePending_ = false;
    ftpReady = false;
    pending_ = pending;
}

void TRemoteSession::BeginList() {
    StartListing(TPending::List);
    listingRefused_ = false;
    ftp_.GetListing();
}

void TRemoteSession::BeginNameListing() {
    StartListing(TPending::Names);
    ftp_.GetNameListing();
}

TOutcome TRemoteSession::TakeNameListing(TOutcome names, std::vector<TListedEntry>& entries,
                                         std::string& here) {
    entries.clear();
    // The names are no entries of a listing.
    notEntries_.clear();
    if (names == TOutcome::Done) {
        here = listedHere_;
        listingRefused_ = false;
        return names;
    }
    if (names == TOutcome::Failed)
        lastErrorText = refusal_;
    return names;
}

void TRemoteSession::BeginMakeDir(const std::string& path) {
    lastActivity = GetTickCount();
    dirCreated = false;
    pending_ = TPending::Created;
    ftp_.MakeDir(path);
}

void TRemoteSession::BeginDelete(const std::string& path) {
    lastActivity = GetTickCount();
    deleteDone = false;
    pending_ = TPending::Deleted;
    ftp_.DeleteFile(path);
}

void TRemoteSession::BeginRemoveDir(const std::string& path) {
    lastActivity = GetTickCount();
    deleteDone = false;
    pending_ = TPending::Deleted;
    ftp_.RemoveDir(path);
}

void TRemoteSession::BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) {
    lastActivity = GetTickCount();
    ftpReady = false;
    pending_ = TPending::Ready;
    ftp_.SetFileTime(remotePath, utcSeconds);
}

void TRemoteSession::BeginRename(const std::string& from, const std::string& to) {
    lastActivity = GetTickCount();
    renameDone = false;
    pending_ = TPending::Renamed;
    ftp_.Rename(from, to);
}

void TRemoteSession::BeginPut(const std::string& localPath, const std::string& remotePath) {
    lastActivity = GetTickCount();
    ftpReady = false;
    uploading = true;
    pending_ = TPending::Put;
    ftp_.Put(localPath, remotePath, BinaryTransfer);
}

TOutcome TRemoteSession::ChangeDir(const std::string& path) {
    BeginChangeDir(path);
    return End();
}

TOutcome TRemoteSession::List(std::vector<TListedEntry>& entries, std::string& here) {
    entries.clear();
    BeginList();
    const TOutcome outcome = End();
    if (outcome == TOutcome::Failed && ListingRefused()) {
        BeginNameListing();
        return TakeNameListing(End(), entries, here);
    }
    if (outcome != TOutcome::Done)
        return outcome;
    TakeListing(entries, here);
    if (!ListingEndedMidLine())
        return outcome;
    const std::vector<TListedEntry> first = std::move(entries);
    const std::vector<std::string> firstNotEntries = notEntries_;
    BeginList();
    return TakeSecondListing(End(), first, firstNotEntries, entries, here);
}

TOutcome TRemoteSession::TakeSecondListing(TOutcome second, const std::vector<TListedEntry>& first,
                                           const std::vector<std::string>& firstNotEntries,
                                           std::vector<TListedEntry>& entries, std::string& here) {
    entries.clear();
    if (second != TOutcome::Done)
        return second;
    TakeListing(entries, here);
    if (!ListingEndedMidLine() || (entries == first && notEntries_ == firstNotEntries))
        return second;
    entries.clear();
    lastErrorText = "The listing ended in the middle of a line twice, each time elsewhere: "
                    "it is cut short on the way";
    return TOutcome::Failed;
}

TOutcome TRemoteSession::MakeDir(const std::string& path) {
    BeginMakeDir(path);
    return End();
}

TOutcome TRemoteSession::Delete(const std::string& path) {
    BeginDelete(path);
    return End();
}

TOutcome TRemoteSession::RemoveDir(const std::string& path) {
    BeginRemoveDir(path);
    return End();
}

TOutcome TRemoteSession::SetFileTime(const std::string& remotePath, int64_t utcSeconds) {
    BeginSetFileTime(remotePath, utcSeconds);
    return End();
}

TOutcome TRemoteSession::GetFileTime(const std::string& remotePath, int64_t& utcSeconds) {
    ftpReady = false;
    ftp_.GetFileTime(remotePath);
    TOutcome outcome = Await(ftpReady);
    if (outcome == TOutcome::Done) {
        if (const auto time = ftp_.LastFileTime())
            utcSeconds = *time;
        else
            outcome = TOutcome::Failed;
    }
    return outcome;
}

TOutcome TRemoteSession::Rename(const std::string& from, const std::string& to) {
    BeginRename(from, to);
    return End();
}

TOutcome TRemoteSession::Put(const std::string& localPath, const std::string& remotePath) {
    BeginPut(localPath, remotePath);
    return End();
}

void TRemoteSession::ClearError() {
    ftpError = false;
    lost_ = false;
    lastErrorCode = 30; // no error
}

std::string TRemoteSession::FailureReason() const {
    return lastErrorText.empty() ? ErrorText(lastErrorCode) : lastErrorText;
}

void TRemoteSession::Error(FtpInfo info, const std::string& addInfo) {
    lastErrorCode = static_cast<uint8_t>(info);
    ftpError = true;
    lastActivity = GetTickCount();
    // The component's own words name the host, the path or the server's reply; the
    // code's text is the fallback.
    if (addInfo.empty() || addInfo == "Error") {
        lastErrorText = ErrorText(info);
    } else if (info != ftpOperationFailed && IsReplyLine(addInfo) && !ErrorText(info).empty()) {
        // A reply line: what it means to us, then what the server said.
        std::string meaning = ErrorText(info);
        if (meaning.back() == '.')
            meaning.pop_back();
        lastErrorText = meaning + ": " + addInfo;
    } else {
        lastErrorText = addInfo;
    }
}

void TRemoteSession::Info(FtpInfo info, const std::string& addInfo) {
    lastActivity = GetTickCount();
    if (info == ftpListingLine)
        ListingLine(addInfo);
    if (!uploading)
        return;
    if (info == ftpFileSize) {
        long long size = 0;
        const auto [end, ec] =
            std::from_chars(addInfo.data(), addInfo.data() + addInfo.size(), size);
        fileSize = (ec == std::errc() && end == addInfo.data() + addInfo.size()) ? size : 0;
        if (OnFileSize)
            OnFileSize(addInfo);
    } else if (info == ftpProgress) {
        bytesSent = ftp_.BytesTransferred();
        if (OnProgress)
            OnProgress();
        if (ftpAbort) {
            ftp_.Abort();
            uploading = false;
        }
    }
}

// The component reads each line into its entries right after telling of it, so whether a
// line gave an entry shows when the next one arrives, or the listing ends.
void TRemoteSession::ListingLine(const std::string& line) {
    SettleListingLine();
    pendingLine_ = line;
    entriesBefore_ = ftp_.Entries().size();
    linePending_ = true;
}

void TRemoteSession::SettleListingLine() {
    if (linePending_ && !pendingLine_.empty() && ftp_.Entries().size() == entriesBefore_)
        notEntries_.push_back(pendingLine_);
    linePending_ = false;
}

std::string TRemoteSession::ErrorText(int code) {
    static const std::array<const char*, 31> texts = {
        "Pelmora is available for another FTP session.",
        "Pelmora has connected to a server",
        "Pelmora disconnected. You may have to quit.",
        "The FTP server gave an error message as soon as connection was made.",
        "",
        "",
        "Server name or address could not be resolved",
        "Pelmora busy",
        "Pelmora is busy with a transaction",
        "Winsock could not be started on the system",
        "A server name was not supplied",
        "general socket error, very rare and fatal",
        "socket read error, very rare and fatal",
        "socket write error, very rare and fatal",
        "unexpected response received to basic FTP command, fatal",
        "access denied to FTP server",
        "",
        "could not open file specified in LocalFile",
        "could not write to file specified in LocalFile",
        "could not read from file specified in LocalFile",
        "The supplied URL could not be parsed",
        "the file supplied in RemoteFile does not exist",
        "",
        "Pelmora ready",
        "the data transafer is done",
        "the Listing, Files and Directories properties have been updated",
        "successfully logged in to server",
        "supplies file size for data transfer in addinfo",
        "used by FTPUrlDialog to indicate time out condition",
        "the requested operation could not be performed",
        "no error",
    };
    return code >= 0 && code < static_cast<int>(texts.size()) ? texts[static_cast<size_t>(code)]
                                                              : "";
}

} // namespace pelmora
