#pragma once

#include "ftp/ftp.h"
#include "sync/remote_session.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

// The remote interface over FTP: one TFtp component, whose events only set the flags
// below. This file and its .cpp are the only ones in sync that know FTP; every call into
// the component is made here.
class TFtpSession final : public TRemoteSession {
public:
    TFtpSession();
    ~TFtpSession() override;

    void BeginConnect(const TConnectionSettings& settings) override;
    std::unique_ptr<TRemoteSession> Sibling() const override;
    // QUIT when idle, else Abort.
    void Close() override;
    void Abort() override;
    bool ErrorPending() const override { return error_; }
    bool LoginRefused() const override { return lastErrorCode_ == ftpAccessDenied; }
    bool LocalFileFailed() const override { return lastErrorCode_ == ftpLocalOpenError; }
    // "Security": how the control connection is secured; "Data connections": how the
    // latest data connection was made.
    std::vector<std::pair<std::string, std::string>> ConnectionFacts() const override;
    std::optional<TServerCertificate> RefusedCertificate() const override;
    TRemoteTraits Traits() const override;
    bool RenameSourceTaken() const override { return ftp_.RenameSourceTaken(); }
    const std::string& LastReplyText() const override { return ftp_.LastReplyText(); }

    void BeginChangeDir(const std::string& path) override;
    void BeginList() override;
    // NLST: the names alone.
    void BeginNameListing() override;
    void BeginMakeDir(const std::string& path) override;
    void BeginDelete(const std::string& path) override;
    void BeginRemoveDir(const std::string& path) override;
    void BeginPut(const std::string& localPath, const std::string& remotePath) override;
    void BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) override;
    void BeginGetFileTime(const std::string& remotePath) override;
    void BeginRename(const std::string& from, const std::string& to) override;
    bool Busy() const override { return pending_ != TPending::None; }
    bool Settled() const override;
    TOutcome End() override;
    bool ListingEndedMidLine() const override { return ftp_.ListingEndedMidLine(); }
    std::string FailureReason() const override;
    void ClearError() override;

    // What only an FTP session has, for the window's question about a certificate it
    // refused (kept until the next connect).
    const std::optional<TCertificateRefusal>& CertificateRefusal() const {
        return ftp_.CertificateRefusal();
    }
    // The component itself, for tests that watch its state.
    const TFtp& Component() const { return ftp_; }

    // The shell's text for an error code of the component; empty for codes without one.
    static std::string ErrorText(int code);

private:
    enum class TPending : uint8_t {
        None,
        Ready,
        Created,
        Deleted,
        Renamed,
        List,
        Names,
        Put,
        FileTime
    };
    // What every operation starts from: a sign of life now, `pending` awaited.
    void Start(TPending pending);
    // What every listing starts from: nothing read yet, `pending` awaited.
    void StartListing(TPending pending);
    // Waits for `flag` (or an error, or Stop) as long as the session shows signs of life.
    // False on an error or a time-out; a Stop counts as success.
    bool WaitFor(const bool& flag);
    // What the wait of an operation left: its outcome.
    TOutcome Conclude(bool done);
    // What the end of each kind of operation makes of its outcome.
    TOutcome EndListing(TOutcome outcome);
    TOutcome EndNameListing(TOutcome outcome);
    const bool& PendingFlag() const;
    void Error(FtpInfo info, const std::string& addInfo);
    void Info(FtpInfo info, const std::string& addInfo);
    void ListingLine(const std::string& line);
    void SettleListingLine();

    TFtp ftp_;
    // What the component's events set; see the handlers.
    bool ready_ = false;
    bool error_ = false;
    bool deleteDone_ = false;
    bool dirCreated_ = false;
    bool renameDone_ = false;
    uint8_t lastErrorCode_ = 0;
    std::string pendingLine_; // the listing line whose entry is not yet counted
    size_t entriesBefore_ = 0;
    bool linePending_ = false;
    TPending pending_ = TPending::None;
};

} // namespace pelmora
