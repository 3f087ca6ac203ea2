#include "sync/sync_core.h"

namespace pelmora {

void TSyncCore::LoggedIn() {
    connected = true;
    rootState_.absolute.reset(); // a new login starts where the server puts it
    rootState_.atLogin = true;
    rootState_.standingIn = false;
    mdtmDistrusted_ = false; // a new session answers for itself
    ShowPhase({TPhase::TKind::Connected, "Connected"});
}

void TSyncCore::ShowUploadProgress() {
    const int64_t sent = session.BytesSent();
    const int64_t size = session.FileSize();
    View().ShowBytesSent(sent);
    SetProgress(size >= 1 ? static_cast<int>(sent * 100 / size) : 0);
    // Stop cuts the upload at this step; its percentage means nothing then.
    if (session.Stopped())
        view_.ClearStepPercent();
}

void TSyncCore::ClearConnection() {
    pool_.Close();
    rootState_.absolute.reset();
    rootState_.atLogin = false;
    rootState_.standingIn = false;
    Enable(TSyncAction::Refresh, false);
    Enable(TSyncAction::Compare, false);
    connected = false;
    FreeEntries(remoteList);
    remoteTree.Clear();
    ClearStatus();
    ShowStatus("Disconnected from Remote Site");
    view_.ShowDisconnected();
    Enable(TSyncAction::Connect, true);
    Enable(TSyncAction::Stop, false);
    remoteLoading = false;
    // The session is over: so is this run of the site.
    publish_.runLock.Release();
}

} // namespace pelmora
