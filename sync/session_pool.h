#pragma once

#include "sync/remote_session.h"

#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pelmora {

// The operations of one item (an upload with its rename and time, a delete, a listing) on
// one session, written as one sequence: each `co_await Ended{session}` after a Begin...
// hands the session's wait to the pool, which resumes the sequence once the operation's
// outcome has come. The sequence starts when the pool first resumes it.
class TSessionTask {
public:
    struct promise_type {
        TSessionTask get_return_object() {
            return TSessionTask(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };

    TSessionTask() = default;
    explicit TSessionTask(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    TSessionTask(TSessionTask&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    TSessionTask& operator=(TSessionTask&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    TSessionTask(const TSessionTask&) = delete;
    TSessionTask& operator=(const TSessionTask&) = delete;
    ~TSessionTask() { Reset(); }

    explicit operator bool() const { return static_cast<bool>(handle_); }
    bool Done() const { return !handle_ || handle_.done(); }
    // Runs the sequence on to its next wait, or to its end.
    void Resume() {
        if (!Done())
            handle_.resume();
    }

private:
    void Reset() {
        if (handle_)
            handle_.destroy();
        handle_ = {};
    }
    std::coroutine_handle<promise_type> handle_;
};

// `co_await Ended{session}`: the outcome of the operation begun on `session`, once it came.
struct Ended {
    TRemoteSession& session;
    bool await_ready() const { return !session.Busy(); }
    void await_suspend(std::coroutine_handle<>) const {}
    TOutcome await_resume() const { return session.End(); }
};

// The sessions a run works on at once: the main one, which the connect logged in, and up
// to `connections` - 1 more, made by the main one (Sibling) and logged in with its settings
// when a run has work for them, and closed at its end. A
// server that refuses an extra login (421, 530, a connection closed at once, no answer in
// time) is no error: the run goes on with the sessions it has, and the pool says so once.
class TSessionPool {
public:
    explicit TSessionPool(TRemoteSession& main);
    ~TSessionPool();
    TSessionPool(const TSessionPool&) = delete;
    TSessionPool& operator=(const TSessionPool&) = delete;

    // Starts the logins of the extra sessions, so that `wanted` run in all; they join a
    // run as their logins succeed. Does nothing when as many are open or under way, nor
    // unless the main session's server takes several sessions (see ExtrasAllowed).
    void Open(int wanted);
    // Whether Open would open anything: only where the main session's server takes
    // several sessions at once (TRemoteTraits::parallelSessions).
    bool ExtrasAllowed() const;
    // Ends every extra session: QUIT when it is idle, else Abort.
    void Close();
    // How many sessions may take work now: the main one unless lost, and the extra ones
    // logged in and not lost.
    int Usable() const;

    // Hands out tasks until none is left and none runs: `next` is asked for one whenever a
    // session is idle, and gives an empty task when it has none for now (all done, or
    // what is left must wait for what runs). Waits for whichever session's operation ends
    // first, one wait for all. A session that is lost takes no more work. A Stop of the
    // main session stops every session (an extra one busy is cut off at once); the tasks
    // then run to their ends with Stopped outcomes. False when every session was lost.
    bool Run(const std::function<TSessionTask(TRemoteSession&)>& next);

    // Told once per Open, when every extra login has ended and some were refused.
    std::function<void(const std::string&)> OnSay;
    // Told of each extra session as its login succeeds, before it takes work.
    std::function<void(TRemoteSession&)> OnJoined;

private:
    struct TExtra {
        std::unique_ptr<TRemoteSession> session;
        bool loggedIn = false;
        bool refused = false;
        bool joined = false;
        uint32_t deadline = 0;
    };
    struct TWorker {
        TRemoteSession* session;
        TSessionTask task;
    };
    // An extra session idle for longer than this is not given work again.
    static constexpr uint32_t MaxIdleReuseMs = 10000;
    // Ends the extra sessions an earlier run left that may not be relied on any more.
    void DropStale();
    // Settles the logins whose outcome came; true when any did.
    bool SettleLogins();
    bool LoginSettled(const TExtra& extra) const;
    void StopAll();
    // The extra sessions whose login succeeded join the run.
    void JoinLoggedIn(std::vector<TWorker>& workers);
    // Runs every task on as far as it goes, and gives an idle session its next one.
    void HandOut(std::vector<TWorker>& workers,
                 const std::function<TSessionTask(TRemoteSession&)>& next);
    // One worker's part of that; true when its task moved.
    static bool Drive(TWorker& worker, const std::function<TSessionTask(TRemoteSession&)>& next);
    uint32_t NextDeadline(const std::vector<TWorker>& workers) const;
    // Whether the wait can end: a stop, an outcome, or a login that settled or succeeded.
    bool SomethingCame(const std::vector<TWorker>& workers, bool stopped) const;

    TRemoteSession& main_;
    std::vector<TExtra> extras_;
    int wanted_ = 1;
    bool said_ = true;
};

} // namespace pelmora
