#pragma once

#include "app/exit_codes.h"
#include "app/password_store.h"
#include "app/run_report.h"
#include "app/settings.h"
#include "app/site_settings.h"
#include "app/sites.h"
#include "ftp/ftp.h"
#include "sync/sync_core.h"
#include "sync/sync_run.h"
#include "toolkit/controls.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelmora {

// The word size of this build, as the title and the Info page name it.
constexpr int BuildWordBits = static_cast<int>(sizeof(void*) * 8);
inline std::string ApplicationTitle() {
    return "Pelmora - v1.1c (" + std::to_string(BuildWordBits) + "-bit)";
}

struct TWindowGeometry {
    int Width = 600;
    int Height = 438;
    int Top = 20;
    int Left = 20;
    // The settings file holds a width and a height: the window opens at them. Without,
    // it opens wide enough for every column of both trees (FirstWidth x FirstHeight, or
    // the screen's room when that is less).
    bool SizeStored = false;
    static constexpr int FirstWidth = 1100;
    static constexpr int FirstHeight = 720;
};

// A button of the window that a running operation holds: while held it shows what the
// operation allows the user to press, and what the handlers set meanwhile is kept and
// shown when the hold ends, so an operation's results (Compare enabling Update, a failed
// load leaving Compare off) survive it.
class TOperationButton : public TButton {
public:
    explicit TOperationButton(std::string caption) : TButton(std::move(caption)) {}

    // Hides TControl::SetEnabled for the handlers, which write through this type.
    void SetEnabled(bool enabled);
    bool Held() const { return held_; }
    // Starts the hold or changes what it shows.
    void Hold(bool shown);
    void Release();

private:
    bool held_ = false;
    bool wanted_ = false;
};

// The site selector of the Setup page: the names it offers and the one chosen.
class TSiteChoice : public TControl {
public:
    const std::vector<std::string>& Items() const { return items_; }
    const std::string& Current() const { return current_; }
    void Set(std::vector<std::string> items, std::string current);

private:
    std::vector<std::string> items_;
    std::string current_;
};

// The main window's state and logic, without any widget: the desktop window draws it.
// It owns the controls and the engine, edits the site's settings (one value, which the
// controls show), hands them to the engine when a press starts work, and shows what the
// engine does on the controls (it is the engine's view).
class TForm1 : public TSyncView {
public:
    TForm1();
    ~TForm1() override;

    // The synchronisation engine this window shows and steers.
    TSyncCore engine{*this};
    // The site's settings as the window edits them: read by FormCreate, shown in the
    // controls, read back from them when a press starts work and when they are saved.
    TSiteSettings site;

    // Controls the engine's work shows on, and those its options come from.
    TPanel statusPanel; // the status line
    // The Transfer page's progress: of all the uploads in bytes (the figures as the run
    // without a window prints its progress line, the status line's percentage the bar's),
    // of the step under way, and the files being sent: one for each session at work,
    // with their bytes and sizes together.
    struct TProgressControls {
        TProgressBar stepBar;
        TLabel stepPercentLabel{"100%"};
        TLabel progressLbl{"Progress:"};
        TProgressBar overallBar;
        TLabel overallLbl{"Overall:"};
        TLabel overallFigures; // "Uploading 1.2 MB of 3.4 MB (35%), 120 kB/s, 15 s left"
        TLabel bytesSentLabel, fileSizeLabel, fileNameLabel;
        TLabel bytesSentCaption{"Bytes Transferred:"};
        TLabel fileSizeCaption{"Total File Size:"};
        TLabel fileNameCaption{"Filename:"};
    };
    TProgressControls progress;
    TLabel localRootLabel;           // the local root directory (shows site.sync.localRoot)
    TEdit remoteRootEdit{"/webftp"}; // the remote root directory
    TSpinEdit timeOutSpin{5, 300, 30};
    TSpinEdit connectionsSpin{1, 10, 4}; // sessions at once for the walk and the update
    TOperationButton connectBtn{"Connect"};
    TOperationButton changeLocalBtn{"Change"};
    TOperationButton compareBtn{"Compare"};
    TOperationButton updateBtn{"Update"};
    TOperationButton stopBtn{"Stop"};
    TOperationButton refreshBtn{"Refresh"};
    TCheckBox deleteRemoteCheck{"Delete Remote Files", true};
    TMemo debugMemo;
    TLabel servTypeLbl; // the server's system type while connected
    // How the session travels, while connected: "Encrypted (TLS 1.3, certificate
    // verified)" or "Not encrypted"; empty otherwise. SessionSecured() picks the lock.
    TLabel securityLbl;
    bool SessionSecured() const { return sessionSecured_; }
    // What the last update did, from the counts the run without a window prints in its
    // summary; kept until the next update ends.
    TLabel summaryLbl;
    // The session's log: every status line (not the per-entry ones) and every failure of
    // an update with its path and reason, each with the time; the oldest go first.
    static constexpr size_t LogLines = 5000;
    TMemo logMemo{LogLines};

    // FTP.tlsSeen: TLS has worked with this site; from then on auto refuses to go on in
    // clear, as require does. Learnt by the first secured login, kept in the settings.
    bool tlsSeen = false;
    // The Setup page: the server, the login, the firewall, the data connections, TLS, and
    // the sites.
    struct TSetupPage {
        TEdit serverEdit;
        TEdit userEdit;
        TEdit passwordEdit; // shown masked
        TSpinEdit ftpPortSpin{0, 65535, 21};
        TEdit firewallEdit;
        TSpinEdit firewallSpin{0, 65535, 21};
        TCheckBox firewallCheck{"Use Firewall"};
        // FTP.dataMode: "auto", "passive" or "active"; empty reads as auto.
        TEdit dataModeEdit{"auto"};
        // FTP.tls: "auto", "require" or "off"; empty reads as auto. FTP.trustedCertificate:
        // the fingerprint of the one certificate trusted by hand, shown as
        // DisplayFingerprint shows it and taken in any form NormalFingerprint takes.
        TEdit tlsEdit{"auto"};
        TEdit trustedCertificateEdit;
        // The sites: choosing another saves this one's settings and loads the other's.
        TSiteChoice siteCombo;
        TButton siteNewBtn{"New"};
        TButton siteRenameBtn{"Rename"};
        TButton siteDeleteBtn{"Delete"};
        // FTP.passwordInKeyring: the password goes to PasswordStore, not the settings
        // file, whenever the store answers.
        TCheckBox keyringCheck{"Keep the password in the desktop's keyring"};
        // What the page's own buttons and the saving of its settings have to say: the
        // status line is on the Transfer page, out of sight while this one is shown.
        TLabel messageLbl;
    };
    TSetupPage setup;
    // The Options page: what a press of Connect goes on to do.
    struct TOnConnect {
        TCheckBox loadOnConnectCheck{"Load directory", true};
        TCheckBox compareOnConnectCheck{"Compare"};
        TCheckBox updateOnConnectCheck{"Update remote FTP"};
        TCheckBox exitWhenDoneCheck{"Exit pelmora when complete"};
    };
    TOnConnect onConnect;
    // The Details page: what the entry clicked last in either tree is; both sides of it
    // side by side, and why the compare decides as it does: "local is newer", "sizes
    // differ", "only on the server", "only here", "same".
    struct TDetailsPage {
        TLabel nameLbl, dirLbl, dateLbl, timeLbl, typeLbl, actionLbl;
        TLabel localSizeLbl, remoteSizeLbl, localTimeLbl, remoteTimeLbl, verdictLbl;
    };
    TDetailsPage details;
    // The debugMemo debug pane's clear button.
    void clearDebugClick() { debugMemo.Clear(); }
    // Fills the details page from the selected node of the tree with this tag
    // (1 local, 2 remote).
    void localTreeClick(int tag);
    // Date and time texts for the details page; the front end gives the locale's.
    std::function<std::string(TDateTime)> FormatDate;
    std::function<std::string(TDateTime)> FormatTime;
    // Date and time in one short text, for the side-by-side comparison.
    std::function<std::string(TDateTime)> FormatStamp;
    // Asked before a press of Update whose plan deletes anything on the server, with the
    // counts ("Upload 4, refresh 1, create 2, delete 3") and the plan's lines; false
    // leaves the server untouched. Unset (a window model without a front end), nothing is
    // asked.
    std::function<bool(const std::string& counts, const std::vector<std::string>& lines)>
        ConfirmDeletes;

    // The desktop's keyring, or a stand-in; unset, passwords stay in the settings file.
    TPasswordStore* PasswordStore = nullptr;
    // Asks for a site's name (New, Rename), `name` holding the proposal; false: cancelled.
    std::function<bool(const std::string& title, std::string& name)> AskSiteName;
    // Asked before a site and its settings are deleted; unset, nothing is deleted.
    std::function<bool(const std::string& question)> ConfirmSiteDelete;
    // Asked when a connect was refused because the server's certificate failed
    // verification: true to trust that one certificate, which is then stored in
    // FTP.trustedCertificate (the control and the settings file) before the connect is
    // made again. Unset (a window model without a front end), nothing is asked.
    std::function<bool(const TCertificateRefusal& refusal)> TrustCertificate;

    std::string Caption = ApplicationTitle();
    TWindowGeometry Geometry;
    int NotebookPage = 0;
    bool Closed = false;

    // Reads the settings file into `site` and shows it in the controls.
    void FormCreate(const std::string& settingsFile);
    // The local directory, chosen other than by Change (which the engine carries out):
    // into the value and onto its label.
    void SetLocalRoot(const std::string& root);
    // Starts the socket library, loads the local tree, enables Connect.
    void FormActivate();
    // Reads the controls back into `site` and writes it into the settings file. A trusted
    // certificate that is no fingerprint keeps its stored value and is reported;
    // EProfileError when the file cannot be written.
    void FormClose();
    // What FormClose writes, without closing: before another site is loaded.
    void SaveSettings();
    // SaveSettings when the controls differ from what was last read or written, so that
    // a logout, a kill or a crash loses nothing typed: at each Connect and when the Setup
    // page is left. A file that cannot be written is said on the Setup page and in the
    // log; the work goes on. False only then.
    bool SaveChangedSettings();
    // The window's place and size as they are now, into Geometry: called before every
    // save, so a save while the window is open stores its real size.
    std::function<void()> ReadGeometry;

    // The sites the selector offers, `current` among them; call before FormCreate. Without
    // it (a settings file named on the command line) the selector shows that file only,
    // and `siteName` stands for it in the password's key.
    void UseSites(const TSites& sites, const std::string& current);
    void UseSiteName(const std::string& siteName);
    const std::string& SiteName() const { return siteName_; }
    // The selector's choice: saves this site, loads the other one's settings into the
    // controls and its local tree. Refused (false, and the selector shows this site
    // again) while connected or while an operation runs.
    bool siteComboChange(const std::string& name);
    // New asks for a name, makes the site's empty settings file and switches to it;
    // Rename gives this site another name; Delete asks first, removes this site's file
    // (and its password from the keyring) and switches to the default site, which is
    // never deleted nor renamed.
    void siteNewBtnClick();
    void siteRenameBtnClick();
    void siteDeleteBtnClick();
    void FormDestroy();

    // Stop: ends every wait, walk, compare and upload at its next check.
    void stopBtnClick();

    // The window's presses of Refresh, Compare, Update and Change. A press that arrives
    // while an operation runs (from the keyboard, a click queued before the button was
    // disabled) does nothing. The engine's own steps call its actions directly.
    void refreshBtnClick();
    void compareBtnClick();
    void updateBtnClick();
    void changeLocalBtnClick();

    // The session controller. Connect carries out one run (TSyncRun) as the "after
    // connect" options choose; pressed while connected, it disconnects.
    void connectBtnClick();
    // The connection as the Setup page says it.
    TConnectionSettings ConnectionSettings() const;
    // Hands ConnectionSettings() to the session and dials, without waiting.
    void ConnectToServer();
    // Closes the main window (the front end's close, which saves the settings).
    std::function<void()> CloseWindow;
    void Close();

    // What the last press of Connect came to, and its class as an exit status.
    const TRunResult& LastRun() const { return lastRun_; }
    TExitCode FailureClass() const { return ExitCodeOf(lastRun_.outcome); }

    const std::string& SettingsFile() const { return settingsFile_; }

    // The local directory dialog of the front end: returns 1 for OK with the choice.
    std::function<int(std::string& chosen)> DirDialog;

    // The engine's view, on the controls above.
    void ShowLine(TLineKind kind, const std::string& text) override;
    void ShowStepBar(bool shown) override;
    void SetStepBar(int percent) override;
    void ClearStepPercent() override;
    void ShowOverallBar(bool shown) override;
    void SetOverallBar(int percent) override;
    void ShowFileFigures(bool shown) override;
    void ShowCurrentFile(const std::string& name) override;
    void ShowBusy(bool busy) override;
    void ShowEntry(bool local, int index) override;
    void ShowFileSize(const std::string& sizeText) override;
    void UploadsStarting(int64_t bytes) override;
    void ShowBytesSent(int64_t sent) override;
    void StepFinished(TStepKind kind, const std::string& path, bool done, int64_t bytes) override;
    void EnableAction(TSyncAction action, bool enabled) override;
    void Trace(const std::string& line) override;
    void ShowLocalRoot(const std::string& root) override;
    void ShowDisconnected() override;
    void HoldActions() override;
    void ReleaseActions() override;
    bool ChooseLocalDirectory(std::string& chosen) override;
    void ShowConnected(const std::string& serverType) override;
    bool Attended() const override;
    bool TrustServerCertificate(const TServerCertificate& certificate) override;
    bool ConfirmPlanDeletes(const std::string& counts,
                            const std::vector<std::string>& lines) override;

    // Server entries the compare found without a partner and the update leaves there
    // because deleting is off (Options.delete), with what the status line then adds:
    // "; 3 entries kept on the server: deleting is off" (empty when there are none).
    int KeptEntries() const;
    std::string KeptNote() const;
    static std::string KeptNote(int kept);

private:
    TOperationButton& ButtonOf(TSyncAction action);
    // Reads the local tree again, as every press that works on it does first: an edit, a
    // new file or a removed one made while the window is open is seen. False when the
    // directory could not be read or Stop ended the read (said why). `changed` tells
    // whether the disk differs from the tree read before.
    bool ReadLocalAgain(bool* changed = nullptr);
    // The same as an operation of its own, for a press that starts one after it.
    bool ReadLocalForPress(bool* changed = nullptr);
    // The compare's server entries without a partner, as kept or as deleted, as the
    // delete option now says.
    void ShowKeptEntries();
    // `site` shown in the controls, and the controls (with what the engine learnt about
    // the server) read back into it.
    void SiteToControls();
    void ControlsToSite();
    // The engine's options from `site`, where a press starts work: the directories, the
    // delete option, the time-out, the sessions, atomic uploads and what was learnt.
    void SiteToEngine();
    void TakeControls();

    // The overall bar, its figures and the status line's percentage, from the run's totals.
    void ShowOverallFigures();
    // The files under way, their bytes and the step bar over them.
    void ShowFilesUnderWay();
    int OverallPercent() const;
    // Carries out the plan and then says what it did: summaryLbl, and the log with every
    // failure.
    void RunAndSummarise(const TPlan& plan);
    void Summarise(const TRunResult& result);
    // What the window adds to a run of Connect: what it learnt, the summary, the note on
    // entries kept, "exit when complete".
    void AfterRun(const TRunResult& result);
    void Log(const std::string& line);

    // The uploads of an update, while they run: the files under way (each session sends
    // one), and the bytes they have sent together.
    struct TUploadsUnderWay {
        bool active = false;
        struct TFile {
            std::string path; // as the plan names it
            std::string name;
            int64_t size = 0;
        };
        std::vector<TFile> files;
        int64_t sent = 0;
        // The local entry the engine showed last: the one whose upload starts next.
        int lastEntry = -1;
    };
    TUploadsUnderWay uploads_;

    bool StartSocketLibrary();
    void ClearTrees();
    // Shows the selector's items and which buttons apply to the site chosen.
    void ShowSites();
    bool MaySwitchSite();
    bool OpenSite(const TSiteInfo& chosen);
    std::string CurrentPasswordKey() const;
    // Once per run: the keyring did not answer, so the password stays in the file.
    void KeyringMissing();
    // Says `text` on the Setup page and in the log.
    void SayOnSetup(const std::string& text);

    // What securityLbl says of the session, and whether it is encrypted.
    void ShowSecurity();
    bool sessionSecured_ = false;

    std::optional<TSites> sites_;
    std::string siteName_;
    // The key the password was read from or last written to in the keyring; empty while
    // the keyring holds none of this site's.
    std::string keyringKey_;
    bool keyringNoticeShown_ = false;
    bool activated_ = false;

    std::string settingsFile_;
    // The settings as last read from or written to settingsFile_.
    TSiteSettings saved_;
    // The run a press of Connect carries out, and what the last one came to.
    TSyncRun run_{engine};
    TRunResult lastRun_;
};

} // namespace pelmora
