#include "sync/sync_core.h"

namespace pelmora {

void TSyncCore::LoggedIn() {
    connected = true;
    remoteRootAbsolute_.reset(); // a new login starts where the server puts it
    remoteAtLogin_ = true;
    remoteAtRoot_ = false;
    ShowStatus("Connected");
}

void TSyncCore::ShowFileSize(const std::string& sizeText) {
    Label13.SetCaption(sizeText);
}

void TSyncCore::ShowUploadProgress() {
    const int64_t sent = session.bytesSent;
    const int64_t size = session.fileSize;
    Label9.SetCaption(std::to_string(sent));
    SetProgress(size >= 1 ? static_cast<int>(sent * 100 / size) : 0);
    // Stop cuts the upload at this step; its percentage means nothing then.
    if (session.Stopped())
        Label15.SetCaption("");
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

} // namespace pelmora
