#pragma once

// A relay on 127.0.0.1 between the program and a real FTP server that breaks the traffic
// in chosen ways. It reads enough FTP to carry the data connections of both modes through
// listeners of its own (the server's 227/229 replies and the client's PORT/EPRT are
// rewritten), so every byte of a run passes it and any of them can be held, cut or reset.
// Plain FTP only: the commands and replies of a TLS session cannot be read or rewritten.
//
// It runs in a thread of its own, so the program under test can be the real binary in
// another process. Any number of control connections at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace pelmora::testing {

enum class TFaultKind {
    CutControl,      // the control connection closed at the K-th command
    CutControlBytes, // the control connection closed after N bytes of replies
    CutData,         // the K-th data connection closed after N bytes
    DelayUnder,      // the reply to the K-th command held a little less than the time-out
    DelayPast,       // the reply to the K-th command held past the time-out
    Stall,           // the reply to the K-th command never comes
    RefuseLogin,     // the K-th USER answered "421" by the relay, which then hangs up
    TruncateListing, // the K-th listing's data connection ends part of the way through
    RestartServer,   // at the K-th command the server is stopped and started again
};
constexpr int faultKindCount = 9;
const char* FaultName(TFaultKind kind);

struct TFault {
    TFaultKind kind = TFaultKind::CutControl;
    int at = 1;         // which command, data connection, login or listing (from 1)
    size_t bytes = 0;   // CutControlBytes, CutData: bytes let through first
    bool reset = false; // a reset (RST) instead of an orderly close
    std::string Describe() const;
};

// One fault, or now and then two or three, drawn from `seed` alone.
std::vector<TFault> DrawFaults(uint32_t seed);

// A DELE or RMD the client sent, with the path as sent.
struct TRemoval {
    std::string command; // "DELE" or "RMD"
    std::string path;
    // The same path was the target of the RNTO just before on the same connection: the
    // old file goes so that the new one can take its name.
    bool replacing = false;
};

class TFaultRelay {
public:
    // `timeout`: the program's reply time-out, which the delays are measured against.
    TFaultRelay(uint16_t serverPort, std::vector<TFault> faults, std::chrono::milliseconds timeout);
    ~TFaultRelay();
    TFaultRelay(const TFaultRelay&) = delete;
    TFaultRelay& operator=(const TFaultRelay&) = delete;

    // Before Start: every command and every reply crosses the relay this much later, as
    // over a long link or through a firewall that reads the control connection. The data
    // connections keep their pace.
    void SetControlDelay(std::chrono::milliseconds delay) { controlDelay_ = delay; }
    // Listens on a free port of 127.0.0.1 and starts the thread. False with `why`.
    bool Start(std::string& why);
    // Ends the thread and closes every connection.
    void Stop();
    uint16_t Port() const { return port_; }

    // Every fault as it was injected, "kind: where", in order.
    std::vector<std::string> Injected() const;
    std::vector<TFaultKind> InjectedKinds() const;
    std::vector<TRemoval> Removals() const;
    // True once after a RestartServer fault fired: the owner of the server restarts it.
    bool TakeRestartRequest() { return restart_.exchange(false); }

private:
    struct TState;
    void Run();
    void Note(TFaultKind kind, const std::string& where);

    uint16_t serverPort_;
    std::vector<TFault> faults_;
    std::chrono::milliseconds timeout_;
    std::chrono::milliseconds controlDelay_{0};
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> restart_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> injected_;
    std::vector<TFaultKind> injectedKinds_;
    std::vector<TRemoval> removals_;
};

} // namespace pelmora::testing
