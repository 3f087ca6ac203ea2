#pragma once

#include "net/connection_settings.h"
#include "sync/plan.h"
#include "sync/sync_view.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelmora {

class TSyncCore;

using TSteadyTime = std::chrono::steady_clock::time_point;

// What one run did (or, for the dry run, would do), for the summary and the progress line.
struct TRunTotals {
    int uploaded = 0;  // files new on the server
    int refreshed = 0; // files replaced by a newer copy
    int created = 0;   // directories made
    int deleted = 0;   // files and directories removed
    int failed = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesDone = 0; // of the uploads that finished; bytesSent adds the current
    std::uint64_t bytesToSend = 0;
    TSteadyTime start{};
    // When the uploads began; the rate is counted from here, not from the start, so the
    // time spent reading both trees does not make the line look slow. Unset until then.
    TSteadyTime uploadStart{};
};

// Counts a step of the update that ended: what it did, and an upload's bytes.
void CountStep(TRunTotals& totals, TStepKind kind, bool done, std::int64_t bytes);

// The counts of a plan, as the confirmation before an update names them: "Upload 4,
// refresh 1, create 2, delete 3" (directories removed count among the deletes).
std::string PlanCounts(const TPlan& plan);
bool PlanDeletes(const TPlan& plan);
// Server entries the compare would delete that stay because deleting is off.
int KeptOnServer(const TSyncCore& engine);

// How a run ended, by class: what a script that started it has to do next.
enum class TRunOutcome : uint8_t {
    Success,        // every step it attempted succeeded
    Settings,       // the settings cannot make a run (no server, no local directory)
    LocalDirectory, // the local directory is missing or could not be read
    Connection,     // the connect or the login failed
    SafetyRefused,  // a safety rule kept the update from deleting
    SomeFailed,     // some steps failed; the others were done
    Busy,           // another run holds the site
    Stopped,        // the user stopped it
};

// One run's outcome, from which both the window's summary and the exit status are made.
struct TRunResult {
    TRunOutcome outcome = TRunOutcome::Success;
    // Everything the run could not do, one line each with its path and the reason: the
    // update's failures, or without an update what the loads and the compare left
    // unsettled.
    std::vector<std::string> failures;
    // Server entries the compare would delete that stay because deleting is off.
    int keptOnServer = 0;
    // What the plan keeps on the server although the disk lacks it, and why, one line each.
    std::vector<std::string> kept;
    // Why a safety rule kept the update from deleting; empty when none did.
    std::string deleteRefusal;
    // The update ran; `updateIncomplete` when anything it tried failed or was skipped.
    bool updated = false;
    bool updateIncomplete = false;
    TSteadyTime updateStart{};
    // The dry run's plan was made: `totals` count what the update would do.
    bool planned = false;
    TRunTotals totals;
    // The status line at the end.
    std::string lastStatus;
    // Learnt by this run for the site's settings: TLS worked (FTP.tlsSeen), the certificate
    // the user chose to trust (FTP.trustedCertificate; empty: none).
    bool tlsLearnt = false;
    std::string trustedCertificate;

    bool Succeeded() const { return outcome == TRunOutcome::Success; }
};

// What a run does after the login. The window's "after connect" options choose them; the
// run without a window always loads, compares and updates (or only plans, as a dry run).
struct TSyncSteps {
    // Read the disk again once the site is ours: a tree read earlier may be old.
    bool readLocal = false;
    bool load = true;
    bool compare = true;
    bool update = false;
    // Load, compare and say the plan (TLineKind::Plan); nothing changes on the server.
    bool dryRun = false;
};

// One run over the engine: takes the site's run lock, connects and logs in, loads,
// compares, then updates (or says the dry run's plan), as the steps choose. What it says
// goes to the engine's view: the status lines, the plan as Plan lines, and its two
// questions (trust this certificate? go ahead with these deletes?). The caller holds the
// engine's Connect operation for the whole run.
class TSyncRun {
public:
    explicit TSyncRun(TSyncCore& engine);
    ~TSyncRun();
    TSyncRun(const TSyncRun&) = delete;
    TSyncRun& operator=(const TSyncRun&) = delete;

    TRunResult Run(const TConnectionSettings& connection, const TSyncSteps& steps);

    // The disk as it is now. True when the local root is not set (the run's check says so)
    // or was read; false when it could not be entered or Stop ended the read (said why).
    // With `wholeRoot`, also false when the root itself could not be listed.
    bool ReadLocal(bool wholeRoot = false);
    // Carries out `plan` on the connected engine, counting what it does into the result.
    void Update(const TPlan& plan);
    // Whether the plan may go ahead: asked of the view when the plan deletes anything on
    // the server and someone watches it; yes when nobody does (the caps then decide).
    bool ConfirmDeletes(const TPlan& plan);
    // Starts a connect from `connection`: the settings go to the session, which dials; no
    // wait. Run does it as its connect step.
    void Dial(const TConnectionSettings& connection);
    // Ends the session: QUIT, as "exit when complete" and Disconnect send it.
    void Quit();

    // The result so far; its totals grow while the update runs.
    const TRunResult& Result() const { return result_; }
    // The session's security and the way its data connections go, once settled ("" before).
    // What the session has settled about itself, labelled ("Security", "Data connections");
    // a text stays empty until it is known.
    std::vector<std::pair<std::string, std::string>> ConnectionFacts() const;

private:
    struct TTally;
    bool CheckSettings();
    bool TakeSite();
    bool Connect();
    void Redial();
    bool WaitConnected();
    bool RetryWithTrustedCertificate();
    // The same for an SSH host key that is not known: asked once, then connects again.
    bool RetryWithTrustedHostKey();
    void SayConnectFailure();
    void RememberTls();
    void AfterConnect();
    bool LoadRemote();
    void Compare();
    void SayPlan(const TPlan& plan, bool dryRun);
    void PlanDryRun();
    TRunResult& Finish(TRunOutcome outcome);
    TRunResult& Finish();

    TSyncCore& engine_;
    std::unique_ptr<TTally> tally_;
    TConnectionSettings connection_;
    TSyncSteps steps_;
    TRunResult result_;
    bool failed_ = false;
};

} // namespace pelmora
