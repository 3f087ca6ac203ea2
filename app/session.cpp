#include "app/main_form.h"
#include "app/sites.h"

#include "toolkit/services.h"

namespace pelmora {

TConnectionSettings TForm1::ConnectionSettings() const {
    TConnectionSettings c = site.connection;
    c.timeoutMs = engine.TimeoutMs();
    return c;
}

void TForm1::ConnectToServer() {
    // The controls as they are now, for the session and the engine alike.
    TakeControls();
    run_.Dial(ConnectionSettings());
}

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
    lastRun_ = {};
    if (engine.connected) {
        engine.session.Resume();
        engine.ClearConnection();
        run_.Quit();
        return;
    }
    // The "after connect" options are the window's; the disk is read again first, as by
    // every press that works on it.
    TSyncSteps steps;
    steps.readLocal = true;
    steps.load = onConnect.loadOnConnectCheck.Checked();
    steps.compare = onConnect.compareOnConnectCheck.Checked();
    steps.update = onConnect.updateOnConnectCheck.Checked();
    // The controls as they are now, for the session and the engine alike.
    TakeControls();
    // What was typed survives whatever ends the program while the run goes on.
    SaveChangedSettings();
    engine.options.journalFile = SiteJournalFile(settingsFile_);
    connectBtn.SetEnabled(false);
    lastRun_ = run_.Run(ConnectionSettings(), steps);
    connectBtn.SetEnabled(true);
    AfterRun(lastRun_);
}

void TForm1::AfterRun(const TRunResult& result) {
    if (result.tlsLearnt)
        tlsSeen = true;
    switch (result.outcome) {
    case TRunOutcome::Settings:
    case TRunOutcome::Busy:
    case TRunOutcome::LocalDirectory:
    case TRunOutcome::Connection:
        return; // never reached the server's tree
    default:
        break;
    }
    if (result.updated)
        Summarise(result);
    // The window says what deleting being off keeps.
    if (const std::string kept = KeptNote(result.keptOnServer); !kept.empty()) {
        const bool said = result.updated ? engine.Status().starts_with("Remote Site Update")
                                         : engine.Status() == "Files Compared. Ready for Transfer";
        if (said)
            engine.ShowStatus(engine.Status() + kept);
    }
    if (onConnect.exitWhenDoneCheck.Checked()) {
        run_.Quit();
        Close();
    }
}

void TForm1::ShowConnected(const std::string& serverType) {
    servTypeLbl.SetCaption(serverType);
    ShowSecurity();
    connectBtn.SetCaption("Disconnect");
    connectBtn.SetEnabled(true);
    refreshBtn.SetEnabled(true);
}

void TForm1::ShowSecurity() {
    // As the session has settled it by the login: "TLS 1.3, certificate verified", or
    // "not encrypted" with the reason when there is one.
    std::string fact;
    for (const auto& [label, text] : engine.session.ConnectionFacts())
        if (label == "Security")
            fact = text;
    sessionSecured_ = engine.session.Traits().secured;
    securityLbl.SetCaption(sessionSecured_ ? "Encrypted" + (fact.empty() ? "" : " (" + fact + ")")
                                           : "Not encrypted");
    if (!fact.empty())
        Log("Security: " + fact);
}

bool TForm1::Attended() const {
    return TrustCertificate || ConfirmDeletes;
}

bool TForm1::TrustServerCertificate(const TServerCertificate& c) {
    if (!TrustCertificate || !TrustCertificate(TCertificateRefusal{c.host, c.certificate, c.reason,
                                                                   c.changed, c.trustedBefore}))
        return false;
    // Stored at once, not only at the next save: the user has decided about this server,
    // and a run without the window must find the same answer.
    const std::string trusted = CompactFingerprint(c.certificate.fingerprint);
    setup.trustedCertificateEdit.SetText(DisplayFingerprint(trusted));
    std::string error;
    if (!settingsFile_.empty() &&
        !ConfigureSettings(settingsFile_, {"FTP.trustedCertificate=" + trusted}, error)) {
        ShowMessage("The trusted certificate could not be saved: " + error);
        SayOnSetup("The trusted certificate could not be saved: " + error);
    }
    return true;
}

bool TForm1::ConfirmPlanDeletes(const std::string& counts, const std::vector<std::string>& lines) {
    return !ConfirmDeletes || ConfirmDeletes(counts, lines);
}

} // namespace pelmora
