#include "app/main_form.h"
#include "app/sites.h"
#include "sync/ftp_session.h"
#include <cctype>

#include "toolkit/services.h"

namespace pelmora {

void TForm1::ConnectToServer() {
    // The controls as they are now, for the session and the engine alike.
    TakeControls();
    TConnectionSettings settings = site.connection;
    settings.timeoutMs = engine.TimeoutMs();
    // A reply may repeat the password: no status shows it.
    engine.secrets.Hide(settings.password);
    engine.remoteLoading = false;
    engine.ClearStatus();
    engine.ShowStatus("Connecting to: " + settings.host);
    engine.session.BeginConnect(settings);
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

void TForm1::connectBtnClick() {
    if (engine.OperationRunning()) {
        // Disconnect is the one press besides Stop that an operation takes: it stops the
        // operation as Stop does and ends the session; the window's side of the
        // disconnect waits until the operation has unwound.
        if (engine.connected && !engine.DisconnectPending()) {
            stopBtnClick();
            engine.EndSessionDuringOperation();
        }
        return;
    }
    const TSyncCore::TOperationScope operation(engine, TSyncCore::TOperation::Connect);
    if (!operation)
        return;
    runFailed_ = false;
    failureClass_ = TExitCode::Success;
    if (engine.connected) {
        engine.session.Resume();
        engine.ClearConnection();
        engine.session.Close();
        return;
    }
    auto refuse = [this](const char* text) {
        engine.ShowStatus(text);
        runFailed_ = true;
        failureClass_ = TExitCode::Usage;
    };
    if (localRootLabel.Caption().empty())
        return refuse("Please supply a local directory before connecting");
    if (serverEdit.Text().empty())
        return refuse("Supply FTP server details under SETUP below");
    if (userEdit.Text().empty() && passwordEdit.Text().empty())
        return refuse("Please supply a username or password");

    // One run of a site at a time, from the connect to the end of the session: another
    // one would take our temporary files for leftovers, and our journal rows for its own.
    engine.options.journalFile = SiteJournalFile(settingsFile_);
    engine.options.journalPlace =
        userEdit.Text() + "@" + serverEdit.Text() + ":" + std::to_string(ftpPortSpin.Value());
    if (long holder = 0; engine.TakeRunLock(holder) == TSiteRunLock::TResult::Busy) {
        engine.ShowStatus("Another run of this site is in progress" +
                          (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()));
        runFailed_ = true;
        failureClass_ = TExitCode::Busy;
        return;
    }
    // The disk as it is now: the tree read at start or at the last press may be old.
    // The run without a window read it moments ago, at its start.
    if (!headlessPress_ && !ReadLocalAgain()) {
        engine.ReleaseRunLock();
        runFailed_ = true;
        failureClass_ = TExitCode::LocalMissing;
        return;
    }
    // A Stop belongs to the operation it stopped, not to the next session.
    engine.session.Resume();
    engine.userStop = false;
    ConnectToServer();
    connectBtn.SetEnabled(false);
    if (!(engine.session.WaitForLogin() && engine.connected) && !RetryWithTrustedCertificate()) {
        engine.ReleaseRunLock();
        runFailed_ = true;
        failureClass_ = TExitCode::ConnectFailed;
        const std::string reply = ReplyIn(engine.session.LastErrorText());
        if (engine.session.LoginRefused() && reply.starts_with('4')) {
            // 4xx is "not now" (too many users, shutting down), not a wrong password:
            // saying the password is wrong would send the user to change a good one.
            engine.ShowStatus("The server refused the login for now: " + reply);
        } else if (engine.session.LoginRefused()) {
            engine.ShowStatus("Access Denied. Incorrect username or password");
        } else {
            engine.ShowStatus(engine.session.LastErrorText().empty()
                                  ? std::string("Could not connect to remote site")
                                  : engine.session.LastErrorText());
            // A login still under way (stopped, or out of time) is refused a QUIT.
            engine.EndComponentSession();
        }
        connectBtn.SetEnabled(true);
        return;
    }
    RememberTls();
    ShowServerType();
    connectBtn.SetCaption("Disconnect");
    connectBtn.SetEnabled(true);
    refreshBtn.SetEnabled(true);
    AfterConnect();
}

void TForm1::RememberTls() {
    // Kept as the listing zone is: the next run of this site, headless or not, refuses a
    // session in clear under auto.
    if (tlsSeen || !engine.session.Traits().secured)
        return;
    tlsSeen = true;
    engine.settingsChanged = true;
    engine.ShowStatus("TLS worked with this site: from now on it is not reached without encryption "
                      "(FTP.tlsSeen)");
}

bool TForm1::RetryWithTrustedCertificate() {
    // Only an FTP session can refuse a certificate.
    const auto* ftp = dynamic_cast<const TFtpSession*>(&engine.session);
    if (!TrustCertificate || engine.userStop || !ftp || !ftp->CertificateRefusal())
        return false;
    // The refused session is over before the question: the server must not wait on it.
    const TCertificateRefusal refusal = *ftp->CertificateRefusal();
    const std::string refused = engine.session.LastErrorText();
    engine.EndComponentSession();
    engine.ShowStatus(refused);
    if (!TrustCertificate(refusal) || engine.userStop) {
        engine.session.SetLastErrorText(refused);
        return false;
    }
    // Stored at once, not only at the next save: the user has decided about this server,
    // and a run without the window must find the same answer.
    const std::string trusted = CompactFingerprint(refusal.certificate.fingerprint);
    trustedCertificateEdit.SetText(trusted);
    std::string error;
    if (!settingsFile_.empty() &&
        !ConfigureSettings(settingsFile_, {"FTP.trustedCertificate=" + trusted}, error))
        ShowMessage("The trusted certificate could not be saved: " + error);
    engine.session.SetLastErrorText("");
    ConnectToServer();
    return engine.session.WaitForLogin() && engine.connected;
}

void TForm1::ShowDryRunPlan() {
    engine.ShowStatus("Plan (dry run, nothing is changed on the server)");
    const TPlan plan = engine.MakeUpdatePlan();
    if (PlanLine) {
        if (const std::string root = engine.RemoteRootPlanLine(); !root.empty())
            PlanLine(root);
        for (const std::string& line : PlanLines(plan))
            PlanLine(line);
        for (const std::string& kept : plan.kept)
            PlanLine(kept);
    }
    if (DryRunTotals) {
        TRunTotals would;
        for (const TPlanStep& step : plan.steps) {
            std::int64_t bytes = 0;
            if (step.kind == TStepKind::Upload || step.kind == TStepKind::Refresh)
                if (const auto* e =
                        dynamic_cast<const TDetail*>(engine.localList.Objects(step.index)))
                    bytes = e->size;
            CountStep(would, step.kind, true, bytes);
        }
        // Our temporary files left on the server count as deletions wherever those count.
        would.deleted += static_cast<int>(plan.leftovers.size());
        would.bytesToSend = would.bytesDone;
        DryRunTotals(would);
    }
    // What the update would be refused, said now rather than found out by the real run.
    std::string why;
    if (!engine.DeletionAllowed(&why) && !why.empty())
        engine.ShowStatus(why);
    else if (const std::string cap = engine.DeleteCapRefusalFor(plan); !cap.empty())
        engine.ShowStatus(cap);
}

void TForm1::ShowServerType() {
    servTypeLbl.SetCaption(engine.session.Traits().systemType);
}

void TForm1::AfterConnect() {
    // The "after connect" options are the window's: the run without a window always
    // loads, compares and updates (its dry run only looks), or cron would never publish.
    const bool load = loadOnConnectCheck.Checked() || DryRun || headlessPress_;
    const bool compare = compareOnConnectCheck.Checked() || DryRun || headlessPress_;
    const bool update = updateOnConnectCheck.Checked() || headlessPress_;
    if (!load) {
        engine.ShowStatus("Connected - ready");
    } else {
        engine.ShowStatus("Connected. Loading Remote Directory");
        stopBtn.SetEnabled(true);
        if (!engine.LoadRemoteDirectory()) {
            // A load that failed has said what failed: the path and the server's reply.
            if (engine.userStop)
                engine.ShowStatus("Directory Load Stopped");
            stopBtn.SetEnabled(false);
            runFailed_ = true;
            return;
        }
        if (engine.remoteLoadComplete) {
            engine.ShowStatus("Remote Directory Loaded");
        } else {
            // Directories that could not be read leave the server's state unknown there.
            engine.ShowStatus("Remote Directory Loaded; " +
                              std::to_string(engine.remoteUnlisted.size()) +
                              " directories could not be read");
            runFailed_ = true;
        }
        if (compare) {
            engine.AnalyseLists();
            stopBtn.SetEnabled(false);
            if (engine.userStop) {
                engine.HideProgress();
                runFailed_ = true;
                return;
            }
            runFailed_ = runFailed_ || !engine.conflicts.empty();
            // The window says what deleting being off keeps; the run without a window
            // prints its own lines.
            const std::string kept = headlessPress_ ? std::string() : KeptNote();
            if (DryRun) {
                ShowDryRunPlan();
            } else if (update) {
                // One plan, printed and then carried out.
                engine.ShowStatus("Updating remote FTP");
                const TPlan plan = engine.MakeUpdatePlan();
                if (PlanLine) {
                    if (const std::string root = engine.RemoteRootPlanLine(); !root.empty())
                        PlanLine(root);
                    for (const std::string& line : PlanLines(plan))
                        PlanLine(line);
                }
                RunAndSummarise(plan); // a step of this connect, not a press
                runFailed_ = runFailed_ || engine.updateFailed;
                if (!kept.empty() && engine.Status().starts_with("Remote Site Update"))
                    engine.ShowStatus(engine.Status() + kept);
            } else if (!kept.empty() && engine.Status() == "Files Compared. Ready for Transfer") {
                engine.ShowStatus(engine.Status() + kept);
            }
        }
    }
    if (exitWhenDoneCheck.Checked()) {
        engine.session.Close();
        Close();
    }
}

} // namespace pelmora
