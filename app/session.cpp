#include "app/main_form.h"
#include "app/sites.h"
#include <cctype>

#include "toolkit/services.h"

namespace pelmora {

void TForm1::ConnectToServer() {
    TConnectionSettings settings;
    settings.host = Edit1.Text();
    settings.port = static_cast<uint16_t>(ftpPortSpin.Value());
    settings.user = Edit2.Text();
    settings.password = Edit3.Text();
    settings.useFirewall = firewallCheck.Checked();
    settings.firewallHost = fireWallEdit.Text();
    settings.firewallPort = static_cast<uint16_t>(firewallSpin.Value());
    settings.dataMode = ParseDataMode(dataModeEdit.Text()).value_or(TDataMode::Auto);
    settings.tlsMode = ParseTlsMode(tlsEdit.Text()).value_or(TTlsMode::Auto);
    settings.trustedCertificate = trustedCertificateEdit.Text();
    settings.tlsSeenBefore = tlsSeen;
    // A reply may repeat the password: no status shows it.
    secrets.Hide(settings.password);
    remoteLoading = false;
    ClearStatus();
    ShowStatus("Connecting to: " + Edit1.Text());
    Ftp1.Connect(settings);
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

void TForm1::connectButtonClick() {
    if (OperationRunning()) {
        // Disconnect is the one press besides Stop that an operation takes: it stops the
        // operation as Stop does and ends the session; the window's side of the
        // disconnect waits until the operation has unwound.
        if (connected && !DisconnectPending()) {
            Button5Click();
            EndSessionDuringOperation();
        }
        return;
    }
    const TOperationScope operation(*this, TOperation::Connect);
    if (!operation)
        return;
    runFailed_ = false;
    failureClass_ = TExitCode::Success;
    if (connected) {
        session.Resume();
        ClearConnection();
        Ftp1.Quit();
        return;
    }
    auto refuse = [this](const char* text) {
        ShowStatus(text);
        runFailed_ = true;
        failureClass_ = TExitCode::Usage;
    };
    if (Label5.Caption().empty())
        return refuse("Please supply a local directory before connecting");
    if (Edit1.Text().empty())
        return refuse("Supply FTP server details under SETUP below");
    if (Edit2.Text().empty() && Edit3.Text().empty())
        return refuse("Please supply a username or password");

    // One run of a site at a time, from the connect to the end of the session: another
    // one would take our temporary files for leftovers, and our journal rows for its own.
    options.journalFile = SiteJournalFile(settingsFile_);
    options.journalPlace =
        Edit2.Text() + "@" + Edit1.Text() + ":" + std::to_string(ftpPortSpin.Value());
    if (long holder = 0; TakeRunLock(holder) == TSiteRunLock::TResult::Busy) {
        ShowStatus("Another run of this site is in progress" +
                   (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()));
        runFailed_ = true;
        failureClass_ = TExitCode::Busy;
        return;
    }
    // The disk as it is now: the tree read at start or at the last press may be old.
    // The run without a window read it moments ago, at its start.
    if (!headlessPress_ && !ReadLocalAgain()) {
        ReleaseRunLock();
        runFailed_ = true;
        failureClass_ = TExitCode::LocalMissing;
        return;
    }
    // A Stop belongs to the operation it stopped, not to the next session.
    session.Resume();
    userStop = false;
    ConnectToServer();
    connectBtn.SetEnabled(false);
    if (!(session.WaitFor(connected, TimeoutMs()) && connected) && !RetryWithTrustedCertificate()) {
        ReleaseRunLock();
        runFailed_ = true;
        failureClass_ = TExitCode::ConnectFailed;
        const std::string reply = ReplyIn(session.lastErrorText);
        if (session.lastErrorCode == ftpAccessDenied && reply.starts_with('4')) {
            // 4xx is "not now" (too many users, shutting down), not a wrong password:
            // saying the password is wrong would send the user to change a good one.
            ShowStatus("The server refused the login for now: " + reply);
        } else if (session.lastErrorCode == ftpAccessDenied) {
            ShowStatus("Access Denied. Incorrect username or password");
        } else {
            ShowStatus(session.lastErrorText.empty()
                           ? std::string("Could not connect to remote site")
                           : session.lastErrorText);
            // A login still under way (stopped, or out of time) is refused a QUIT.
            EndComponentSession();
        }
        connectBtn.SetEnabled(true);
        return;
    }
    RememberTls();
    ShowServerType();
    connectBtn.SetCaption("Disconnect");
    connectBtn.SetEnabled(true);
    changeRemoteBtn.SetEnabled(true);
    AfterConnect();
}

void TForm1::RememberTls() {
    // Kept as the listing zone is: the next run of this site, headless or not, refuses a
    // session in clear under auto.
    if (tlsSeen || !Ftp1.Traits().controlSecured)
        return;
    tlsSeen = true;
    settingsChanged = true;
    ShowStatus("TLS worked with this site: from now on it is not reached without encryption "
               "(FTP.tlsSeen)");
}

bool TForm1::RetryWithTrustedCertificate() {
    if (!TrustCertificate || userStop || !Ftp1.CertificateRefusal())
        return false;
    // The refused session is over before the question: the server must not wait on it.
    const TCertificateRefusal refusal = *Ftp1.CertificateRefusal();
    const std::string refused = session.lastErrorText;
    EndComponentSession();
    ShowStatus(refused);
    if (!TrustCertificate(refusal) || userStop) {
        session.lastErrorText = refused;
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
    session.lastErrorText.clear();
    ConnectToServer();
    return session.WaitFor(connected, TimeoutMs()) && connected;
}

void TForm1::ShowDryRunPlan() {
    ShowStatus("Plan (dry run, nothing is changed on the server)");
    const TPlan plan = MakeUpdatePlan();
    if (PlanLine) {
        if (const std::string root = RemoteRootPlanLine(); !root.empty())
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
                if (const auto* e = dynamic_cast<const TDetail*>(localList.Objects(step.index)))
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
    if (!DeletionAllowed(&why) && !why.empty())
        ShowStatus(why);
    else if (const std::string cap = DeleteCapRefusalFor(plan); !cap.empty())
        ShowStatus(cap);
}

void TForm1::ShowServerType() {
    servTypeLbl.SetCaption(Ftp1.Traits().systemType);
}

void TForm1::AfterConnect() {
    // The "after connect" options are the window's: the run without a window always
    // loads, compares and updates (its dry run only looks), or cron would never publish.
    const bool load = CheckBox2.Checked() || DryRun || headlessPress_;
    const bool compare = CheckBox1.Checked() || DryRun || headlessPress_;
    const bool update = CheckBox3.Checked() || headlessPress_;
    if (!load) {
        ShowStatus("Connected - ready");
    } else {
        ShowStatus("Connected. Loading Remote Directory");
        stopLoadBtn.SetEnabled(true);
        if (!LoadRemoteDirectory()) {
            // A load that failed has said what failed: the path and the server's reply.
            if (userStop)
                ShowStatus("Directory Load Stopped");
            stopLoadBtn.SetEnabled(false);
            runFailed_ = true;
            return;
        }
        if (remoteLoadComplete) {
            ShowStatus("Remote Directory Loaded");
        } else {
            // Directories that could not be read leave the server's state unknown there.
            ShowStatus("Remote Directory Loaded; " + std::to_string(remoteUnlisted.size()) +
                       " directories could not be read");
            runFailed_ = true;
        }
        if (compare) {
            AnalyseLists();
            stopLoadBtn.SetEnabled(false);
            if (userStop) {
                HideProgress();
                runFailed_ = true;
                return;
            }
            runFailed_ = runFailed_ || !conflicts.empty();
            // The window says what deleting being off keeps; the run without a window
            // prints its own lines.
            const std::string kept = headlessPress_ ? std::string() : KeptNote();
            if (DryRun) {
                ShowDryRunPlan();
            } else if (update) {
                // One plan, printed and then carried out.
                ShowStatus("Updating remote FTP");
                const TPlan plan = MakeUpdatePlan();
                if (PlanLine) {
                    if (const std::string root = RemoteRootPlanLine(); !root.empty())
                        PlanLine(root);
                    for (const std::string& line : PlanLines(plan))
                        PlanLine(line);
                }
                RunAndSummarise(plan); // a step of this connect, not a press
                runFailed_ = runFailed_ || updateFailed;
                if (!kept.empty() && Status().starts_with("Remote Site Update"))
                    ShowStatus(Status() + kept);
            } else if (!kept.empty() && Status() == "Files Compared. Ready for Transfer") {
                ShowStatus(Status() + kept);
            }
        }
    }
    if (CheckBox4.Checked()) {
        Ftp1.Quit();
        Close();
    }
}

} // namespace pelmora
