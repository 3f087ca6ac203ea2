#pragma once

#include "sftp/sftp.h"
#include "sync/remote_session.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

// The remote interface over SFTP: one TSftp connection. This file and its .cpp are the
// only ones in sync that know SFTP. SFTP has no current directory: the session keeps one,
// and every path it sends is absolute.
class TSftpSession final : public TRemoteSession {
public:
    TSftpSession();
    ~TSftpSession() override;

    void BeginConnect(const TConnectionSettings& settings) override;
    std::unique_ptr<TRemoteSession> Sibling() const override;
    void Close() override;
    void Abort() override;
    bool ErrorPending() const override { return error_; }
    bool LoginRefused() const override { return sftp_.LoginRefused(); }
    bool LocalFileFailed() const override { return sftp_.LocalFileFailed(); }
    // "Security": the SSH connection, its host key and how the login went.
    std::vector<std::pair<std::string, std::string>> ConnectionFacts() const override;
    std::optional<TServerHostKey> RefusedHostKey() const override;
    TRemoteTraits Traits() const override;
    bool RenameSourceTaken() const override { return sftp_.RenameTargetTaken(); }
    const std::string& LastReplyText() const override { return sftp_.ReplyText(); }

    void BeginChangeDir(const std::string& path) override;
    void BeginList() override;
    // SFTP never refuses a listing at once the way FTP servers do: nothing to prove.
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
    bool ListingEndedMidLine() const override { return false; }
    std::string FailureReason() const override;
    void ClearError() override;

    // The directory the session stands in.
    const std::string& CurrentDirectory() const { return here_; }
    // `path` as the server's absolute path, from the current directory; "." and ".."
    // resolved, the names' bytes (blanks too) kept.
    std::string Absolute(const std::string& path) const;

private:
    enum class TPending : uint8_t { None, ChangeDir, List, Names, Simple, Put, SetTime, FileTime };
    void Start(TPending pending);
    void Activity();

    TSftp sftp_;
    TPending pending_ = TPending::None;
    bool connecting_ = false;
    bool error_ = false;
    // The server refused to set a file's time: it is not asked again in this session.
    bool timeRefused_ = false;
    std::string here_ = "/";
    std::string target_; // the directory a ChangeDir or List names
};

} // namespace pelmora
