#include "sync/sftp_session.h"

#include "sync/remote_entries.h"

#include "toolkit/tick.h"

namespace pelmora {

TSftpSession::TSftpSession() {
    sftp_.OnActivity = [this] { Activity(); };
    sftp_.OnProgress = [this] {
        bytesSent_ = sftp_.BytesSent();
        if (OnProgress)
            OnProgress();
        // A Stop ends the upload at once, as the FTP side does.
        if (stopped_ && sftp_.Running()) {
            sftp_.Abort();
            uploading_ = false;
        }
    };
}

TSftpSession::~TSftpSession() {
    sftp_.OnActivity = nullptr;
    sftp_.OnProgress = nullptr;
}

void TSftpSession::BeginConnect(const TConnectionSettings& settings) {
    settings_ = settings;
    timeoutMs = settings.timeoutMs;
    error_ = false;
    connecting_ = true;
    StartedConnecting();
    sftp_.Connect(settings);
    Activity();
}

// Every sign of life of the connection; the end of a connect is told here too.
void TSftpSession::Activity() {
    Touch();
    if (!connecting_ || sftp_.Running())
        return;
    connecting_ = false;
    if (sftp_.State() == TSftpState::Done) {
        here_ = sftp_.Home();
        LoginSucceeded();
        return;
    }
    error_ = true;
    lastErrorText_ = sftp_.ErrorText();
    if (const auto& key = sftp_.RefusedHostKey(); key && !key->changed)
        lastErrorText_ += ". If that is the server's key, trust it with: pelmora --configure "
                          "SFTP.hostKey=" +
                          key->fingerprint;
}

std::unique_ptr<TRemoteSession> TSftpSession::Sibling() const {
    auto sibling = std::make_unique<TSftpSession>();
    sibling->settings_ = settings_;
    sibling->timeoutMs = timeoutMs;
    sibling->timeRefused_ = timeRefused_;
    return sibling;
}

void TSftpSession::Close() {
    if (sftp_.Running())
        sftp_.Abort();
    else
        sftp_.Disconnect();
    connecting_ = false;
}

void TSftpSession::Abort() {
    sftp_.Abort();
    connecting_ = false;
}

std::vector<std::pair<std::string, std::string>> TSftpSession::ConnectionFacts() const {
    return {{"Security", sftp_.SecurityText()}};
}

std::optional<TServerHostKey> TSftpSession::RefusedHostKey() const {
    const auto& key = sftp_.RefusedHostKey();
    if (!key)
        return std::nullopt;
    return TServerHostKey{key->host, key->port, key->type, key->fingerprint, key->changed};
}

TRemoteTraits TSftpSession::Traits() const {
    TRemoteTraits traits;
    // Times are set with setstat (until the server refuses it once) and read with stat,
    // both exact; listings give them in UTC seconds; the server takes several connections.
    traits.fileTimeSettable = !timeRefused_;
    traits.fileTimeReadable = true;
    traits.renameOffered = true;
    traits.exactListingTimes = true;
    traits.parallelSessions = true;
    traits.secured = sftp_.LoggedIn();
    return traits;
}

std::string TSftpSession::Absolute(const std::string& path) const {
    std::string joined = path.starts_with('/') ? path : here_ + "/" + path;
    std::vector<std::string> parts;
    for (size_t at = 0; at <= joined.size();) {
        size_t end = joined.find('/', at);
        if (end == std::string::npos)
            end = joined.size();
        const std::string part = joined.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string absolute;
    for (const std::string& part : parts)
        absolute += "/" + part;
    return absolute.empty() ? "/" : absolute;
}

void TSftpSession::Start(TPending pending) {
    Touch();
    pending_ = pending;
    error_ = false;
}

void TSftpSession::BeginChangeDir(const std::string& path) {
    Start(TPending::ChangeDir);
    target_ = Absolute(path);
    sftp_.Stat(target_);
}

void TSftpSession::BeginList() {
    Start(TPending::List);
    notEntries_.clear();
    listed_.clear();
    listingRefused_ = false;
    target_ = here_;
    sftp_.List(target_);
}

void TSftpSession::BeginNameListing() {
    Start(TPending::Names);
}

void TSftpSession::BeginMakeDir(const std::string& path) {
    Start(TPending::Simple);
    sftp_.MakeDir(Absolute(path));
}

void TSftpSession::BeginDelete(const std::string& path) {
    Start(TPending::Simple);
    sftp_.Delete(Absolute(path));
}

void TSftpSession::BeginRemoveDir(const std::string& path) {
    Start(TPending::Simple);
    sftp_.RemoveDir(Absolute(path));
}

void TSftpSession::BeginPut(const std::string& localPath, const std::string& remotePath) {
    Start(TPending::Put);
    bytesSent_ = 0;
    uploading_ = true;
    sftp_.Put(localPath, Absolute(remotePath));
    fileSize_ = sftp_.FileSize();
    if (OnFileSize && !sftp_.LocalFileFailed())
        OnFileSize(std::to_string(fileSize_));
}

void TSftpSession::BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) {
    Start(TPending::SetTime);
    sftp_.SetTime(Absolute(remotePath), utcSeconds);
}

void TSftpSession::BeginGetFileTime(const std::string& remotePath) {
    Start(TPending::FileTime);
    sftp_.Stat(Absolute(remotePath));
}

void TSftpSession::BeginRename(const std::string& from, const std::string& to) {
    Start(TPending::Simple);
    sftp_.Rename(Absolute(from), Absolute(to));
}

bool TSftpSession::Settled() const {
    return !Busy() || pending_ == TPending::Names || !sftp_.Running() || stopped_ ||
           TickReached(GetTickCount(), QuietDeadline());
}

TOutcome TSftpSession::End() {
    const TPending pending = pending_;
    if (pending == TPending::None)
        return TOutcome::Done;
    pending_ = TPending::None;
    if (pending == TPending::Names) {
        lastErrorText_ = "The listing was refused";
        return TOutcome::Failed;
    }
    WaitForSessions([this] { return !sftp_.Running() || stopped_; },
                    [this] { return QuietDeadline(); });
    uploading_ = false;
    TOutcome outcome = TOutcome::Done;
    if (sftp_.Running()) {
        // Stopped, or quiet for the whole time-out: what runs cannot be taken back, so
        // the connection goes with it.
        if (!stopped_)
            lastErrorText_ =
                "No answer from the server for " + std::to_string(timeoutMs / 1000) + " seconds";
        sftp_.Abort();
        outcome = stopped_ ? TOutcome::Stopped : TOutcome::Lost;
        lost_ = true;
    } else if (stopped_ && sftp_.State() != TSftpState::Done) {
        outcome = sftp_.State() == TSftpState::Lost ? TOutcome::Lost : TOutcome::Stopped;
    } else {
        switch (sftp_.State()) {
        case TSftpState::Done:
            outcome = stopped_ ? TOutcome::Stopped : TOutcome::Done;
            break;
        case TSftpState::Failed:
            outcome = TOutcome::Failed;
            break;
        default:
            outcome = TOutcome::Lost;
            break;
        }
    }
    if (outcome == TOutcome::Failed && pending == TPending::SetTime)
        timeRefused_ = true;
    if (outcome == TOutcome::Failed || outcome == TOutcome::Lost) {
        if (!sftp_.ErrorText().empty())
            lastErrorText_ = sftp_.ErrorText();
        if (outcome == TOutcome::Lost)
            lost_ = true;
        return outcome;
    }
    if (outcome != TOutcome::Done)
        return outcome;
    switch (pending) {
    case TPending::ChangeDir:
        if (sftp_.StatKind() != TListedKind::Directory) {
            lastErrorText_ = "Could not change to " + target_ + ": Not a directory";
            return TOutcome::Failed;
        }
        here_ = target_;
        break;
    case TPending::List:
        listed_ = sftp_.Entries();
        SortEntries(listed_);
        listedHere_ = target_;
        break;
    case TPending::FileTime:
        if (sftp_.StatTime() < 0) {
            lastErrorText_ = "The server gave no time for the file";
            return TOutcome::Failed;
        }
        fileTime_ = sftp_.StatTime();
        break;
    default:
        break;
    }
    return outcome;
}

std::string TSftpSession::FailureReason() const {
    return lastErrorText_.empty() ? "The SFTP operation failed" : lastErrorText_;
}

void TSftpSession::ClearError() {
    error_ = false;
    lost_ = false;
}

} // namespace pelmora
