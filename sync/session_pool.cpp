#include "sync/session_pool.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <algorithm>

namespace pelmora {

TSessionPool::TSessionPool(TRemoteSession& main) : main_(main) {}

TSessionPool::~TSessionPool() {
    Close();
}

void TSessionPool::Open(int wanted) {
    wanted = std::clamp(wanted, 1, 10);
    if (!ExtrasAllowed())
        return;
    DropStale();
    if (wanted <= 1 || static_cast<int>(extras_.size()) + 1 >= wanted)
        return;
    wanted_ = wanted;
    said_ = false;
    while (static_cast<int>(extras_.size()) + 1 < wanted) {
        TExtra extra;
        extra.session = main_.Sibling();
        TRemoteSession& session = *extra.session;
        session.timeoutMs = main_.timeoutMs;
        session.ClearError();
        extras_.push_back(std::move(extra));
        const size_t index = extras_.size() - 1;
        session.OnLoggedIn = [this, index] { extras_[index].loggedIn = true; };
        extras_[index].deadline = GetTickCount() + main_.timeoutMs;
        TConnectionSettings settings = session.Settings();
        settings.timeoutMs = main_.timeoutMs;
        session.BeginConnect(settings);
    }
}

// Sessions left open by an earlier run of the pool are kept only while they have been
// idle for a short time: one quiet for longer may have been dropped by the server or a
// router on the way without a word, and would fail the first item given to it.
void TSessionPool::DropStale() {
    const uint32_t now = GetTickCount();
    std::erase_if(extras_, [now](TExtra& extra) {
        TRemoteSession& session = *extra.session;
        // A login still under way is kept: it has only just been asked for.
        const bool keep =
            !extra.refused && !session.Lost() &&
            (!extra.loggedIn ||
             (!session.Busy() && !TickReached(now, session.LastActivity() + MaxIdleReuseMs)));
        if (!keep) {
            session.OnLoggedIn = nullptr;
            if (extra.loggedIn && !session.Lost() && !session.Busy())
                session.Close();
            else
                session.Abort();
        }
        return !keep;
    });
}

bool TSessionPool::ExtrasAllowed() const {
    return main_.Traits().parallelSessions;
}

void TSessionPool::Close() {
    if (extras_.empty()) {
        said_ = true;
        return;
    }
    // A run over before every login ended still says what the server refused.
    SettleLogins();
    if (!said_ && OnSay &&
        std::any_of(extras_.begin(), extras_.end(), [](const TExtra& e) { return e.refused; }))
        OnSay("The server took " + std::to_string(Usable()) + " of " + std::to_string(wanted_) +
              " connections; going on with " + std::to_string(Usable()));
    said_ = true;
    for (TExtra& extra : extras_) {
        extra.session->OnLoggedIn = nullptr;
        if (extra.loggedIn)
            extra.session->Close();
        else
            extra.session->Abort();
    }
    // The goodbyes go out now; the answers to them reach nobody.
    ProcessMessages();
    extras_.clear();
    said_ = true;
}

int TSessionPool::Usable() const {
    int usable = main_.Lost() ? 0 : 1;
    for (const TExtra& extra : extras_)
        if (extra.loggedIn && !extra.refused && !extra.session->Lost())
            ++usable;
    return usable;
}

bool TSessionPool::LoginSettled(const TExtra& extra) const {
    return extra.loggedIn || extra.refused || extra.session->ErrorPending() ||
           TickReached(GetTickCount(), extra.deadline);
}

bool TSessionPool::SettleLogins() {
    bool any = false;
    bool pending = false;
    for (TExtra& extra : extras_) {
        if (extra.loggedIn || extra.refused)
            continue;
        if (!LoginSettled(extra)) {
            pending = true;
            continue;
        }
        any = true;
        extra.refused = true;
        extra.session->Abort();
    }
    if (!pending && !said_) {
        said_ = true;
        const int took = Usable();
        if (took < wanted_ && OnSay)
            OnSay("The server took " + std::to_string(took) + " of " + std::to_string(wanted_) +
                  " connections; going on with " + std::to_string(took));
    }
    return any;
}

void TSessionPool::StopAll() {
    for (TExtra& extra : extras_) {
        extra.session->Stop();
        // An upload under way would run on until its next block; the session goes with it.
        // One that holds its stop finishes what it is in the middle of.
        if (extra.session->Busy() && !extra.session->StopHeld())
            extra.session->Abort();
    }
}

bool TSessionPool::Run(const std::function<TSessionTask(TRemoteSession&)>& next) {
    std::vector<TWorker> workers;
    if (!main_.Lost())
        workers.push_back({&main_, {}});
    // Those that joined an earlier run of this pool join this one as new, so that its
    // owner is told of them too (OnJoined).
    for (TExtra& extra : extras_)
        extra.joined = false;
    bool stopped = false;
    for (;;) {
        SettleLogins();
        if (!stopped)
            JoinLoggedIn(workers);
        if (main_.Stopped() && !stopped) {
            stopped = true;
            StopAll();
        }
        HandOut(workers, next);
        std::erase_if(workers, [](const TWorker& w) { return w.task.Done() && w.session->Lost(); });
        const bool busy = std::any_of(workers.begin(), workers.end(),
                                      [](const TWorker& w) { return !w.task.Done(); });
        if (!busy)
            return !workers.empty();
        const uint32_t deadline = NextDeadline(workers);
        WaitForSessions([&] { return SomethingCame(workers, stopped); },
                        [deadline] { return deadline; });
    }
}

void TSessionPool::JoinLoggedIn(std::vector<TWorker>& workers) {
    for (TExtra& extra : extras_) {
        if (!extra.loggedIn || extra.joined || extra.refused || extra.session->Lost())
            continue;
        extra.joined = true;
        extra.session->timeoutMs = main_.timeoutMs;
        if (OnJoined)
            OnJoined(*extra.session);
        workers.push_back({extra.session.get(), {}});
    }
}

void TSessionPool::HandOut(std::vector<TWorker>& workers,
                           const std::function<TSessionTask(TRemoteSession&)>& next) {
    // A task that ends may leave work for a session asked before it in the same pass (a
    // listing names the directories to list next): the pass is made again then, rather
    // than leave that session idle until the next answer comes.
    for (bool again = true; again;) {
        bool moved = false;
        for (TWorker& worker : workers)
            moved = Drive(worker, next) || moved;
        again = moved && std::any_of(workers.begin(), workers.end(), [](const TWorker& w) {
                    return w.task.Done() && !w.session->Lost();
                });
    }
}

bool TSessionPool::Drive(TWorker& worker,
                         const std::function<TSessionTask(TRemoteSession&)>& next) {
    bool moved = false;
    for (;;) {
        if (!worker.task.Done()) {
            if (worker.session->Busy() && !worker.session->Settled())
                return moved;
            worker.task.Resume();
            moved = true;
            continue;
        }
        worker.task = {};
        if (worker.session->Lost())
            return moved;
        worker.task = next(*worker.session);
        if (!worker.task)
            return moved;
    }
}

uint32_t TSessionPool::NextDeadline(const std::vector<TWorker>& workers) const {
    // The earliest moment anything can end for want of an answer.
    uint32_t deadline = GetTickCount() + main_.timeoutMs;
    for (const TWorker& worker : workers)
        if (!worker.task.Done() && worker.session->Busy() &&
            TickReached(deadline, worker.session->QuietDeadline()))
            deadline = worker.session->QuietDeadline();
    for (const TExtra& extra : extras_)
        if (!extra.loggedIn && !extra.refused && TickReached(deadline, extra.deadline))
            deadline = extra.deadline;
    return deadline;
}

bool TSessionPool::SomethingCame(const std::vector<TWorker>& workers, bool stopped) const {
    if (main_.Stopped() && !stopped)
        return true;
    for (const TWorker& worker : workers)
        if (!worker.task.Done() && worker.session->Settled())
            return true;
    for (const TExtra& extra : extras_)
        if (!extra.loggedIn && !extra.refused && LoginSettled(extra))
            return true;
        else if (extra.loggedIn && !extra.joined && !stopped)
            return true;
    return false;
}

} // namespace pelmora
