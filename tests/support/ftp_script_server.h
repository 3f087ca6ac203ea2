#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pelmora::testing {

// What the script server does with one command. Built fluently:
//   server.On("PASS").Reply("530 Login incorrect");
//   server.On("LIST").Listing({"first half", "second half"}).FinalBeforeDataEnds();
// A rule with `Uses(n)` applies n times and then gives way to the next matching rule;
// without it, it applies every time. Later rules for the same command come first.
struct TFtpRule {
    enum TClose { CloseNever, CloseBeforeReply, CloseAfterReply };

    std::string verb;                    // upper-case command word; "" is the greeting
    std::optional<std::string> argument; // exact argument, or any
    int uses = 0;                        // 0: unlimited
    int delayMs = 0;                     // before anything is sent
    bool drip = false;                   // every byte of the reply on its own
    std::vector<std::string> lines;      // the (final) reply, each line with CR LF
    std::string raw;                     // bytes sent as they are, after the lines
    int rawDelayMs = 0;                  // pause between the lines and the raw bytes
    TClose closeControl = CloseNever;

    // Transfers (LIST, MLSD, NLST, STOR); MLSD and NLST are served like LIST (the same
    // text without a rule of their own). The server lists no features
    // (FEAT is not implemented) unless a test gives it a rule.
    std::vector<std::string> preliminary; // before the data connection
    // The data connection is taken first (accepted, or made back), and the preliminary
    // reply goes this long after; bytes that come on it meanwhile are counted
    // (EarlyDataBytes). Negative: the preliminary reply comes first.
    int preliminaryAfterDataMs = -1;
    bool noData = false;                             // refuse without connecting back
    bool finalBeforeDataEnds = false;                // the final reply goes before the data ends
    int dataPauseMs = 0;                             // between the final reply and the data's end
    std::optional<std::vector<std::string>> listing; // LIST pieces, sent apart
    int pieceDelayMs = 30;                           // pause between two listing pieces
    long long cutDataAfter = -1; // close the data connection after this many bytes
    bool resetData = false;      // the data connection ends with a reset, not a close
    bool intruder = false;       // a stranger connects to the PORT address first
    // PORT: the server connects back as soon as it reads the command, before its delay
    // and its reply, and keeps that connection for the next transfer.
    bool connectOnPort = false;
    // EPSV, PASV: listen on a loopback port of our own and name it; PASV names
    // `passiveHost` (dotted) as its address. With `deadPort` nobody listens there any more
    // once the reply has gone.
    bool passive = false;
    std::string passiveHost = "127.0.0.1";
    bool deadPort = false;
    bool silentPort = false; // the port's queue is full: a connection there gets no answer

    TFtpRule& Arg(std::string a) { return argument = std::move(a), *this; }
    TFtpRule& Uses(int n) { return uses = n, *this; }
    TFtpRule& Delay(int ms) { return delayMs = ms, *this; }
    TFtpRule& Drip() { return drip = true, *this; }
    TFtpRule& Reply(std::string line) { return lines = {std::move(line)}, *this; }
    TFtpRule& Lines(std::vector<std::string> l) { return lines = std::move(l), *this; }
    // `bytes` after the reply's lines, `afterMs` later: a client that reads on past the
    // reply (a TLS handshake after 234) gets them as a piece of their own.
    TFtpRule& Raw(std::string bytes, int afterMs = 0) {
        rawDelayMs = afterMs;
        return raw = std::move(bytes), *this;
    }
    TFtpRule& Silent() { return lines.clear(), *this; }
    TFtpRule& CloseControl(TClose when) { return closeControl = when, *this; }
    // A transfer command refused outright: no preliminary reply, no connection back.
    TFtpRule& Refuse(std::string line) {
        preliminary.clear();
        noData = true;
        return Reply(std::move(line));
    }
    TFtpRule& Preliminary(std::vector<std::string> l) { return preliminary = std::move(l), *this; }
    TFtpRule& PreliminaryAfterData(int waitMs) { return preliminaryAfterDataMs = waitMs, *this; }
    TFtpRule& FinalBeforeDataEnds(int pauseMs = 100) {
        finalBeforeDataEnds = true;
        return dataPauseMs = pauseMs, *this;
    }
    TFtpRule& FinalAfterDataEnds(int pauseMs = 100) {
        finalBeforeDataEnds = false;
        return dataPauseMs = pauseMs, *this;
    }
    TFtpRule& Listing(std::vector<std::string> pieces) {
        return listing = std::move(pieces), *this;
    }
    TFtpRule& CutDataAfter(long long bytes) { return cutDataAfter = bytes, *this; }
    TFtpRule& ResetData() { return resetData = true, *this; }
    TFtpRule& Intruder() { return intruder = true, *this; }
    TFtpRule& ConnectOnPort() { return connectOnPort = true, *this; }
    TFtpRule& Passive(std::string host = "127.0.0.1") {
        passive = true;
        return passiveHost = std::move(host), *this;
    }
    TFtpRule& DeadPort() { return passive = deadPort = true, *this; }
    TFtpRule& SilentPort() { return passive = silentPort = true, *this; }
};

// An FTP server for protocol tests, on 127.0.0.1 at a port the system picks. It serves
// one control connection at a time on its own thread, answers every command by the
// test's rules or, without one, like a plain UNIX server that accepts everything,
// records each command line exactly as received, connects back for PORT, serves LIST
// text and keeps what STOR sends. Without a LIST rule of its own, a listing of the
// directory CWD last entered names, with the set text, what STOR (by an absolute path)
// and MKD of the same session left there (in place of the text's lines for those names), as a
// server lists what it was sent; a new session sees the set text alone again.
class TFtpScriptServer {
public:
    TFtpScriptServer();
    ~TFtpScriptServer();
    TFtpScriptServer(const TFtpScriptServer&) = delete;
    TFtpScriptServer& operator=(const TFtpScriptServer&) = delete;

    uint16_t Port() const { return port_; }

    // A new rule for the command word (upper case) or, with "", for the greeting.
    // The reference stays valid until the server is destroyed; set it up before the
    // client sends the command.
    TFtpRule& On(const std::string& verb);
    // The listing that LIST sends without a rule of its own.
    void SetListing(std::string text);
    // The listing that LIST sends in `dir` (as CWD last set it) without a rule of its own,
    // in place of the set text: a tree that several sessions can walk in any order.
    void SetListingOf(const std::string& dir, std::string text);
    // EPSV and PASV answered with a port of ours that the next transfer accepts on (rules
    // added later still come first).
    void AcceptPassive();
    // Where STOR writes its files too (besides keeping them); empty: nowhere.
    void SetStoreDirectory(std::string dir);

    // Every command line received, without CR LF, over all sessions.
    std::vector<std::string> Commands() const;
    // The bytes each STOR sent, by its argument; a file renamed (RNFR, RNTO) is kept under
    // its new name, and one deleted (DELE) is gone.
    std::map<std::string, std::string> Stored() const;
    bool HasStored(const std::string& path) const;
    int Sessions() const { return sessions_; }
    int DataConnections() const { return dataConnections_; }
    // Bytes that came on a data connection before the preliminary reply of its transfer
    // went (rules with PreliminaryAfterData), over all transfers.
    long long EarlyDataBytes() const { return earlyDataBytes_; }
    // How the last stranger fared: closed by the client without a byte, or not.
    bool IntruderRefused() const { return intruderRefused_; }
    // The control connection of the current session has ended.
    bool SessionOver() const { return sessionOver_; }

private:
    void Run();
    void Serve(int control);
    bool ReadCommand(int control, std::string& pending, std::string& line);
    TFtpRule PickRule(const std::string& verb, const std::string& argument);
    void Answer(int control, const std::string& verb, const std::string& argument,
                const TFtpRule& rule, bool& closeSession);
    void Transfer(int control, const std::string& verb, const std::string& argument,
                  const TFtpRule& rule);
    // Follows a rename or a delete in what STOR kept, where the rule's reply grants it.
    void Follow(const std::string& verb, const std::string& argument, const TFtpRule& rule);
    int ConnectBack();
    // The transfer's data connection: one made early on PORT, the passive one, or one
    // made back now. -1 when there is none.
    int TakeDataConnection();
    void TryIntruder();
    void ConnectEarly(const std::string& argument);
    void OfferPassive(int control, const std::string& verb, const TFtpRule& rule);
    int AcceptPassiveConnection();
    bool SendReply(int fd, const std::vector<std::string>& lines, const std::string& raw,
                   bool drip);
    bool SendBytes(int fd, const char* data, size_t size);
    bool WaitFor(int fd, short events, int timeoutMs);
    void Sleep(int ms);

    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TFtpRule>> rules_;
    std::map<const TFtpRule*, int> used_;
    std::vector<std::string> commands_;
    std::map<std::string, std::string> stored_;
    std::string listing_;
    std::map<std::string, std::string> listingsOf_;
    std::string storeDir_;
    std::string renameFrom_;          // the name RNFR took, until RNTO
    std::string cwd_ = "/";           // as CWD last set it
    std::set<std::string> made_;      // directories MKD made in this session
    std::set<std::string> madeFiles_; // files STOR made in this session
    // The set text, with what STOR and MKD left in cwd_ in place of its lines for the
    // same names; under the mutex.
    std::string ListingHere() const;
    std::string dataHost_;
    uint16_t dataPort_ = 0;
    int earlyData_ = -1;            // a data connection made on PORT, waiting for its transfer
    int passiveListener_ = -1;      // after EPSV or PASV, until the transfer or PORT
    std::vector<int> queueFillers_; // connections that keep a silent port's queue full

    std::atomic<int> sessions_{0};
    std::atomic<int> dataConnections_{0};
    std::atomic<long long> earlyDataBytes_{0};
    std::atomic<bool> intruderRefused_{false};
    std::atomic<bool> sessionOver_{false};
};

// A listing's text: each line ended as servers end them.
std::string Lines(const std::vector<std::string>& lines);

// Listings served one after the other, in the order they are asked for.
void ListingsInOrder(TFtpScriptServer& server, const std::vector<std::vector<std::string>>& in);

} // namespace pelmora::testing
