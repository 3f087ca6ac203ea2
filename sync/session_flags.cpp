#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <array>
#include <charconv>

namespace pelmora {

bool TSyncCore::WaitForFlag(const bool& flag, uint32_t timeoutMs) {
    const uint32_t deadline = GetTickCount() + timeoutMs;
    WaitUntil([&] { return flag || ftpError || ftpAbort; }, deadline);
    if (ftpError)
        return false;
    return !TickReached(GetTickCount(), deadline);
}

void TSyncCore::Ftp1FtpReady(TObject*) {
    ftpReady = true;
}

void TSyncCore::Ftp1FtpError(TObject*, FtpInfo info, const std::string&) {
    lastErrorCode = static_cast<uint8_t>(info);
    ftpError = true;
    lastErrorText = ErrorText(info);
}

void TSyncCore::Ftp1LoggedIn(TObject*) {
    connected = true;
    remoteRootAbsolute_.reset(); // a new login starts where the server puts it
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
    if (!uploading)
        return;
    lastActivity_ = GetTickCount();
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
