#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <array>
#include <cctype>
#include <charconv>

namespace pelmora {

bool TSyncCore::WaitForFlag(const bool& flag, uint32_t timeoutMs) {
    lastActivity_ = GetTickCount();
    for (;;) {
        // Every sign of life of the session moves lastActivity_ on (Ftp1FtpInfo).
        const uint32_t deadline = lastActivity_ + timeoutMs;
        if (WaitUntil([&] { return flag || ftpError || ftpAbort; }, deadline))
            break;
        if (TickReached(GetTickCount(), lastActivity_ + timeoutMs))
            return false;
    }
    return !ftpError;
}

TSyncCore::TOutcome TSyncCore::AwaitOperation(const bool& flag) {
    const uint32_t timeout = TimeoutMs();
    const bool done = WaitForFlag(flag, timeout);
    if (done && !ftpAbort)
        return TOutcome::Done;
    if (ftpAbort && !ftpError)
        return TOutcome::Stopped;
    if (ftpError && Ftp1.Connected() && lastErrorCode != ftpDisconnected &&
        lastErrorCode != ftpTimeOut) {
        // Only this operation was refused; its ready follows the error, and the next
        // command may go once it has.
        WaitUntil([this] { return ftpReady || ftpAbort || !Ftp1.Connected(); },
                  GetTickCount() + timeout);
        ftpError = false;
        if (Ftp1.Connected())
            return TOutcome::Failed;
    }
    if (!ftpError) {
        // No answer for the whole time-out: the session cannot be trusted with another
        // command.
        lastErrorCode = ftpTimeOut;
        lastErrorText =
            "No answer from the server for " + std::to_string(timeout / 1000) + " seconds";
        Ftp1.Abort();
    }
    ftpError = true;
    return TOutcome::Lost;
}

std::string TSyncCore::FailureReason() const {
    return lastErrorText.empty() ? ErrorText(lastErrorCode) : lastErrorText;
}

void TSyncCore::Ftp1FtpReady(TObject*) {
    ftpReady = true;
}

void TSyncCore::Ftp1FtpError(TObject*, FtpInfo info, const std::string& addInfo) {
    lastErrorCode = static_cast<uint8_t>(info);
    ftpError = true;
    lastActivity_ = GetTickCount();
    // The component's own words name the host, the path or the server's reply; the
    // code's text is the fallback.
    if (addInfo.empty() || addInfo == "Error") {
        lastErrorText = ErrorText(info);
    } else if (info != ftpOperationFailed && addInfo.size() >= 3 &&
               std::isdigit(static_cast<unsigned char>(addInfo[0])) && !ErrorText(info).empty()) {
        // A reply line: what it means to us, then what the server said.
        std::string meaning = ErrorText(info);
        if (meaning.back() == '.')
            meaning.pop_back();
        lastErrorText = meaning + ": " + addInfo;
    } else {
        lastErrorText = addInfo;
    }
}

void TSyncCore::Ftp1LoggedIn(TObject*) {
    connected = true;
    remoteRootAbsolute_.reset(); // a new login starts where the server puts it
    remoteAtLogin_ = true;
    remoteAtRoot_ = false;
    ShowStatus("Connected");
}

void TSyncCore::Ftp1FileDeleted(TObject*) {
    deleteDone = true;
}
void TSyncCore::Ftp1DirectoryCreated(TObject*) {
    dirCreated = true;
}
void TSyncCore::Ftp1FileStored(TObject*) {}

void TSyncCore::Ftp1FtpInfo(TObject*, FtpInfo info, const std::string& addInfo) {
    lastActivity_ = GetTickCount();
    if (!uploading)
        return;
    if (info == ftpFileSize) {
        Label13.SetCaption(addInfo);
        long long size = 0;
        const auto [end, ec] =
            std::from_chars(addInfo.data(), addInfo.data() + addInfo.size(), size);
        fileSize = (ec == std::errc() && end == addInfo.data() + addInfo.size()) ? size : 0;
    } else if (info == ftpProgress) {
        bytesSent = Ftp1.BytesTransferred();
        Label9.SetCaption(std::to_string(bytesSent));
        SetProgress(fileSize >= 1 ? static_cast<int>(bytesSent * 100 / fileSize) : 0);
        if (ftpAbort) {
            Ftp1.Abort();
            Label15.SetCaption("");
            uploading = false;
        }
    }
}

void TSyncCore::ClearConnection() {
    remoteRootAbsolute_.reset();
    remoteAtLogin_ = false;
    remoteAtRoot_ = false;
    changeRemoteBtn.SetEnabled(false);
    compareBtn.SetEnabled(false);
    connected = false;
    FreeEntries(remoteList);
    remoteTree.Clear();
    remoteWorkList.Clear();
    ClearStatus();
    ShowStatus("Disconnected from Remote Site");
    connectBtn.SetCaption("Connect");
    servTypeLbl.SetCaption("");
    connectBtn.SetEnabled(true);
    stopLoadBtn.SetEnabled(false);
    remoteLoading = false;
}

std::string TSyncCore::ErrorText(int code) {
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
