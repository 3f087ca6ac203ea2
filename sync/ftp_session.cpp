#include "sync/ftp_session.h"

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

TFtpSession::TFtpSession() {
    ftp_.OnFtpInfo = [this](TObject*, FtpInfo i, const std::string& a) { Info(i, a); };
    ftp_.OnFtpReady = [this](TObject*) { ready_ = true; };
    ftp_.OnFtpError = [this](TObject*, FtpInfo i, const std::string& a) { Error(i, a); };
    ftp_.OnLoggedIn = [this](TObject*) { LoginSucceeded(); };
    ftp_.OnDirectoryCreated = [this](TObject*) { dirCreated_ = true; };
    ftp_.OnDirectoryDeleted = [this](TObject*) { deleteDone_ = true; };
    ftp_.OnFileDeleted = [this](TObject*) { deleteDone_ = true; };
    ftp_.OnFileRenamed = [this](TObject*) { renameDone_ = true; };
}

// The component is torn down after the session's own members: what it reports while it
// goes reaches nobody.
TFtpSession::~TFtpSession() {
    ftp_.OnFtpInfo = nullptr;
    ftp_.OnFtpReady = nullptr;
    ftp_.OnFtpError = nullptr;
    ftp_.OnLoggedIn = nullptr;
    ftp_.OnDirectoryCreated = nullptr;
    ftp_.OnDirectoryDeleted = nullptr;
    ftp_.OnFileDeleted = nullptr;
    ftp_.OnFileRenamed = nullptr;
}

void TFtpSession::BeginConnect(const TConnectionSettings& settings) {
    settings_ = settings;
    timeoutMs = settings.timeoutMs;
    StartedConnecting();
    ftp_.Connect(settings);
}

std::unique_ptr<TRemoteSession> TFtpSession::Sibling() const {
    auto sibling = std::make_unique<TFtpSession>();
    // What the settings value does not hold: the component's own tunings, as this one's.
    sibling->ftp_.Options = ftp_.Options;
    sibling->settings_ = settings_;
    // A server that could not complete TLS with this session is not asked again by each
    // sibling: they go as this one went.
    if (!ftp_.TlsFallback().empty())
        sibling->settings_.tlsMode = TTlsMode::Off;
    sibling->timeoutMs = timeoutMs;
    return sibling;
}

void TFtpSession::Close() {
    // QUIT is refused while a command runs; Abort closes both connections instead.
    if (ftp_.Connected() && ftp_.Status() == ftpCommandReady)
        ftp_.Quit();
    else
        ftp_.Abort();
}

void TFtpSession::Abort() {
    ftp_.Abort();
}

std::vector<std::pair<std::string, std::string>> TFtpSession::ConnectionFacts() const {
    return {{"Security", ftp_.Traits().securityInUse},
            {"Data connections", DataModeText(ftp_.Traits().dataModeInUse)}};
}

std::optional<TServerCertificate> TFtpSession::RefusedCertificate() const {
    const std::optional<TCertificateRefusal>& refused = ftp_.CertificateRefusal();
    if (!refused)
        return std::nullopt;
    return TServerCertificate{refused->host, refused->certificate, refused->reason,
                              refused->changed, refused->trustedBefore};
}

TRemoteTraits TFtpSession::Traits() const {
    TRemoteTraits traits;
    const TServerTraits& server = ftp_.Traits();
    traits.systemType = server.systemType;
    traits.fileTimeSettable = server.FileTimeSettable();
    traits.fileTimeReadable = server.features.mdtm;
    traits.renameOffered = server.RenameOffered();
    traits.exactListingTimes = ftp_.ListingByMlsd();
    // In active mode every transfer has the server connect back to us; with several
    // sessions doing so at once a server was seen to leave a session unanswered for good
    // (pyftpdlib), so active sessions work one at a time, as they always have. Under auto
    // the session's data connections tell which mode the server lets us have.
    const TDataMode mode = ftp_.Settings().dataMode;
    traits.parallelSessions =
        mode == TDataMode::Passive || (mode == TDataMode::Auto && IsPassive(server.dataModeInUse));
    traits.secured = server.controlSecured;
    return traits;
}

bool TFtpSession::WaitFor(const bool& flag) {
    Touch();
    // Every sign of life of the session moves the deadline on (Info, Error).
    const bool came = WaitForSessions([&] { return flag || error_ || stopped_; },
                                      [this] { return QuietDeadline(); });
    return came && !error_;
}

TOutcome TFtpSession::Conclude(bool done) {
    const uint32_t timeout = timeoutMs;
    if (done && !stopped_)
        return TOutcome::Done;
    if (stopped_ && !error_)
        return TOutcome::Stopped;
    if (error_ && ftp_.Connected() && lastErrorCode_ != ftpDisconnected &&
        lastErrorCode_ != ftpTimeOut) {
        // Only this operation was refused; its ready follows the error, and the next
        // command may go once it has.
        const uint32_t deadline = GetTickCount() + timeout;
        WaitForSessions([this] { return ready_ || stopped_ || !ftp_.Connected(); },
                        [deadline] { return deadline; });
        error_ = false;
        if (ftp_.Connected())
            return TOutcome::Failed;
    }
    if (!error_) {
        // No answer for the whole time-out: the session cannot be trusted with another
        // command.
        lastErrorCode_ = ftpTimeOut;
        lastErrorText_ =
            "No answer from the server for " + std::to_string(timeout / 1000) + " seconds";
        ftp_.Abort();
    }
    error_ = true;
    return TOutcome::Lost;
}

const bool& TFtpSession::PendingFlag() const {
    switch (pending_) {
    case TPending::Created:
        return dirCreated_;
    case TPending::Deleted:
        return deleteDone_;
    case TPending::Renamed:
        return renameDone_;
    default:
        return ready_;
    }
}

bool TFtpSession::Settled() const {
    if (!Busy())
        return true;
    return PendingFlag() || error_ || stopped_ || TickReached(GetTickCount(), QuietDeadline());
}

TOutcome TFtpSession::End() {
    const TPending pending = pending_;
    if (pending == TPending::None)
        return TOutcome::Done;
    const bool& flag = PendingFlag();
    // A wait that already ran out (a pool waited for it) is not waited for again.
    const bool quiet =
        !flag && !error_ && !stopped_ && TickReached(GetTickCount(), QuietDeadline());
    TOutcome outcome = Conclude(!quiet && WaitFor(flag));
    pending_ = TPending::None;
    if (pending == TPending::List) {
        outcome = EndListing(outcome);
    } else if (pending == TPending::Names) {
        outcome = EndNameListing(outcome);
    } else if (pending == TPending::Put) {
        uploading_ = false;
        // A ready that ends a transfer cut short says nothing of the file on the server.
        if (outcome == TOutcome::Done && !ftp_.Success())
            outcome = TOutcome::Failed;
    } else if (pending == TPending::FileTime && outcome == TOutcome::Done) {
        if (const auto time = ftp_.LastFileTime())
            fileTime_ = *time;
        else
            outcome = TOutcome::Failed;
    }
    if (outcome == TOutcome::Lost)
        lost_ = true;
    return outcome;
}

TOutcome TFtpSession::EndListing(TOutcome outcome) {
    SettleListingLine();
    // A listing that failed is never taken for an empty directory.
    if (outcome == TOutcome::Done && ftp_.LastError() != ftpNoError)
        outcome = TOutcome::Failed;
    if (outcome == TOutcome::Done && ftp_.ListingRefused()) {
        listingRefused_ = true;
        refusal_ = ftp_.LastReplyText();
        lastErrorText_ = refusal_;
        outcome = TOutcome::Failed;
    }
    if (outcome == TOutcome::Done) {
        listedHere_ = ftp_.CurrentDirectory();
        listed_ = ftp_.Entries();
        SortEntries(listed_);
    }
    return outcome;
}

TOutcome TFtpSession::EndNameListing(TOutcome outcome) {
    SettleListingLine();
    const bool empty = outcome == TOutcome::Done && ftp_.LastError() == ftpNoError &&
                       !ftp_.ListingRefused() && ftp_.Listing().Count() == 0;
    if (outcome == TOutcome::Done || outcome == TOutcome::Failed)
        outcome = empty ? TOutcome::Done : TOutcome::Failed;
    if (empty)
        listedHere_ = ftp_.CurrentDirectory();
    return outcome;
}

void TFtpSession::Start(TPending pending) {
    Touch();
    pending_ = pending;
}

void TFtpSession::BeginChangeDir(const std::string& path) {
    Start(TPending::Ready);
    ready_ = false;
    ftp_.ChangeDir(path);
}

void TFtpSession::StartListing(TPending pending) {
    Start(pending);
    notEntries_.clear();
    listed_.clear();
    linePending_ = false;
    ready_ = false;
}

void TFtpSession::BeginList() {
    StartListing(TPending::List);
    listingRefused_ = false;
    ftp_.GetListing();
}

void TFtpSession::BeginNameListing() {
    StartListing(TPending::Names);
    ftp_.GetNameListing();
}

void TFtpSession::BeginMakeDir(const std::string& path) {
    Start(TPending::Created);
    dirCreated_ = false;
    ftp_.MakeDir(path);
}

void TFtpSession::BeginDelete(const std::string& path) {
    Start(TPending::Deleted);
    deleteDone_ = false;
    ftp_.DeleteFile(path);
}

void TFtpSession::BeginRemoveDir(const std::string& path) {
    Start(TPending::Deleted);
    deleteDone_ = false;
    ftp_.RemoveDir(path);
}

void TFtpSession::BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) {
    Start(TPending::Ready);
    ready_ = false;
    ftp_.SetFileTime(remotePath, utcSeconds);
}

void TFtpSession::BeginGetFileTime(const std::string& remotePath) {
    Start(TPending::FileTime);
    ready_ = false;
    ftp_.GetFileTime(remotePath);
}

void TFtpSession::BeginRename(const std::string& from, const std::string& to) {
    Start(TPending::Renamed);
    renameDone_ = false;
    ftp_.Rename(from, to);
}

void TFtpSession::BeginPut(const std::string& localPath, const std::string& remotePath) {
    Start(TPending::Put);
    ready_ = false;
    bytesSent_ = 0;
    fileSize_ = 0;
    uploading_ = true;
    ftp_.Put(localPath, remotePath, BinaryTransfer);
}

void TFtpSession::ClearError() {
    error_ = false;
    lost_ = false;
    lastErrorCode_ = 30; // no error
}

std::string TFtpSession::FailureReason() const {
    return lastErrorText_.empty() ? ErrorText(lastErrorCode_) : lastErrorText_;
}

void TFtpSession::Error(FtpInfo info, const std::string& addInfo) {
    lastErrorCode_ = static_cast<uint8_t>(info);
    error_ = true;
    Touch();
    // The component's own words name the host, the path or the server's reply; the
    // code's text is the fallback.
    if (addInfo.empty() || addInfo == "Error") {
        lastErrorText_ = ErrorText(info);
    } else if (info != ftpOperationFailed && IsReplyLine(addInfo) && !ErrorText(info).empty()) {
        // A reply line: what it means to us, then what the server said.
        std::string meaning = ErrorText(info);
        if (meaning.back() == '.')
            meaning.pop_back();
        lastErrorText_ = meaning + ": " + addInfo;
    } else {
        lastErrorText_ = addInfo;
    }
}

void TFtpSession::Info(FtpInfo info, const std::string& addInfo) {
    Touch();
    if (info == ftpListingLine)
        ListingLine(addInfo);
    if (!uploading_)
        return;
    if (info == ftpFileSize) {
        long long size = 0;
        const auto [end, ec] =
            std::from_chars(addInfo.data(), addInfo.data() + addInfo.size(), size);
        fileSize_ = (ec == std::errc() && end == addInfo.data() + addInfo.size()) ? size : 0;
        if (OnFileSize)
            OnFileSize(addInfo);
    } else if (info == ftpProgress) {
        bytesSent_ = ftp_.BytesTransferred();
        if (OnProgress)
            OnProgress();
        if (stopped_) {
            ftp_.Abort();
            uploading_ = false;
        }
    }
}

// The component reads each line into its entries right after telling of it, so whether a
// line gave an entry shows when the next one arrives, or the listing ends.
void TFtpSession::ListingLine(const std::string& line) {
    SettleListingLine();
    pendingLine_ = line;
    entriesBefore_ = ftp_.Entries().size();
    linePending_ = true;
}

void TFtpSession::SettleListingLine() {
    if (linePending_ && !pendingLine_.empty() && ftp_.Entries().size() == entriesBefore_)
        notEntries_.push_back(pendingLine_);
    linePending_ = false;
}

std::string TFtpSession::ErrorText(int code) {
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
