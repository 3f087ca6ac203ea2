#include "sync/sync_core.h"

namespace pelmora {

void TOperationButton::SetEnabled(bool enabled) {
    if (held_)
        wanted_ = enabled;
    else
        TButton::SetEnabled(enabled);
}

void TOperationButton::Hold(bool shown) {
    if (!held_) {
        wanted_ = Enabled();
        held_ = true;
    }
    TButton::SetEnabled(shown);
}

void TOperationButton::Release() {
    if (!held_)
        return;
    held_ = false;
    TButton::SetEnabled(wanted_);
}

TSyncCore::TSyncCore() {
    for (TControl* hidden :
         {static_cast<TControl*>(&ProgressBar1), static_cast<TControl*>(&Label15),
          static_cast<TControl*>(&progressLbl), static_cast<TControl*>(&ProgressBar2),
          static_cast<TControl*>(&Label27), static_cast<TControl*>(&Label35),
          static_cast<TControl*>(&Label36)})
        hidden->SetVisible(false);
    for (TButton* disabled : {&connectBtn, &compareBtn, &updateBtn, &stopLoadBtn, &changeRemoteBtn})
        disabled->SetEnabled(false);
    Memo2.SetVisible(false);
    // Connect turns into Disconnect, and back, in the middle of an operation.
    connectBtn.Subscribe([this] {
        if (connectBtn.Held())
            ShowConnectButtonHeld();
    });

    session.OnLoggedIn = [this] { LoggedIn(); };
    session.OnFileSize = [this](const std::string& size) { ShowFileSize(size); };
    session.OnProgress = [this] { ShowUploadProgress(); };
}

TSyncCore::~TSyncCore() = default;

void TSyncCore::ShowStatus(const std::string& text) {
    Panel1.SetCaption(text.size() > MaxPathLength ? text.substr(0, MaxPathLength) : text);
}

void TSyncCore::ClearStatus() {
    session.ClearError();
    ShowStatus("");
    HideProgress();
    HideOverallProgress();
    updateBtn.SetEnabled(false);
    compareBtn.SetEnabled(false);
}

void TSyncCore::ShowProgress() {
    ProgressBar1.SetVisible(true);
    Label15.SetCaption("");
    Label15.SetVisible(true);
    progressLbl.SetVisible(true);
}

void TSyncCore::HideProgress() {
    ProgressBar1.SetVisible(false);
    Label15.SetVisible(false);
    progressLbl.SetVisible(false);
}

void TSyncCore::SetProgress(int percent) {
    ProgressBar1.SetPosition(percent);
    Label15.SetCaption(std::to_string(percent) + "%");
}

void TSyncCore::ShowOverallProgress() {
    ProgressBar2.SetVisible(true);
}
void TSyncCore::HideOverallProgress() {
    ProgressBar2.SetVisible(false);
}
void TSyncCore::SetOverallProgress(int percent) {
    ProgressBar2.SetPosition(percent);
}

int TSyncCore::ProgressOf(int position, int count) {
    if (count < 2)
        return 100;
    return static_cast<int>(static_cast<long long>(position) * 100 / (count - 1));
}

void TSyncCore::FreeEntries(TStringList& list) {
    ShowProgress();
    const int count = list.Count();
    for (int i = 0; i < count; ++i) {
        delete list.Extract(i);
        SetProgress(ProgressOf(i, count));
    }
    HideProgress();
    list.Clear();
}

void TSyncCore::DebugLog(const std::string&) {}

int TSyncCore::AddEntry(TStringList& list, TTreeModel& tree, TDetail* entry, int parentNode) {
    list.Add(EntryKey(entry->dir, entry->name), entry);
    return tree.AddChild(parentNode, entry->name,
                         entry->kind == kindDirectory ? imageDirectory : imageFile);
}

namespace {

// The steps an operation runs through the handlers of others: the connect's update (as
// the after-connect options choose) and the update's refresh of the remote tree.
bool IsStepOf(TSyncCore::TOperation outer, TSyncCore::TOperation inner) {
    using Op = TSyncCore::TOperation;
    return (outer == Op::Connect && inner == Op::Update) ||
           (outer == Op::Update && inner == Op::RemoteLoad);
}

} // namespace

TSyncCore::TOperationScope::TOperationScope(TSyncCore& core, TOperation kind)
    : core_(core), outer_(core.operation_) {
    if (kind == TOperation::None)
        return;
    if (outer_ != TOperation::None && !IsStepOf(outer_, kind))
        return;
    entered_ = true;
    core_.operation_ = kind;
    if (outer_ == TOperation::None)
        core_.HoldButtons();
}

TSyncCore::TOperationScope::~TOperationScope() {
    if (!entered_)
        return;
    core_.operation_ = outer_;
    if (outer_ == TOperation::None)
        core_.EndOperation();
}

void TSyncCore::HoldButtons() {
    for (TOperationButton* b : {&compareBtn, &updateBtn, &changeRemoteBtn, &Button4})
        b->Hold(false);
    stopLoadBtn.Hold(true);
    ShowConnectButtonHeld();
}

void TSyncCore::ShowConnectButtonHeld() {
    connectBtn.Hold(connected && !disconnectPending_);
}

void TSyncCore::EndOperation() {
    if (disconnectPending_) {
        disconnectPending_ = false;
        // The operation's last word says what became of it ("Directory Load Stopped");
        // the Connect caption already says that the session is over.
        const std::string said = Panel1.Caption();
        ClearConnection();
        if (!said.empty())
            ShowStatus(said);
    }
    for (TOperationButton* b :
         {&connectBtn, &compareBtn, &updateBtn, &changeRemoteBtn, &Button4, &stopLoadBtn})
        b->Release();
}

void TSyncCore::EndSessionDuringOperation() {
    if (!OperationRunning() || disconnectPending_)
        return;
    disconnectPending_ = true;
    ShowConnectButtonHeld();
    EndComponentSession();
}

void TSyncCore::EndComponentSession() {
    // QUIT is refused while a command runs; Abort closes both connections instead.
    if (Ftp1.Status() == ftpCommandReady)
        Ftp1.Quit();
    else
        Ftp1.Abort();
}

TSyncOptions TSyncCore::Options() const {
    TSyncOptions options;
    options.localRoot = Label5.Caption();
    options.remoteRoot = Edit4.Text();
    options.mayDelete = CheckBox5.Checked();
    options.timeoutMs = static_cast<uint32_t>(timeOutSpin.Value()) * 1000u;
    return options;
}

int TSyncCore::ShowDirDialog(std::string&) {
    return 2;
}

} // namespace pelmora
