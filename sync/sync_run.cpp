#include "sync/sync_run.h"

#include "sync/sync_core.h"

#include <algorithm>
#include <cctype>

namespace pelmora {

void CountStep(TRunTotals& t, TStepKind kind, bool done, std::int64_t bytes) {
    if (!done)
        return;
    switch (kind) {
    case TStepKind::Delete:
    case TStepKind::Remove:
        ++t.deleted;
        break;
    case TStepKind::Create:
        ++t.created;
        break;
    case TStepKind::Upload:
        ++t.uploaded;
        break;
    case TStepKind::Refresh:
        ++t.refreshed;
        break;
    }
    t.bytesDone += static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0));
    t.bytesSent = t.bytesDone;
}

std::string PlanCounts(const TPlan& plan) {
    int upload = 0, refresh = 0, create = 0, remove = 0;
    for (const TPlanStep& step : plan.steps)
        switch (step.kind) {
        case TStepKind::Upload:
            ++upload;
            break;
        case TStepKind::Refresh:
            ++refresh;
            break;
        case TStepKind::Create:
            ++create;
            break;
        case TStepKind::Delete:
        case TStepKind::Remove:
            ++remove;
            break;
        }
    return "Upload " + std::to_string(upload) + ", refresh " + std::to_string(refresh) +
           ", create " + std::to_string(create) + ", delete " + std::to_string(remove);
}

bool PlanDeletes(const TPlan& plan) {
    return std::any_of(plan.steps.begin(), plan.steps.end(), [](const TPlanStep& s) {
        return s.kind == TStepKind::Delete || s.kind == TStepKind::Remove;
    });
}

// Stands between the engine's View() and the view while the run lasts: counts what the
// update reports into the run's totals, and passes everything on.
struct TSyncRun::TTally final : TSyncView {
    TTally(TSyncView& to, TRunTotals& totals) : view(to), totals(totals) {}
    TSyncView& view;
    TRunTotals& totals;

    void UploadsStarting(int64_t bytes) override {
        totals.bytesToSend = static_cast<uint64_t>(std::max<int64_t>(bytes, 0));
        totals.uploadStart = std::chrono::steady_clock::now();
        view.UploadsStarting(bytes);
    }
    void ShowBytesSent(int64_t sent) override {
        totals.bytesSent = totals.bytesDone + static_cast<uint64_t>(std::max<int64_t>(sent, 0));
        view.ShowBytesSent(sent);
    }
    void StepFinished(TStepKind kind, const std::string& path, bool done, int64_t bytes) override {
        CountStep(totals, kind, done, bytes);
        view.StepFinished(kind, path, done, bytes);
    }
    // Everything else as it is.
    void ShowStatusText(const std::string& t) override { view.ShowStatusText(t); }
    void ShowLine(TLineKind kind, const std::string& t) override { view.ShowLine(kind, t); }
    void ShowPhase(const TPhase& phase) override { view.ShowPhase(phase); }
    void ShowPlan(const TPlanListing& plan) override { view.ShowPlan(plan); }
    void ShowStepBar(bool shown) override { view.ShowStepBar(shown); }
    void SetStepBar(int percent) override { view.SetStepBar(percent); }
    void ClearStepPercent() override { view.ClearStepPercent(); }
    void ShowOverallBar(bool shown) override { view.ShowOverallBar(shown); }
    void SetOverallBar(int percent) override { view.SetOverallBar(percent); }
    void ShowFileFigures(bool shown) override { view.ShowFileFigures(shown); }
    void ShowCurrentFile(const std::string& name) override { view.ShowCurrentFile(name); }
    void ShowBusy(bool busy) override { view.ShowBusy(busy); }
    void ShowEntry(bool local, int index) override { view.ShowEntry(local, index); }
    void ShowFileSize(const std::string& size) override { view.ShowFileSize(size); }
    void EnableAction(TSyncAction a, bool enabled) override { view.EnableAction(a, enabled); }
    void Trace(const std::string& line) override { view.Trace(line); }
    void ShowLocalRoot(const std::string& root) override { view.ShowLocalRoot(root); }
    void ShowDisconnected() override { view.ShowDisconnected(); }
    void HoldActions() override { view.HoldActions(); }
    void ReleaseActions() override { view.ReleaseActions(); }
    bool ChooseLocalDirectory(std::string& chosen) override {
        return view.ChooseLocalDirectory(chosen);
    }
    void ShowConnected(const std::string& type) override { view.ShowConnected(type); }
    bool Attended() const override { return view.Attended(); }
    bool TrustServerCertificate(const TServerCertificate& c) override {
        return view.TrustServerCertificate(c);
    }
    bool TrustHostKey(const TServerHostKey& k) override { return view.TrustHostKey(k); }
    bool ConfirmPlanDeletes(const std::string& counts,
                            const std::vector<std::string>& lines) override {
        return view.ConfirmPlanDeletes(counts, lines);
    }
};

TSyncRun::TSyncRun(TSyncCore& engine)
    : engine_(engine), tally_(std::make_unique<TTally>(engine.View(), result_.totals)) {}

TSyncRun::~TSyncRun() = default;

TRunResult TSyncRun::Run(const TConnectionSettings& connection, const TSyncSteps& steps) {
    result_ = {};
    result_.totals.start = std::chrono::steady_clock::now();
    failed_ = false;
    connection_ = connection;
    steps_ = steps;
    if (!CheckSettings())
        return Finish(TRunOutcome::Settings);
    if (!TakeSite())
        return Finish(TRunOutcome::Busy);
    // The disk as it is now: a tree read at start or at the last press may be old.
    if (steps_.readLocal && !ReadLocal()) {
        engine_.ReleaseRunLock();
        return Finish(TRunOutcome::LocalDirectory);
    }
    // A Stop belongs to the operation it stopped, not to the next session.
    engine_.session.Resume();
    engine_.userStop = false;
    if (!Connect())
        return Finish(TRunOutcome::Connection);
    AfterConnect();
    return Finish();
}

bool TSyncRun::CheckSettings() {
    const char* refusal = nullptr;
    if (engine_.options.localRoot.empty())
        refusal = "Please supply a local directory before connecting";
    else if (connection_.host.empty())
        refusal = "Supply FTP server details under SETUP below";
    else if (connection_.user.empty() && connection_.password.empty())
        refusal = "Please supply a username or password";
    if (refusal)
        engine_.ShowStatus(refusal);
    return refusal == nullptr;
}

// One run of a site at a time, from the connect to the end of the session: another one
// would take our temporary files for leftovers, and our journal rows for its own.
bool TSyncRun::TakeSite() {
    engine_.options.journalPlace =
        connection_.user + "@" + connection_.host + ":" + std::to_string(connection_.port);
    long holder = 0;
    if (engine_.TakeRunLock(holder) != TSiteRunLock::TResult::Busy)
        return true;
    engine_.ShowStatus("Another run of this site is in progress" +
                       (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()));
    return false;
}

bool TSyncRun::ReadLocal(bool wholeRoot) {
    if (engine_.options.localRoot.empty())
        return true; // no local directory yet: the run's check says so
    if (!engine_.LoadLocalDirectory())
        return false; // said why: the directory could not be entered
    if (engine_.userStop) {
        // Part of the tree was read: nothing may be compared or sent on its word.
        engine_.View().EnableAction(TSyncAction::Update, false);
        engine_.ShowStatus("Local Directory Load Stopped");
        return false;
    }
    // A root that could not be listed is as good as missing: nothing of the disk is known.
    return !wholeRoot || engine_.localScan.rootReadable;
}

namespace {

// The server's reply line at the end of an error text ("what it means: 421 ..."), or "".
std::string ReplyIn(const std::string& text) {
    for (size_t at = 0; at + 3 <= text.size(); ++at) {
        const bool starts = at == 0 || (at >= 2 && text.compare(at - 2, 2, ": ") == 0);
        if (starts && std::isdigit(static_cast<unsigned char>(text[at])) &&
            std::isdigit(static_cast<unsigned char>(text[at + 1])) &&
            std::isdigit(static_cast<unsigned char>(text[at + 2])))
            return text.substr(at);
    }
    return {};
}

} // namespace

bool TSyncRun::Connect() {
    Redial();
    if (!WaitConnected() && !RetryWithTrustedCertificate() && !RetryWithTrustedHostKey()) {
        engine_.ReleaseRunLock();
        SayConnectFailure();
        return false;
    }
    RememberTls();
    engine_.View().ShowConnected(engine_.session.Traits().systemType);
    return true;
}

bool TSyncRun::WaitConnected() {
    return engine_.session.WaitForLogin() && engine_.connected;
}

void TSyncRun::SayConnectFailure() {
    const std::string reply = ReplyIn(engine_.session.LastErrorText());
    if (engine_.session.LoginRefused() && reply.starts_with('4')) {
        // 4xx is "not now" (too many users, shutting down), not a wrong password: saying
        // the password is wrong would send the user to change a good one.
        engine_.ShowStatus("The server refused the login for now: " + reply);
    } else if (engine_.session.LoginRefused() &&
               engine_.session.Settings().protocol == TProtocol::Ftp) {
        engine_.ShowStatus("Access Denied. Incorrect username or password");
    } else if (engine_.session.LoginRefused()) {
        // SSH logins have several ways: the words say which the server offers and which
        // were tried.
        engine_.ShowStatus(engine_.session.LastErrorText());
    } else {
        engine_.ShowStatus(engine_.session.LastErrorText().empty()
                               ? std::string("Could not connect to remote site")
                               : engine_.session.LastErrorText());
        // A login still under way (stopped, or out of time) is refused a QUIT.
        engine_.EndComponentSession();
    }
}

bool TSyncRun::RetryWithTrustedCertificate() {
    const std::optional<TServerCertificate> refused = engine_.session.RefusedCertificate();
    if (!engine_.View().Attended() || engine_.userStop || !refused)
        return false;
    // The refused session is over before the question: the server must not wait on it.
    const TServerCertificate question = *refused;
    const std::string error = engine_.session.LastErrorText();
    engine_.EndComponentSession();
    engine_.ShowStatus(error);
    if (!engine_.View().TrustServerCertificate(question) || engine_.userStop) {
        engine_.session.SetLastErrorText(error);
        return false;
    }
    connection_.trustedCertificate = CompactFingerprint(question.certificate.fingerprint);
    result_.trustedCertificate = connection_.trustedCertificate;
    engine_.session.SetLastErrorText("");
    Redial();
    return WaitConnected();
}

bool TSyncRun::RetryWithTrustedHostKey() {
    const std::optional<TServerHostKey> refused = engine_.session.RefusedHostKey();
    if (!engine_.View().Attended() || engine_.userStop || !refused || refused->changed)
        return false;
    const TServerHostKey question = *refused;
    const std::string error = engine_.session.LastErrorText();
    engine_.EndComponentSession();
    engine_.ShowStatus(error);
    if (!engine_.View().TrustHostKey(question) || engine_.userStop) {
        engine_.session.SetLastErrorText(error);
        return false;
    }
    // The view that said yes keeps the key for the site (SFTP.hostKey), as it keeps a
    // trusted certificate.
    connection_.sftpHostKey = question.fingerprint;
    engine_.session.SetLastErrorText("");
    Redial();
    return WaitConnected();
}

void TSyncRun::RememberTls() {
    // Kept as the listing zone is: the next run of this site, headless or not, refuses a
    // session in clear under auto.
    // SSH is always encrypted: there is nothing to learn, and the FTP key is not touched.
    if (connection_.protocol != TProtocol::Ftp || connection_.tlsSeenBefore ||
        !engine_.session.Traits().secured)
        return;
    connection_.tlsSeenBefore = true;
    result_.tlsLearnt = true;
    engine_.settingsChanged = true;
    engine_.ShowStatus("TLS worked with this site: from now on it is not reached without "
                       "encryption (FTP.tlsSeen)");
}

void TSyncRun::Dial(const TConnectionSettings& connection) {
    connection_ = connection;
    Redial();
}

// The session's FTP side, in one place: what the run sets on the component and asks it.
void TSyncRun::Redial() {
    connection_.timeoutMs = engine_.TimeoutMs();
    // A reply may repeat the password: no status shows it.
    engine_.secrets.Hide(connection_.password);
    engine_.remoteLoading = false;
    engine_.ClearStatus();
    TPhase connecting{TPhase::TKind::Connecting, "Connecting to: " + connection_.host};
    connecting.place = connection_.host;
    connecting.port = connection_.port;
    engine_.ShowPhase(connecting);
    engine_.session.BeginConnect(connection_);
}

void TSyncRun::Quit() {
    engine_.session.Close();
}

std::vector<std::pair<std::string, std::string>> TSyncRun::ConnectionFacts() const {
    return engine_.session.ConnectionFacts();
}

int KeptOnServer(const TSyncCore& engine) {
    if (engine.options.mayDelete)
        return 0;
    int kept = 0;
    for (int j = 0; j < engine.remoteList.Count(); ++j)
        if (const uint8_t a = static_cast<const TDetail*>(engine.remoteList.Objects(j))->action;
            a == actionDelete || a == actionRemove)
            ++kept;
    return kept;
}

void TSyncRun::AfterConnect() {
    // The dry run loads and compares whatever the steps say; it never updates.
    const bool load = steps_.load || steps_.dryRun;
    const bool compare = steps_.compare || steps_.dryRun;
    // The walk's extra sessions serve the update that follows it, rather than logging in
    // twice; whatever the update leaves open goes at the end.
    struct TWalkSessions {
        TSyncCore& engine;
        ~TWalkSessions() {
            engine.keepWalkSessions = false;
            engine.Pool().Close();
        }
    } walkSessions{engine_};
    engine_.keepWalkSessions = load && compare && steps_.update && !steps_.dryRun;
    if (!load) {
        engine_.ShowStatus("Connected - ready");
        return;
    }
    if (!LoadRemote() || !compare)
        return;
    Compare();
    if (engine_.userStop)
        return;
    // What the compare keeps on the server, before an update changes the lists.
    result_.keptOnServer = KeptOnServer(engine_);
    result_.kept = engine_.MakeUpdatePlan().kept;
    if (steps_.dryRun) {
        PlanDryRun();
    } else if (steps_.update) {
        // One plan, said and then carried out.
        engine_.ShowPhase({TPhase::TKind::Updating, "Updating remote FTP"});
        const TPlan plan = engine_.MakeUpdatePlan();
        SayPlan(plan, false);
        Update(plan);
        failed_ = failed_ || engine_.updateFailed;
    }
}

bool TSyncRun::LoadRemote() {
    engine_.ShowPhase({TPhase::TKind::LoadingRemote, "Connected. Loading Remote Directory"});
    engine_.View().EnableAction(TSyncAction::Stop, true);
    if (!engine_.LoadRemoteDirectory()) {
        // A load that failed has said what failed: the path and the server's reply.
        if (engine_.userStop)
            engine_.ShowStatus("Directory Load Stopped");
        engine_.View().EnableAction(TSyncAction::Stop, false);
        failed_ = true;
        return false;
    }
    if (engine_.remoteLoad.complete) {
        engine_.SayRemoteLoaded("Remote Directory Loaded", false);
    } else {
        // Directories that could not be read leave the server's state unknown there.
        engine_.SayRemoteLoaded("Remote Directory Loaded; " +
                                    std::to_string(engine_.remoteLoad.unlisted.size()) +
                                    " directories could not be read",
                                false);
        failed_ = true;
    }
    return true;
}

void TSyncRun::Compare() {
    engine_.AnalyseLists();
    engine_.View().EnableAction(TSyncAction::Stop, false);
    if (engine_.userStop) {
        engine_.HideProgress();
        failed_ = true;
        return;
    }
    failed_ = failed_ || !engine_.conflicts.empty();
}

void TSyncRun::SayPlan(const TPlan& plan, bool dryRun) {
    TPlanListing listing = ListingOf(plan, engine_.localList, engine_.remoteList);
    listing.rootLine = engine_.RemoteRootPlanLine();
    // The dry run says what its update would keep, since no update will.
    if (dryRun)
        listing.kept = plan.kept;
    listing.dryRun = dryRun;
    engine_.View().ShowPlan(listing);
}

void TSyncRun::PlanDryRun() {
    engine_.ShowStatus("Plan (dry run, nothing is changed on the server)");
    const TPlan plan = engine_.MakeUpdatePlan();
    SayPlan(plan, true);
    TRunTotals would;
    for (const TPlanStep& step : plan.steps) {
        std::int64_t bytes = 0;
        if (step.kind == TStepKind::Upload || step.kind == TStepKind::Refresh)
            if (const auto* e = dynamic_cast<const TDetail*>(engine_.localList.Objects(step.index)))
                bytes = e->size;
        CountStep(would, step.kind, true, bytes);
    }
    // Our temporary files left on the server count as deletions wherever those count.
    would.deleted += static_cast<int>(plan.leftovers.size());
    would.bytesToSend = would.bytesDone;
    would.start = result_.totals.start;
    result_.totals = would;
    result_.planned = true;
    // What the update would be refused, said now rather than found out by the real run.
    std::string why;
    if (!engine_.DeletionAllowed(&why) && !why.empty())
        engine_.ShowStatus(why);
    else if (const std::string cap = engine_.DeleteCapRefusalFor(plan); !cap.empty())
        engine_.ShowStatus(cap);
}

void TSyncRun::Update(const TPlan& plan) {
    const TSteadyTime start = result_.totals.start;
    result_.totals = {};
    result_.totals.start = start;
    result_.updated = true;
    result_.updateStart = std::chrono::steady_clock::now();
    engine_.TapView(tally_.get());
    engine_.RunUpdate(plan);
    engine_.TapView(nullptr);
    result_.updateIncomplete = engine_.updateFailed;
    result_.failures = engine_.updateFailures;
    result_.totals.failed = static_cast<int>(result_.failures.size());
    result_.deleteRefusal = engine_.deleteRefusal;
}

bool TSyncRun::ConfirmDeletes(const TPlan& plan) {
    TSyncView& view = engine_.View();
    if (!view.Attended() || !PlanDeletes(plan))
        return true;
    return view.ConfirmPlanDeletes(PlanCounts(plan), PlanLines(plan));
}

TRunResult& TSyncRun::Finish(TRunOutcome outcome) {
    failed_ = true;
    result_.outcome = outcome;
    result_.failures = engine_.Problems();
    result_.lastStatus = engine_.Status();
    return result_;
}

TRunResult& TSyncRun::Finish() {
    result_.failures = engine_.Problems();
    result_.deleteRefusal = engine_.deleteRefusal;
    result_.lastStatus = engine_.Status();
    if (!failed_)
        result_.outcome = TRunOutcome::Success;
    else if (engine_.userStop)
        result_.outcome = TRunOutcome::Stopped;
    else if (!engine_.deleteRefusal.empty())
        result_.outcome = TRunOutcome::SafetyRefused;
    else
        result_.outcome = TRunOutcome::SomeFailed;
    return result_;
}

} // namespace pelmora
