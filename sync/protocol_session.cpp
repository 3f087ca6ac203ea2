#include "sync/protocol_session.h"

#include "sync/ftp_session.h"
#include "sync/sftp_session.h"

namespace pelmora {

std::unique_ptr<TRemoteSession> NewRemoteSession(TProtocol protocol) {
    if (protocol == TProtocol::Sftp)
        return std::make_unique<TSftpSession>();
    return std::make_unique<TFtpSession>();
}

std::unique_ptr<TRemoteSession> NewRemoteSession() {
    return std::make_unique<TProtocolSession>();
}

TProtocolSession::TProtocolSession() {
    Adopt(NewRemoteSession(TProtocol::Ftp), TProtocol::Ftp);
}

TProtocolSession::~TProtocolSession() = default;

void TProtocolSession::Down() const {
    HandDown(*inner_);
    if (lastErrorText_ != takenText_)
        inner_->SetLastErrorText(lastErrorText_);
}

void TProtocolSession::Up() {
    TakeUp(*inner_);
    takenText_ = lastErrorText_;
}

// The inner session tells its user through this one.
void TProtocolSession::Adopt(std::unique_ptr<TRemoteSession> inner, TProtocol protocol) {
    inner_ = std::move(inner);
    protocol_ = protocol;
    inner_->OnLoggedIn = [this] {
        Up();
        LoginSucceeded();
    };
    inner_->OnFileSize = [this](const std::string& size) {
        Up();
        if (OnFileSize)
            OnFileSize(size);
    };
    inner_->OnProgress = [this] {
        Up();
        if (OnProgress)
            OnProgress();
    };
}

void TProtocolSession::BeginConnect(const TConnectionSettings& settings) {
    if (settings.protocol != protocol_) {
        inner_->Abort();
        Adopt(NewRemoteSession(settings.protocol), settings.protocol);
    }
    StartedConnecting();
    Pass([&](TRemoteSession& s) { s.BeginConnect(settings); });
}

std::unique_ptr<TRemoteSession> TProtocolSession::Sibling() const {
    Down();
    return inner_->Sibling();
}

void TProtocolSession::Close() {
    Pass([](TRemoteSession& s) { s.Close(); });
}

void TProtocolSession::Abort() {
    Pass([](TRemoteSession& s) { s.Abort(); });
}

// The wait for a login asks this as it wakes: what the inner session learnt on the way
// (its words for a failed connect) comes up with the answer.
bool TProtocolSession::ErrorPending() const {
    const_cast<TProtocolSession*>(this)->Up();
    return inner_->ErrorPending();
}

void TProtocolSession::BeginChangeDir(const std::string& path) {
    Pass([&](TRemoteSession& s) { s.BeginChangeDir(path); });
}

void TProtocolSession::BeginList() {
    // An empty listing brings nothing up: none of an earlier one may stay.
    listed_.clear();
    Pass([](TRemoteSession& s) { s.BeginList(); });
}

void TProtocolSession::BeginNameListing() {
    listed_.clear();
    Pass([](TRemoteSession& s) { s.BeginNameListing(); });
}

void TProtocolSession::BeginMakeDir(const std::string& path) {
    Pass([&](TRemoteSession& s) { s.BeginMakeDir(path); });
}

void TProtocolSession::BeginDelete(const std::string& path) {
    Pass([&](TRemoteSession& s) { s.BeginDelete(path); });
}

void TProtocolSession::BeginRemoveDir(const std::string& path) {
    Pass([&](TRemoteSession& s) { s.BeginRemoveDir(path); });
}

void TProtocolSession::BeginPut(const std::string& localPath, const std::string& remotePath) {
    Pass([&](TRemoteSession& s) { s.BeginPut(localPath, remotePath); });
}

void TProtocolSession::BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) {
    Pass([&](TRemoteSession& s) { s.BeginSetFileTime(remotePath, utcSeconds); });
}

void TProtocolSession::BeginGetFileTime(const std::string& remotePath) {
    Pass([&](TRemoteSession& s) { s.BeginGetFileTime(remotePath); });
}

void TProtocolSession::BeginRename(const std::string& from, const std::string& to) {
    Pass([&](TRemoteSession& s) { s.BeginRename(from, to); });
}

bool TProtocolSession::Settled() const {
    const bool settled = inner_->Settled();
    // The inner session's signs of life move this one's deadline too.
    const_cast<TProtocolSession*>(this)->lastActivity_ = Inner().QuietDeadline() - timeoutMs;
    return settled;
}

TOutcome TProtocolSession::End() {
    TOutcome outcome = TOutcome::Done;
    Pass([&](TRemoteSession& s) { outcome = s.End(); });
    return outcome;
}

std::string TProtocolSession::FailureReason() const {
    Down();
    return inner_->FailureReason();
}

void TProtocolSession::ClearError() {
    Pass([](TRemoteSession& s) { s.ClearError(); });
}

} // namespace pelmora
