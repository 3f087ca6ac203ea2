#pragma once

#include "sync/remote_session.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

// The engine's main session, made before anyone knows which site it will reach: each
// connect opens a session of the protocol its settings name (TFtpSession, TSftpSession),
// and every call goes on to that one. Its user sees one session whatever the protocol.
class TProtocolSession final : public TRemoteSession {
public:
    TProtocolSession();
    ~TProtocolSession() override;

    void BeginConnect(const TConnectionSettings& settings) override;
    std::unique_ptr<TRemoteSession> Sibling() const override;
    void Close() override;
    void Abort() override;
    bool ErrorPending() const override;
    bool LoginRefused() const override { return inner_->LoginRefused(); }
    bool LocalFileFailed() const override { return inner_->LocalFileFailed(); }
    std::vector<std::pair<std::string, std::string>> ConnectionFacts() const override {
        return inner_->ConnectionFacts();
    }
    std::optional<TServerCertificate> RefusedCertificate() const override {
        return inner_->RefusedCertificate();
    }
    std::optional<TServerHostKey> RefusedHostKey() const override {
        return inner_->RefusedHostKey();
    }
    TRemoteTraits Traits() const override { return inner_->Traits(); }
    bool RenameSourceTaken() const override { return inner_->RenameSourceTaken(); }
    const std::string& LastReplyText() const override { return inner_->LastReplyText(); }

    void BeginChangeDir(const std::string& path) override;
    void BeginList() override;
    void BeginNameListing() override;
    void BeginMakeDir(const std::string& path) override;
    void BeginDelete(const std::string& path) override;
    void BeginRemoveDir(const std::string& path) override;
    void BeginPut(const std::string& localPath, const std::string& remotePath) override;
    void BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) override;
    void BeginGetFileTime(const std::string& remotePath) override;
    void BeginRename(const std::string& from, const std::string& to) override;
    bool Busy() const override { return inner_->Busy(); }
    bool Settled() const override;
    TOutcome End() override;
    bool ListingEndedMidLine() const override { return inner_->ListingEndedMidLine(); }
    // Our own words of the failure may have been set here since the inner session spoke.
    std::string FailureReason() const override;
    void ClearError() override;

    TProtocol Protocol() const { return protocol_; }
    // The session that speaks the protocol, for tests that look at it.
    const TRemoteSession& Inner() const { return *inner_; }

private:
    // Down before each call, up after it.
    template <typename TCall>
    void Pass(TCall call) {
        Down();
        call(*inner_);
        Up();
    }
    // The words of an error go down only when this session's user set them since they
    // came up: the inner session's own, set while it waited, must not be overwritten.
    void Down() const;
    void Up();
    void Adopt(std::unique_ptr<TRemoteSession> inner, TProtocol protocol);
    void StopGiven() override { HandDownStop(*inner_); }

    std::unique_ptr<TRemoteSession> inner_;
    TProtocol protocol_ = TProtocol::Ftp;
    std::string takenText_; // the error words as they last came up
};

} // namespace pelmora
