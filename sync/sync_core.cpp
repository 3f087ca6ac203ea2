#include "sync/sync_core.h"

namespace pelmora {

TSyncCore::TSyncCore(TSyncView& view, TSyncOptions options, std::unique_ptr<TRemoteSession> remote)
    : options(std::move(options)), remote_(remote ? std::move(remote) : NewRemoteSession()),
      session(*remote_), view_(view) {
    session.OnLoggedIn = [this] { LoggedIn(); };
    session.OnFileSize = [this](const std::string& size) { view_.ShowFileSize(size); };
    session.OnProgress = [this] { ShowUploadProgress(); };
}

TSyncCore::~TSyncCore() = default;

namespace {

// Masked before it is cut short: a cut through the password would leave its start.
std::string StatusText(const TSecretMask& secrets, const std::string& text) {
    const std::string masked = secrets.Apply(text);
    return masked.size() > MaxPathLength ? masked.substr(0, MaxPathLength) : masked;
}

} // namespace

void TSyncCore::ShowStatus(const std::string& text, TLineKind kind) {
    status_ = StatusText(secrets, text);
    view_.ShowLine(kind, status_);
}

void TSyncCore::ShowPhase(TPhase phase) {
    status_ = phase.text = StatusText(secrets, phase.text);
    view_.ShowPhase(phase);
}

TPhase TSyncCore::Counted(TPhase::TKind kind, const std::string& text, const TStringList& list) {
    TPhase phase{kind, text};
    for (int i = 0; i < list.Count(); ++i) {
        if (static_cast<const TDetail*>(list.Objects(i))->kind == kindDirectory)
            ++phase.directories;
        else
            ++phase.files;
    }
    return phase;
}

void TSyncCore::Stop() {
    session.Stop();
    userStop = true;
}

void TSyncCore::ClearStatus() {
    session.ClearError();
    ShowStatus("");
    HideProgress();
    HideOverallProgress();
    Enable(TSyncAction::Update, false);
    Enable(TSyncAction::Compare, false);
}

void TSyncCore::ShowProgress() {
    view_.ShowStepBar(true);
}
void TSyncCore::HideProgress() {
    view_.ShowStepBar(false);
}
void TSyncCore::SetProgress(int percent) {
    view_.SetStepBar(percent);
}
void TSyncCore::ShowOverallProgress() {
    view_.ShowOverallBar(true);
}
void TSyncCore::HideOverallProgress() {
    view_.ShowOverallBar(false);
}
void TSyncCore::SetOverallProgress(int percent) {
    view_.SetOverallBar(percent);
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

int TSyncCore::AddEntry(TStringList& list, TTreeModel& tree, TDetail* entry, int parentNode) {
    list.Add(EntryKey(entry->dir, entry->name), entry);
    return tree.AddChild(parentNode, entry->name,
                         entry->kind == kindDirectory ? markDirectory : markFile);
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
        core_.view_.HoldActions();
}

TSyncCore::TOperationScope::~TOperationScope() {
    if (!entered_)
        return;
    core_.operation_ = outer_;
    if (outer_ == TOperation::None)
        core_.EndOperation();
}

void TSyncCore::EndOperation() {
    if (disconnectPending_) {
        disconnectPending_ = false;
        // The operation's last word says what became of it ("Directory Load Stopped");
        // the Connect caption already says that the session is over.
        const std::string said = status_;
        ClearConnection();
        if (!said.empty())
            ShowStatus(said);
    }
    view_.ReleaseActions();
}

void TSyncCore::EndSessionDuringOperation() {
    if (!OperationRunning() || disconnectPending_)
        return;
    disconnectPending_ = true;
    view_.HoldActions();
    EndComponentSession();
}

void TSyncCore::EndComponentSession() {
    session.Close();
}

} // namespace pelmora
