#include "app/main_form.h"

#include "app/settings_codec.h"
#include "toolkit/profile.h"
#include "toolkit/services.h"
#include "toolkit/text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <tuple>

namespace pelmora {

namespace {

// The status line while files go up, as the engine words it.
constexpr std::string_view UploadingPrefix = "Uploading files - ";

std::string UploadingText(int percent) {
    return std::string(UploadingPrefix) + std::to_string(percent) + "% complete";
}

} // namespace

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

TForm1::TForm1() {
    for (TControl* hidden : {static_cast<TControl*>(&progress.stepBar),
                             static_cast<TControl*>(&progress.stepPercentLabel),
                             static_cast<TControl*>(&progress.progressLbl),
                             static_cast<TControl*>(&progress.overallBar),
                             static_cast<TControl*>(&progress.overallLbl),
                             static_cast<TControl*>(&progress.overallFigures),
                             static_cast<TControl*>(&progress.bytesSentCaption),
                             static_cast<TControl*>(&progress.fileSizeCaption),
                             static_cast<TControl*>(&progress.fileNameCaption)})
        hidden->SetVisible(false);
    for (TButton* disabled : {&connectBtn, &compareBtn, &updateBtn, &stopBtn, &refreshBtn})
        disabled->SetEnabled(false);
    debugMemo.SetVisible(false);
    // Connect turns into Disconnect, and back, in the middle of an operation.
    connectBtn.Subscribe([this] {
        if (connectBtn.Held())
            HoldActions();
    });
    // Before any settings are read, the engine works with what the controls show.
    TakeControls();
    deleteRemoteCheck.Subscribe([this] { ShowKeptEntries(); });
    ShowSites();
}

TForm1::~TForm1() {
    FormDestroy();
}

void TForm1::FormCreate(const std::string& settingsFile) {
    // Read first: a file that cannot be read changes nothing here.
    site = ReadSiteSettings(settingsFile);
    settingsFile_ = settingsFile;
    engine.localWorkList.SetSorted(true);
    engine.remoteLoading = engine.localLoading = engine.connected = false;
    engine.session.ClearError();
    SiteToControls();
    // Only the settings file sets it (or the run without a window, after this).
    engine.options.maxDelete = site.sync.maxDelete;
    SiteToEngine();
    keyringKey_.clear();
    if (site.passwordInKeyring) {
        // A password in the file is one the keyring could not take when it was saved, or
        // one written there since (--configure): newer than the keyring's, so it is used,
        // and the next save moves it into the keyring.
        if (site.connection.password.empty() && PasswordStore && PasswordStore->Available()) {
            const std::string key = CurrentPasswordKey();
            if (const auto stored = PasswordStore->Read(key)) {
                site.connection.password = *stored;
                setup.passwordEdit.SetText(*stored);
                keyringKey_ = key;
            }
        }
        if (!PasswordStore || !PasswordStore->Available())
            KeyringMissing();
    }
    saved_ = site;
}

void TForm1::SetLocalRoot(const std::string& root) {
    site.sync.localRoot = root;
    localRootLabel.SetCaption(root);
}

void TForm1::SiteToControls() {
    const TConnectionSettings& c = site.connection;
    setup.serverEdit.SetText(c.host);
    setup.userEdit.SetText(c.user);
    setup.passwordEdit.SetText(c.password);
    setup.ftpPortSpin.SetValue(c.port);
    setup.firewallEdit.SetText(c.firewallHost);
    setup.firewallSpin.SetValue(c.firewallPort);
    setup.firewallCheck.SetChecked(c.useFirewall);
    setup.dataModeEdit.SetText(DataModeName(c.dataMode));
    setup.tlsEdit.SetText(TlsModeName(c.tlsMode));
    setup.trustedCertificateEdit.SetText(DisplayFingerprint(c.trustedCertificate));
    tlsSeen = c.tlsSeenBefore;
    const TSyncOptions& o = site.sync;
    SetLocalRoot(o.localRoot);
    remoteRootEdit.SetText(o.remoteRoot);
    deleteRemoteCheck.SetChecked(o.mayDelete);
    timeOutSpin.SetValue(static_cast<long>(o.timeoutMs / 1000));
    connectionsSpin.SetValue(o.connections);
    onConnect.loadOnConnectCheck.SetChecked(site.steps.load);
    onConnect.compareOnConnectCheck.SetChecked(site.steps.compare);
    onConnect.updateOnConnectCheck.SetChecked(site.steps.update);
    onConnect.exitWhenDoneCheck.SetChecked(site.steps.exitWhenDone);
    setup.keyringCheck.SetChecked(site.passwordInKeyring);
    const TScreenPlacement& p = site.screen;
    Geometry = {p.width, p.height, p.top, p.left, p.sizeStored};
}

void TForm1::ControlsToSite() {
    TConnectionSettings& c = site.connection;
    c.host = setup.serverEdit.Text();
    c.user = setup.userEdit.Text();
    c.password = setup.passwordEdit.Text();
    c.port = static_cast<uint16_t>(setup.ftpPortSpin.Value());
    c.firewallHost = setup.firewallEdit.Text();
    c.firewallPort = static_cast<uint16_t>(setup.firewallSpin.Value());
    c.useFirewall = setup.firewallCheck.Checked();
    // A word we do not know, or none, means auto.
    c.dataMode = ParseDataMode(setup.dataModeEdit.Text()).value_or(TDataMode::Auto);
    c.tlsMode = ParseTlsMode(setup.tlsEdit.Text()).value_or(TTlsMode::Auto);
    // Kept as --configure keeps it, whichever way it was typed or pasted; what is no
    // fingerprint stays as typed (it matches no certificate, and SaveSettings refuses it).
    // The one already stored, shown in another form, stays as the file has it.
    const std::string typed = setup.trustedCertificateEdit.Text();
    const std::string fingerprint = CompactFingerprint(typed);
    if (fingerprint.empty() || fingerprint != CompactFingerprint(c.trustedCertificate))
        c.trustedCertificate =
            fingerprint.empty() && typed.find_first_not_of(' ') != std::string::npos ? typed
                                                                                     : fingerprint;
    c.tlsSeenBefore = tlsSeen;
    c.timeoutMs = site.sync.timeoutMs = static_cast<uint32_t>(timeOutSpin.Value()) * 1000u;
    TSyncOptions& o = site.sync;
    o.remoteRoot = remoteRootEdit.Text();
    o.mayDelete = deleteRemoteCheck.Checked();
    o.connections = static_cast<int>(connectionsSpin.Value());
    // Learnt by the engine from the server since the settings were read.
    o.listingZone = engine.options.listingZone;
    o.remoteKeepsOurTimes = engine.options.remoteKeepsOurTimes;
    o.listingZoneProven = engine.options.listingZoneProven;
    site.steps = {onConnect.loadOnConnectCheck.Checked(), onConnect.compareOnConnectCheck.Checked(),
                  onConnect.updateOnConnectCheck.Checked(), onConnect.exitWhenDoneCheck.Checked()};
    site.passwordInKeyring = setup.keyringCheck.Checked();
    site.screen = {Geometry.Width, Geometry.Height, Geometry.Top, Geometry.Left,
                   Geometry.SizeStored};
}

void TForm1::SiteToEngine() {
    TSyncOptions& o = engine.options;
    o.localRoot = site.sync.localRoot;
    o.remoteRoot = site.sync.remoteRoot;
    o.mayDelete = site.sync.mayDelete;
    o.timeoutMs = site.sync.timeoutMs;
    o.connections = site.sync.connections;
    o.atomic = site.sync.atomic;
    o.listingZone = site.sync.listingZone;
    o.remoteKeepsOurTimes = site.sync.remoteKeepsOurTimes;
    o.listingZoneProven = site.sync.listingZoneProven;
}

void TForm1::TakeControls() {
    ControlsToSite();
    SiteToEngine();
}

void TSiteChoice::Set(std::vector<std::string> items, std::string current) {
    items_ = std::move(items);
    current_ = std::move(current);
    Changed();
}

namespace {

const char* const KeyringMissingText =
    "The desktop's keyring did not answer: the password stays in the settings file";

} // namespace

void TForm1::KeyringMissing() {
    if (keyringNoticeShown_)
        return;
    keyringNoticeShown_ = true;
    engine.ShowStatus(KeyringMissingText);
    SayOnSetup(KeyringMissingText);
}

void TForm1::SayOnSetup(const std::string& text) {
    setup.messageLbl.SetCaption(text);
}

std::string TForm1::CurrentPasswordKey() const {
    return PasswordKey(siteName_.empty() ? settingsFile_ : siteName_, setup.userEdit.Text(),
                       setup.serverEdit.Text());
}

void TForm1::UseSites(const TSites& sites, const std::string& current) {
    sites_ = sites;
    siteName_ = current;
    ShowSites();
}

void TForm1::UseSiteName(const std::string& siteName) {
    sites_.reset();
    siteName_ = siteName;
    ShowSites();
}

void TForm1::ShowSites() {
    std::vector<std::string> names;
    bool isDefault = true;
    if (sites_) {
        for (const TSiteInfo& site : sites_->List()) {
            names.push_back(site.Name);
            if (site.Name == siteName_)
                isDefault = site.IsDefault;
        }
    } else {
        names.push_back(siteName_);
    }
    setup.siteCombo.SetEnabled(sites_.has_value());
    setup.siteNewBtn.SetEnabled(sites_.has_value());
    setup.siteRenameBtn.SetEnabled(sites_ && !isDefault);
    setup.siteDeleteBtn.SetEnabled(sites_ && !isDefault);
    setup.siteCombo.Set(std::move(names), siteName_);
}

bool TForm1::MaySwitchSite() {
    if (!engine.OperationRunning() && !engine.connected)
        return true;
    const char* const text = "Disconnect before you switch to another site";
    engine.ShowStatus(text);
    SayOnSetup(text);
    return false;
}

void TForm1::ClearTrees() {
    engine.localTree.Clear();
    engine.remoteTree.Clear();
    engine.FreeEntries(engine.localList);
    engine.FreeEntries(engine.remoteList);
    engine.localWorkList.Clear();
}

// Loads another site's settings in place of this one's, which are saved (or deleted)
// by now: the trees of the old site mean nothing for the new one. A settings file that
// cannot be read leaves this site as it is (said why).
bool TForm1::OpenSite(const TSiteInfo& chosen) {
    const std::string previous = siteName_;
    const bool noticeShown = keyringNoticeShown_;
    siteName_ = chosen.Name;
    try {
        FormCreate(chosen.File);
    } catch (const EProfileError& e) {
        siteName_ = previous;
        ShowMessage(e.what());
        ShowSites();
        return false;
    }
    ClearTrees();
    for (TSyncAction action : {TSyncAction::Compare, TSyncAction::Update, TSyncAction::Refresh})
        EnableAction(action, false);
    ShowSites();
    SayOnSetup("");
    if (activated_ && !site.sync.localRoot.empty()) {
        const TSyncCore::TOperationScope operation(engine, TSyncCore::TOperation::LocalLoad);
        if (operation)
            engine.LoadLocalDirectory();
    }
    // Said while this site's settings were read, and overwritten by its local load since.
    if (keyringNoticeShown_ && !noticeShown)
        engine.ShowStatus(KeyringMissingText);
    return true;
}

bool TForm1::siteComboChange(const std::string& name) {
    const auto site = sites_ ? sites_->Find(name) : std::nullopt;
    if (!site || site->Name == siteName_ || !MaySwitchSite()) {
        ShowSites();
        return false;
    }
    try {
        SaveSettings();
    } catch (const EProfileError& e) {
        // Switching would lose what the user typed: this site stays.
        ShowMessage(e.what());
        ShowSites();
        return false;
    }
    return OpenSite(*site);
}

void TForm1::siteNewBtnClick() {
    if (!sites_ || !AskSiteName || !MaySwitchSite())
        return;
    std::string name;
    if (!AskSiteName("New site", name))
        return;
    std::string error;
    const auto site = sites_->Create(name, error);
    if (!site) {
        ShowMessage(error);
        return;
    }
    if (!siteComboChange(site->Name))
        ShowSites(); // the new site is listed, though this one stays chosen
}

void TForm1::siteRenameBtnClick() {
    if (!sites_ || !AskSiteName || !MaySwitchSite())
        return;
    const auto current = sites_->Find(siteName_);
    if (!current || current->IsDefault)
        return;
    std::string name = current->Name;
    if (!AskSiteName("Rename site", name))
        return;
    std::string error;
    const auto renamed = sites_->Rename(current->Name, name, error);
    if (!renamed) {
        ShowMessage(error);
        return;
    }
    siteName_ = renamed->Name;
    settingsFile_ = renamed->File;
    ShowSites();
    // Saved at once, so a password in the keyring moves to the key of the new name now,
    // not at some later save that might never come.
    try {
        SaveSettings();
    } catch (const EProfileError& e) {
        ShowMessage(e.what());
    }
}

void TForm1::siteDeleteBtnClick() {
    if (!sites_ || !MaySwitchSite())
        return;
    const auto current = sites_->Find(siteName_);
    if (!current || current->IsDefault || !ConfirmSiteDelete ||
        !ConfirmSiteDelete("Delete the site \"" + current->Name +
                           "\" and its settings? This cannot be undone."))
        return;
    std::string error;
    if (!sites_->Delete(current->Name, error)) {
        ShowMessage(error);
        return;
    }
    // Its password goes with it; a keyring that does not answer keeps it, harmlessly.
    if (!keyringKey_.empty() && PasswordStore && PasswordStore->Available())
        PasswordStore->Remove(keyringKey_);
    keyringKey_.clear();
    if (const auto fallback = sites_->Find(DefaultSiteName))
        OpenSite(*fallback);
}

bool TForm1::StartSocketLibrary() {
    return true;
}

void TForm1::FormActivate() {
    const bool started = StartSocketLibrary();
    TakeControls();
    if (!site.sync.localRoot.empty()) {
        const TSyncCore::TOperationScope operation(engine, TSyncCore::TOperation::LocalLoad);
        if (operation)
            engine.LoadLocalDirectory();
    }
    if (started)
        connectBtn.SetEnabled(true);
    else
        engine.ShowStatus("Your TCP/IP Winsock has not started");
    NotebookPage = 0;
    activated_ = true;
    // Said while the settings were read, and overwritten by the local load since.
    if (keyringNoticeShown_)
        engine.ShowStatus(KeyringMissingText);
}

void TForm1::stopBtnClick() {
    engine.Stop();
}

namespace {

// What the compare goes by for every local entry, to tell whether a new read of the disk
// found anything changed.
using TLocalSnapshot = std::vector<std::tuple<std::string, uint8_t, long long, TEntryTime>>;

TLocalSnapshot SnapshotOf(const TStringList& list) {
    TLocalSnapshot snapshot;
    snapshot.reserve(static_cast<size_t>(list.Count()));
    for (int i = 0; i < list.Count(); ++i) {
        const auto& e = *static_cast<const TDetail*>(list.Objects(i));
        snapshot.emplace_back(list.Strings(i), e.kind, e.size, e.time);
    }
    return snapshot;
}

const char* const LocalChangedText =
    "The local directory changed since the compare: compared again";

} // namespace

bool TForm1::ReadLocalForPress(bool* changed) {
    const TSyncCore::TOperationScope operation(engine, TSyncCore::TOperation::LocalLoad);
    return operation && ReadLocalAgain(changed);
}

bool TForm1::ReadLocalAgain(bool* changed) {
    if (changed)
        *changed = false;
    // Every press that works reads the disk first: the engine takes what the controls
    // say now.
    TakeControls();
    if (site.sync.localRoot.empty())
        return true; // no local directory yet: Connect says so
    const TLocalSnapshot before = SnapshotOf(engine.localList);
    const std::vector<std::string> keptBefore = engine.localScan.kept;
    if (!engine.LoadLocalDirectory())
        return false; // said why: the directory could not be entered
    if (engine.userStop) {
        // Part of the tree was read: nothing may be compared or sent on its word.
        EnableAction(TSyncAction::Update, false);
        engine.ShowStatus("Local Directory Load Stopped");
        return false;
    }
    if (changed)
        *changed = SnapshotOf(engine.localList) != before || engine.localScan.kept != keptBefore;
    return true;
}

int TForm1::KeptEntries() const {
    return KeptOnServer(engine);
}

std::string TForm1::KeptNote() const {
    return KeptNote(KeptEntries());
}

std::string TForm1::KeptNote(int kept) {
    if (kept == 0)
        return {};
    return "; " + std::to_string(kept) + (kept == 1 ? " entry" : " entries") +
           " kept on the server: deleting is off";
}

void TForm1::ShowKeptEntries() {
    const bool mayDelete = deleteRemoteCheck.Checked();
    for (int j = 0; j < engine.remoteList.Count() && j < engine.remoteTree.Count(); ++j)
        if (const uint8_t a = static_cast<const TDetail*>(engine.remoteList.Objects(j))->action;
            a == actionDelete || a == actionRemove)
            engine.remoteTree.SetStateIndex(j, mayDelete ? markDelete : markKept);
}

void TForm1::refreshBtnClick() {
    if (engine.OperationRunning() || !ReadLocalForPress())
        return;
    engine.RefreshRemote();
}

void TForm1::compareBtnClick() {
    if (engine.OperationRunning() || !ReadLocalForPress())
        return;
    engine.CompareSides();
    if (const std::string kept = KeptNote();
        !kept.empty() && !engine.userStop &&
        engine.Status() == "Files Compared. Ready for Transfer")
        engine.ShowStatus(engine.Status() + kept);
}

void TForm1::updateBtnClick() {
    if (engine.OperationRunning())
        return;
    // The disk as it is now, not as the compare saw it: an edit made since is sent, a file
    // removed since is not tried. Read again, the tree has to be compared again too.
    bool changed = false;
    if (!ReadLocalForPress(&changed))
        return;
    engine.CompareSides();
    if (engine.userStop || !engine.connected)
        return;
    const TPlan plan = engine.MakeUpdatePlan();
    if (changed) {
        Trace(LocalChangedText);
        // A plan that now deletes on the server is for the user to see first, in the
        // trees, not only as counts in a question.
        if (PlanDeletes(plan)) {
            engine.ShowStatus(
                std::string(LocalChangedText) +
                "; the new plan deletes on the server: look at it and press Update again");
            return;
        }
        engine.ShowStatus(LocalChangedText);
    }
    if (plan.steps.empty()) {
        engine.ShowStatus(std::string(changed ? LocalChangedText : "Files Compared") +
                          "; nothing to send" + KeptNote());
        return;
    }
    if (!run_.ConfirmDeletes(plan)) {
        engine.ShowStatus("Update cancelled: nothing was sent");
        return;
    }
    const std::string kept = KeptNote();
    RunAndSummarise(plan);
    const std::string notes =
        kept +
        (changed ? "; the local directory changed since the compare: compared again first" : "");
    if (!notes.empty() && engine.Status().starts_with("Remote Site Update"))
        engine.ShowStatus(engine.Status() + notes);
}

void TForm1::changeLocalBtnClick() {
    if (engine.OperationRunning())
        return;
    TakeControls();
    engine.ChangeLocal();
}

void TForm1::Close() {
    if (Closed)
        return;
    if (CloseWindow) {
        CloseWindow();
        return;
    }
    FormClose();
}

void TForm1::FormClose() {
    Closed = true;
    SaveSettings();
}

void TForm1::SaveSettings() {
    if (ReadGeometry)
        ReadGeometry();
    ControlsToSite();
    // What the file gets: the value, but for a password the keyring took and a trusted
    // certificate that is no fingerprint.
    TSiteSettings stored = site;
    // The password goes to the keyring when the user wants it there and the keyring
    // takes it; only then does the file keep none.
    if (site.passwordInKeyring) {
        const std::string key = CurrentPasswordKey();
        if (PasswordStore && PasswordStore->Available() &&
            PasswordStore->Write(key, site.connection.password)) {
            // The server or the user name changed, or the site's name: the old entry
            // would only be a stale copy of a password.
            if (!keyringKey_.empty() && keyringKey_ != key)
                PasswordStore->Remove(keyringKey_);
            keyringKey_ = key;
            stored.connection.password.clear();
        } else {
            KeyringMissing();
        }
    } else if (!keyringKey_.empty() && PasswordStore && PasswordStore->Available()) {
        // Taken back into the file: no copy stays behind in the keyring.
        if (PasswordStore->Remove(keyringKey_))
            keyringKey_.clear();
    }
    const std::string typed = setup.trustedCertificateEdit.Text();
    if (CompactFingerprint(typed).empty() && typed.find_first_not_of(' ') != std::string::npos) {
        const char* const text =
            "The setting FTP.trustedCertificate could not be saved: it must be a SHA-256 "
            "fingerprint (SHA256: and 64 hex digits). Its saved value is kept.";
        ShowMessage(text);
        SayOnSetup(text);
        stored.connection.trustedCertificate =
            ReadSiteSettings(settingsFile_).connection.trustedCertificate;
    } else {
        setup.trustedCertificateEdit.SetText(
            DisplayFingerprint(site.connection.trustedCertificate));
    }
    WriteSiteSettings(settingsFile_, stored);
    saved_ = site;
}

bool TForm1::SaveChangedSettings() {
    // A window without a settings file (a model under test) has nowhere to save.
    if (settingsFile_.empty())
        return true;
    if (ReadGeometry)
        ReadGeometry();
    ControlsToSite();
    if (site == saved_)
        return true;
    try {
        SaveSettings();
    } catch (const EProfileError& e) {
        const std::string text = std::string("The settings were not saved: ") + e.what();
        SayOnSetup(text);
        Log(text);
        return false;
    }
    return true;
}

void TForm1::FormDestroy() {
    ClearTrees();
}

void TForm1::ShowLine(TLineKind kind, const std::string& text) {
    // The plan is shown in the trees, not as lines.
    if (kind != TLineKind::Phase && kind != TLineKind::PerEntry)
        return;
    // The engine counts the files; the window's bar counts the bytes, and the status
    // line says the bar's percentage.
    if (uploads_.active && text.starts_with(UploadingPrefix) && text.ends_with("% complete")) {
        statusPanel.SetCaption(UploadingText(OverallPercent()));
        return;
    }
    statusPanel.SetCaption(text);
    // Already masked by the core: the log shows what the status line showed, without the
    // counters said once per entry.
    if (!text.empty() && kind == TLineKind::Phase)
        Log(text);
}

void TForm1::Log(const std::string& line) {
    // The local wall-clock time, as the user reads the clock beside the window.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S ", &local);
    logMemo.Add(stamp + line);
}

void TForm1::RunAndSummarise(const TPlan& plan) {
    run_.Update(plan);
    Summarise(run_.Result());
}

void TForm1::Summarise(const TRunResult& result) {
    // Every failure, with its path and the reason, where the status line shows the first.
    for (const std::string& failure : result.failures)
        Log("Failed: " + engine.secrets.Apply(failure));
    // The window's line counts the time of the update, not of the whole run.
    TRunTotals update = result.totals;
    update.start = result.updateStart;
    std::string summary = UpdateSummary(update, std::chrono::steady_clock::now());
    if (engine.userStop)
        summary = "Stopped. " + summary;
    else if (result.updateIncomplete && update.failed == 0)
        summary += "; not finished: " + engine.Status();
    summaryLbl.SetCaption(summary);
    Log(summary);
}

void TForm1::ShowStepBar(bool shown) {
    progress.stepBar.SetVisible(shown);
    if (shown)
        progress.stepPercentLabel.SetCaption("");
    progress.stepPercentLabel.SetVisible(shown);
    progress.progressLbl.SetVisible(shown);
}

void TForm1::SetStepBar(int percent) {
    // While files go up, the step bar is that of every file under way (ShowFilesUnderWay).
    if (uploads_.active)
        return;
    progress.stepBar.SetPosition(percent);
    progress.stepPercentLabel.SetCaption(std::to_string(percent) + "%");
}

void TForm1::ClearStepPercent() {
    progress.stepPercentLabel.SetCaption("");
}

void TForm1::ShowOverallBar(bool shown) {
    progress.overallBar.SetVisible(shown);
    progress.overallLbl.SetVisible(shown);
    progress.overallFigures.SetVisible(shown);
    if (!shown)
        progress.overallFigures.SetCaption("");
}

void TForm1::SetOverallBar(int percent) {
    // While files go up the bar follows the bytes, not the count of files: one large
    // file among small ones is most of the run.
    if (!uploads_.active)
        progress.overallBar.SetPosition(percent);
}

void TForm1::ShowFileFigures(bool shown) {
    for (TLabel* l : {&progress.bytesSentLabel, &progress.fileSizeLabel, &progress.stepPercentLabel,
                      &progress.fileNameLabel})
        l->SetCaption("");
    for (TLabel* l :
         {&progress.bytesSentCaption, &progress.fileSizeCaption, &progress.fileNameCaption})
        l->SetVisible(shown);
    // While files go up, the step bar is that of the files under way.
    progress.progressLbl.SetCaption(shown ? "Current file:" : "Progress:");
    uploads_ = {};
    uploads_.active = shown;
}

void TForm1::UploadsStarting(int64_t /*bytes*/) {
    // The run has counted the plan's bytes by now.
    ShowOverallFigures();
}

void TForm1::ShowCurrentFile(const std::string& name) {
    if (!uploads_.active) {
        progress.fileNameLabel.SetCaption(name);
        return;
    }
    // Each upload starts with its entry shown in the tree, then its name.
    TUploadsUnderWay::TFile file{"", name, 0};
    if (uploads_.lastEntry >= 0 && uploads_.lastEntry < engine.localList.Count())
        if (const auto* e =
                dynamic_cast<const TDetail*>(engine.localList.Objects(uploads_.lastEntry))) {
            // As the plan names it, so its end (StepFinished) finds it.
            file.path = RelativePath(e->dir, e->name);
            file.size = std::max<int64_t>(e->size, 0);
        }
    uploads_.files.push_back(std::move(file));
    ShowFilesUnderWay();
}

void TForm1::ShowBusy(bool busy) {
    SetHourglassCursor(busy);
}

// What the engine works on is opened in its tree and scrolled to: the trees fill open as
// a load goes, and follow the update.
void TForm1::ShowEntry(bool local, int index) {
    (local ? engine.localTree : engine.remoteTree).MakeVisible(index);
    if (local)
        uploads_.lastEntry = index;
}

void TForm1::ShowFileSize(const std::string& sizeText) {
    // While files go up, the sizes are those of the files under way, as the disk has them.
    if (!uploads_.active)
        progress.fileSizeLabel.SetCaption(sizeText);
}

void TForm1::ShowBytesSent(int64_t sent) {
    if (!uploads_.active) {
        progress.bytesSentLabel.SetCaption(std::to_string(sent));
        return;
    }
    // The bytes of every upload under way together, as the run counts them.
    uploads_.sent = std::max<int64_t>(sent, 0);
    ShowFilesUnderWay();
    ShowOverallFigures();
}

void TForm1::StepFinished(TStepKind kind, const std::string& path, bool /*done*/,
                          int64_t /*bytes*/) {
    if (!uploads_.active || (kind != TStepKind::Upload && kind != TStepKind::Refresh))
        return;
    auto& files = uploads_.files;
    auto it = std::find_if(files.begin(), files.end(),
                           [&path](const TUploadsUnderWay::TFile& f) { return f.path == path; });
    if (it != files.end())
        files.erase(it);
    // The next progress of the sessions still at work counts their bytes alone.
    uploads_.sent = 0;
    ShowFilesUnderWay();
    ShowOverallFigures();
}

void TForm1::ShowFilesUnderWay() {
    std::string names;
    int64_t size = 0;
    for (const TUploadsUnderWay::TFile& f : uploads_.files) {
        names += (names.empty() ? "" : ", ") + f.name;
        size += f.size;
    }
    progress.fileNameLabel.SetCaption(names);
    // Never more sent than the files hold: a session's count may still include a file
    // whose end was just told.
    const int64_t sent = std::min(uploads_.sent, size);
    progress.bytesSentLabel.SetCaption(uploads_.files.empty() ? "" : FormatBytes(sent));
    progress.fileSizeLabel.SetCaption(uploads_.files.empty() ? "" : FormatBytes(size));
    const int percent = size > 0 ? static_cast<int>(sent * 100 / size) : 0;
    progress.stepBar.SetPosition(percent);
    progress.stepPercentLabel.SetCaption(uploads_.files.empty() ? ""
                                                                : std::to_string(percent) + "%");
}

int TForm1::OverallPercent() const {
    // As ProgressLine counts it: rounded down, 100 only once everything is sent.
    const TRunTotals& t = run_.Result().totals;
    const uint64_t total = std::max(t.bytesToSend, t.bytesSent);
    return total == 0 ? 100 : static_cast<int>(t.bytesSent * 100 / total);
}

void TForm1::ShowOverallFigures() {
    if (!uploads_.active)
        return;
    const int percent = OverallPercent();
    progress.overallBar.SetPosition(percent);
    progress.overallFigures.SetCaption(
        ProgressLine(run_.Result().totals, std::chrono::steady_clock::now()));
    // The status line's words stay; its percentage is the bar's.
    if (statusPanel.Caption().starts_with(UploadingPrefix))
        statusPanel.SetCaption(UploadingText(percent));
}

TOperationButton& TForm1::ButtonOf(TSyncAction action) {
    switch (action) {
    case TSyncAction::Connect:
        return connectBtn;
    case TSyncAction::LocalChange:
        return changeLocalBtn;
    case TSyncAction::Compare:
        return compareBtn;
    case TSyncAction::Update:
        return updateBtn;
    case TSyncAction::Stop:
        return stopBtn;
    case TSyncAction::Refresh:
        break;
    }
    return refreshBtn;
}

void TForm1::EnableAction(TSyncAction action, bool enabled) {
    // A compare that found nothing to change leaves nothing to press Update for.
    if (action == TSyncAction::Update && enabled && engine.MakeUpdatePlan().steps.empty())
        enabled = false;
    ButtonOf(action).SetEnabled(enabled);
}

void TForm1::Trace(const std::string& line) {
    debugMemo.Add(line);
}

void TForm1::ShowLocalRoot(const std::string& root) {
    // The engine's own root (made absolute, or chosen by Change): the value keeps it.
    SetLocalRoot(root);
}

void TForm1::ShowDisconnected() {
    connectBtn.SetCaption("Connect");
    servTypeLbl.SetCaption("");
    sessionSecured_ = false;
    securityLbl.SetCaption("");
}

// While an operation runs, Connect, Compare, Update, Refresh and Change are held disabled
// and Stop enabled; Disconnect stays live until it has been pressed.
void TForm1::HoldActions() {
    for (TOperationButton* b : {&compareBtn, &updateBtn, &refreshBtn, &changeLocalBtn})
        b->Hold(false);
    stopBtn.Hold(true);
    connectBtn.Hold(engine.connected && !engine.DisconnectPending());
}

void TForm1::ReleaseActions() {
    for (TOperationButton* b :
         {&connectBtn, &compareBtn, &updateBtn, &refreshBtn, &changeLocalBtn, &stopBtn})
        b->Release();
}

bool TForm1::ChooseLocalDirectory(std::string& chosen) {
    return DirDialog && DirDialog(chosen) == 1;
}

} // namespace pelmora
