#pragma once

#include "sync/plan.h"
#include "sync/remote_session.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

// What the user can ask of the engine, each shown as one button of the window.
enum class TSyncAction : uint8_t { Connect, LocalChange, Compare, Update, Stop, Refresh };

// What a line the run says is: a phase of the run (the status line), a counter said once
// per entry while a tree is read or files go up, a step of the plan, a failure, the
// summary, the progress of the uploads. A reader keeps some kinds and leaves others out.
enum class TLineKind : uint8_t { Phase, Plan, PerEntry, Failure, Summary, Progress };

// A step the run has reached, with its figures. `text` is the status line the window shows
// for it; a view that speaks to a terminal or a log words it from the figures instead.
struct TPhase {
    enum class TKind : uint8_t {
        LocalLoaded,   // files, directories (the root among them), place: the local root
        Connecting,    // place: the server's name, port
        Connected,     // the login is done
        LoadingRemote, // the remote tree is being read
        RemoteLoaded,  // files, directories, notRead, place: the remote root; again: after
                       // the update changed the server
        Comparing,     // the lists are being compared
        Compared,      // conflicts, kept
        Updating,      // the update starts; its plan follows (ShowPlan)
        Deleting,      // files, directories: the deletes the update is about to make
        Creating,      // directories
        Uploading,     // files, bytes
        UpdateDone,    // failed: steps that failed
        UpdateStopped, // Stop ended the update
    };
    TPhase(TKind k, std::string windowText, TLineKind lineKind = TLineKind::Phase)
        : kind(k), text(std::move(windowText)), line(lineKind) {}

    TKind kind;
    std::string text;
    // How the window takes `text`: a phase, or a counter it shows without logging.
    TLineKind line;
    std::string place;
    int port = 0;
    std::int64_t files = 0;
    std::int64_t directories = 0;
    std::int64_t bytes = 0;
    // Remote directories that could not be read.
    std::int64_t notRead = 0;
    // Entries the compare could not give a verdict.
    std::int64_t conflicts = 0;
    // Entries only on the server that stay because deleting is off.
    std::int64_t kept = 0;
    std::int64_t failed = 0;
    bool again = false;
};

// What the engine shows while it works, and what a run asks. The window implements it with
// its controls, the headless run with a reporter that prints lines by kind, and tests
// record it; every method does nothing (or answers no) unless overridden, so a caller shows
// only what it cares about.
class TSyncView {
public:
    virtual ~TSyncView() = default;

    // The status line; an empty text clears it.
    virtual void ShowStatusText(const std::string&) {}
    // A line the run says, with its kind: the status line (Phase, or PerEntry for the
    // counters) and the plan (Plan). Unless overridden the status line shows the first two
    // and the plan is not shown.
    virtual void ShowLine(TLineKind kind, const std::string& text) {
        if (kind == TLineKind::Phase || kind == TLineKind::PerEntry)
            ShowStatusText(text);
    }
    // A step the run has reached; unless overridden, its status line as the window has it.
    virtual void ShowPhase(const TPhase& phase) { ShowLine(phase.line, phase.text); }
    // The plan the update carries out (or, in a dry run, would): unless overridden, one
    // Plan line per step in the order the update makes them (PlanLine), after the remote
    // root's and before the kept entries'.
    virtual void ShowPlan(const TPlanListing& plan) {
        if (!plan.rootLine.empty())
            ShowLine(TLineKind::Plan, plan.rootLine);
        for (const TPlanItem& item : plan.items)
            ShowLine(TLineKind::Plan, PlanLine(item));
        for (const std::string& kept : plan.kept)
            ShowLine(TLineKind::Plan, kept);
    }
    // Progress of the step under way (a load, the compare, the deletes, one upload).
    virtual void ShowStepBar(bool /*shown*/) {}
    virtual void SetStepBar(int /*percent*/) {}
    // The step's percentage means nothing at the moment (an upload was cut short).
    virtual void ClearStepPercent() {}
    // Progress over all the uploads of an update.
    virtual void ShowOverallBar(bool /*shown*/) {}
    virtual void SetOverallBar(int /*percent*/) {}
    // The upload's figures: shown empty at the start of the uploads, hidden at the end.
    virtual void ShowFileFigures(bool /*shown*/) {}
    virtual void ShowCurrentFile(const std::string& /*name*/) {}
    virtual void ShowFileSize(const std::string& /*sizeText*/) {}
    virtual void ShowBytesSent(int64_t /*sent*/) {}
    // The uploads of an update begin, `bytes` in all as the plan counts them; every upload
    // then reports its own bytes through ShowBytesSent, from 0 again for each file.
    virtual void UploadsStarting(int64_t /*bytes*/) {}
    // One step of the plan is over: `done`, or failed (the status said why). `path` is the
    // step's, as the plan prints it; `bytes` the file's size for an upload that was done.
    virtual void StepFinished(TStepKind, const std::string& /*path*/, bool /*done*/,
                              int64_t /*bytes*/) {}
    // Whether the user may ask for an action now.
    virtual void EnableAction(TSyncAction, bool /*enabled*/) {}
    // The engine works on without pausing for the user (the compare) until told otherwise.
    virtual void ShowBusy(bool /*busy*/) {}
    // The engine is at entry `index` of one side's master list (an entry just loaded, a
    // directory being made, the file being sent); its node is `index` of that side's tree.
    virtual void ShowEntry(bool /*local*/, int /*index*/) {}
    // One line of the debug trace ("Not an entry: ...", "Link, left alone: ...").
    virtual void Trace(const std::string&) {}
    // The local root as the local load resolved it (made absolute).
    virtual void ShowLocalRoot(const std::string&) {}
    // The session is over; the window shows that it can connect again.
    virtual void ShowDisconnected() {}
    // An operation begins: actions that would start another are held off until it ends,
    // whatever EnableAction says meanwhile. Called again when what is held changes (a
    // disconnect was asked for).
    virtual void HoldActions() {}
    virtual void ReleaseActions() {}
    // Asks the user for the local directory; false when the user cancelled.
    virtual bool ChooseLocalDirectory(std::string& /*chosen*/) { return false; }
    // The login is done; `serverType` is the server's own word for its system.
    virtual void ShowConnected(const std::string& /*serverType*/) {}

    // Someone watches this view and answers its questions. A run asks a view that nobody
    // watches nothing: there the caps and the settings decide.
    virtual bool Attended() const { return false; }
    // The server's certificate failed verification: true to trust this one certificate
    // and connect again.
    virtual bool TrustServerCertificate(const TServerCertificate&) { return false; }
    // The server's SSH host key is neither trusted for the site nor known: true to trust
    // this one key (SFTP.hostKey) and connect again. A key that changed is never asked about.
    virtual bool TrustHostKey(const TServerHostKey&) { return false; }
    // The plan deletes on the server: true to go ahead. `counts` as PlanCounts says them,
    // `lines` the plan's lines.
    virtual bool ConfirmPlanDeletes(const std::string& /*counts*/,
                                    const std::vector<std::string>& /*lines*/) {
        return false;
    }
};

} // namespace pelmora
