#include "sync/remote_session.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

namespace pelmora {

bool WaitForSessions(const std::function<bool()>& done, const std::function<uint32_t()>& deadline) {
    for (;;) {
        if (WaitUntil(done, deadline()))
            return true;
        // Woken by the deadline, which may have moved on meanwhile.
        if (TickReached(GetTickCount(), deadline()))
            return done();
    }
}

TRemoteSession::~TRemoteSession() = default;

void TRemoteSession::Touch() {
    lastActivity_ = GetTickCount();
}

void TRemoteSession::StartedConnecting() {
    loggedIn_ = false;
    connectStart_ = std::chrono::steady_clock::now();
    Touch();
}

void TRemoteSession::HandDown(TRemoteSession& inner) const {
    inner.timeoutMs = timeoutMs;
    inner.settings_ = settings_;
    HandDownStop(inner);
}

void TRemoteSession::HandDownStop(TRemoteSession& inner) const {
    inner.stopped_ = stopped_;
    inner.stopHeld_ = stopHeld_;
    inner.stopAsked_ = stopAsked_;
}

void TRemoteSession::TakeUp(TRemoteSession& inner) {
    lastActivity_ = inner.lastActivity_;
    loggedIn_ = inner.loggedIn_;
    lost_ = inner.lost_;
    settings_ = inner.settings_;
    timeoutMs = inner.timeoutMs;
    lastErrorText_ = inner.lastErrorText_;
    notEntries_ = inner.notEntries_;
    // A listing comes up once; TakeListing moves it on from here.
    if (!inner.listed_.empty()) {
        listed_ = std::move(inner.listed_);
        inner.listed_.clear();
    }
    listedHere_ = inner.listedHere_;
    listingRefused_ = inner.listingRefused_;
    refusal_ = inner.refusal_;
    fileTime_ = inner.fileTime_;
    bytesSent_ = inner.bytesSent_;
    fileSize_ = inner.fileSize_;
    uploading_ = inner.uploading_;
}

void TRemoteSession::LoginSucceeded() {
    loginTime_ = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - connectStart_);
    lost_ = false;
    loggedIn_ = true;
    if (OnLoggedIn)
        OnLoggedIn();
}

bool TRemoteSession::WaitForLogin() {
    Touch();
    WaitForSessions([this] { return loggedIn_ || ErrorPending() || stopped_; },
                    [this] { return QuietDeadline(); });
    return (loggedIn_ || stopped_) && !ErrorPending();
}

TOutcome TRemoteSession::ChangeDir(const std::string& path) {
    BeginChangeDir(path);
    return End();
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
    BeginGetFileTime(remotePath);
    const TOutcome outcome = End();
    if (outcome == TOutcome::Done)
        utcSeconds = TakeFileTime();
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

void TRemoteSession::TakeListing(std::vector<TListedEntry>& entries, std::string& here) {
    here = listedHere_;
    entries = std::move(listed_);
    listed_.clear();
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
        lastErrorText_ = refusal_;
    return names;
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
    lastErrorText_ = "The listing ended in the middle of a line twice, each time elsewhere: "
                     "it is cut short on the way";
    return TOutcome::Failed;
}

} // namespace pelmora
