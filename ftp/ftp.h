#pragma once

#include "ftp/features.h"
#include "ftp/ftp_data.h"
#include "ftp/ftp_types.h"
#include "ftp/line_splitter.h"
#include "ftp/listing_entry.h"
#include "ftp/reply_reader.h"
#include "ftp/server_traits.h"
#include "net/connection_settings.h"
#include "net/star_sock.h"
#include "net/tls_stream.h"
#include "toolkit/string_list.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace pelmora {

// Notifications the component posts to its own window; they arrive after the running
// handler returns, in posting order.
constexpr uint32_t WM_FTP_AVAILABLE = WM_USER + 2; // 1026
constexpr uint32_t WM_FTP_ERROR = WM_USER + 3;     // 1027
constexpr uint32_t WM_FTP_READY = WM_USER + 4;     // 1028

// One listing may hold this much and no more: a server that never ends its listing
// must not fill our memory until the caller gives up.
constexpr int64_t MaxListingBytes = 64LL * 1024 * 1024;
constexpr int MaxListingLines = 1000000;

// The slot number by which a transfer knows its passive data connection: beyond the
// data component's slots, so no news of an accepted connection is ever taken for it.
constexpr int32_t PassiveDataSlot = SlotCount + 1;

// What the next final reply answers.
enum class TReplyState : uint8_t {
    Idle,
    Greeting,
    User,
    Pass,
    Acct,
    Syst,
    InitialCwd,
    Pwd,  // of a listing, before its data commands
    Type, // the data commands of a listing or an upload: TYPE, PORT, LIST or STOR
    Port,
    Transfer, // LIST or STOR: the data connection runs
    Simple,
    Quit,
    Epsv, // passive data commands: EPSV, then PASV when it is refused
    Pasv,
    PassiveConnect, // our connection to the server's passive data port is on its way
    Feat,           // after the login, before OnLoggedIn
    FileTime,       // MFMT, MDTM or SITE UTIME with a time to set
    FileTimeQuery,  // MDTM asking a file's time
    AuthTls,        // AUTH TLS, before the login
    TlsHandshake,   // the control connection's TLS handshake runs
    Pbsz,           // PBSZ 0, after the login on a secured session
    Prot,           // PROT P
    OptsUtf8,       // OPTS UTF8 ON, after FEAT listed UTF8
    RenameFrom,     // RNFR, waiting for 350
    RenameTo,       // RNTO
};
const char* ReplyStateName(TReplyState state);

// Where a PASV reply tells us to connect: the address in dotted form and the port.
struct TPassiveTarget {
    std::string address;
    uint16_t port = 0;
};
// A server certificate that failed verification and was not trusted by fingerprint: what
// it says of itself, why it failed, and whether a different one was trusted for the
// server (it changed since, or someone stands between us and the server).
struct TCertificateRefusal {
    std::string host; // the name or address the certificate was checked for
    TCertificateInfo certificate;
    std::string reason; // "self-signed certificate", "IP address mismatch" and the like
    bool changed = false;
    std::string trustedBefore; // when changed: the fingerprint trusted until now, "AB:CD:..."
};

// The six numbers of a 227 reply ("227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)"); the
// parentheses are optional. Nothing for a reply without six numbers from 0 to 255 in a
// row, or with port 0.
std::optional<TPassiveTarget> ParsePasvReply(const std::string& line);
// The port of a 229 reply ("229 Entering Extended Passive Mode (|||port|)"): the
// delimiter is the first character inside the parentheses. Nothing without a port from
// 1 to 65535.
std::optional<uint16_t> ParseEpsvReply(const std::string& line);

// The operation whose completion event follows the next ready.
enum class TFtpOperation : uint8_t {
    None,
    LogIn,       // OnLoggedIn
    ChangeDir,   // OnDirectoryChanged
    MakeDir,     // OnDirectoryCreated
    RemoveDir,   // OnDirectoryDeleted
    DeleteFile,  // OnFileDeleted
    Put,         // OnFileStored
    GetListing,  // OnListingDone
    SetFileTime, // OnFileTimeSet
    GetFileTime, // OnFileTimeReceived
    Rename,      // OnFileRenamed
};

// False for a name or path with a line break in it: it would end our command early and
// smuggle in a command of its own.
bool SafeArgument(const std::string& text);

// The text after "PORT " for a listener at this dotted address and port.
std::string PortArgument(const std::string& dottedAddress, uint16_t port);

// A time as FTP's time commands write it, "YYYYMMDDHHMMSS" in UTC.
std::string FtpTimeText(int64_t utcSeconds);

// The time of an MDTM reply ("213 20240101120000" or "213 20240101120000.123"), in
// seconds since 1970 UTC; nothing for any other reply.
std::optional<int64_t> TimeOfMdtmReply(const std::string& line);

// The directory a PWD reply names: the quoted path with its doubled quotes made single
// (257 "/a""b" is current -> /a"b), or, from a server that leaves the quotes out, the
// first word after the code. Empty when the reply names none.
std::string DirectoryOfPwdReply(const std::string& line);

// What a failed connect to host:port means in plain words, from the socket error code
// that ended it (0 when none is known).
std::string ConnectFailureText(int32_t error, const std::string& host, uint16_t port);

// The component's own settings beside the connection settings: what a session does once
// logged in, and the limits it keeps. The extra sessions of a run take the main one's.
struct TFtpOptions {
    // ACCT, for a server that asks for an account after the password; asked for through
    // OnFtpNeedInfo when empty.
    std::string account;
    // The directory the session changes to once logged in; no later operation changes it.
    std::string initialDirectory;
    // On: listings use MLSD where the server offers it. Off by default, since some
    // servers' MLSD follows links and reports each as what it points to: a caller that
    // must leave links alone (a walk that deletes) turns it on only where it can tell
    // links otherwise, or off for a server whose MLSD is broken.
    bool useMlsd = false;
    // How long a connection to a passive port may take: a port that a firewall drops
    // silently would otherwise hold the operation for the system's whole connect time-out.
    uint32_t passiveConnectTimeout = 10000; // ms
    // A listing past either cap fails ("Listing too long").
    int64_t listingByteCap = MaxListingBytes;
    int listingLineCap = MaxListingLines;
};

// The client side of FTP and FTPS over one control connection, with a data component
// for listings and uploads: passive (EPSV, then PASV) or active (PORT) data connections
// as the connection settings' data mode says, TLS on the control and data connections
// as their TLS mode says. Every operation takes its arguments, checks its preconditions,
// sends its first command and returns; the outcome arrives later through the events,
// from the component's own message queue.
//
// Inside: the reply to each command goes to the handler of the reply state the command
// set (ftp_replies.cpp); a listing and an upload share the data commands (TYPE, then
// EPSV, PASV or PORT, then LIST or STOR), and their data side is one TTransfer
// (ftp_transfer.h) that reports once, when the server's final reply and the end of the
// data connection have both come. What the session learns about the server is one
// TServerTraits.
class TFtp : public TStarSock {
public:
    explicit TFtp(TObject* owner = nullptr);
    ~TFtp() override;

    // Operations.
    // Opens a session with these settings, kept until the next Connect: the control
    // connection goes to their DialHost and DialPort and logs in as their LoginUser.
    void Connect(const TConnectionSettings& settings);
    void ChangeDir(const std::string& dir);
    void MakeDir(const std::string& dir);
    void RemoveDir(const std::string& dir);
    void DeleteFile(const std::string& name);
    // Uploads the local file to `remotePath` (STOR) as binary or ASCII; OnFileStored
    // follows the ready.
    void Put(const std::string& localPath, const std::string& remotePath, TTransferType mode);
    // A listing fills Listing, Entries, Files and Directories and CurrentDirectory (from
    // PWD). A server that answers LIST with 450 or 550 at once, before any transfer, ends
    // the listing empty and without an error: many servers say so of an empty directory,
    // but others of one they will not list, so ListingRefused tells the caller.
    // Where the server offers MLSD (and Options.useMlsd is on) the listing is read with
    // MLSD, for its exact times and sizes; a server that then refuses MLSD is listed with
    // LIST for the rest of the session.
    void GetListing();
    // The names of the current directory alone (NLST; "NLST -a" on a UNIX server, whose
    // plain NLST leaves dot-files out), one a line in Listing; ends like GetListing.
    void GetNameListing();
    // Sets the time of a remote file to `utcSeconds` (seconds since 1970 UTC): MFMT where
    // the server offers it, otherwise the forms other servers take (MDTM or SITE UTIME
    // with a time). A form the server refuses is not tried again in this session; once
    // none is left, Traits().FileTimeSettable() is false and the call fails at once,
    // sending nothing. A refusal fails the operation, never the session. OnFileTimeSet
    // follows the ready.
    void SetFileTime(const std::string& remotePath, int64_t utcSeconds);
    // Asks the server for a remote file's time (MDTM); LastFileTime holds it after the
    // ready, OnFileTimeReceived follows.
    void GetFileTime(const std::string& remotePath);
    // Renames `from` to `to` (RNFR, then RNTO); OnFileRenamed follows the ready. A server
    // that answers either command as unknown (500, 502 or 504) has no rename for the
    // rest of the session: Traits().RenameOffered() turns false.
    void Rename(const std::string& from, const std::string& to);
    // Idle: QUIT, and the server ends the session. While anything runs (a connect, the
    // login, an operation): a disconnect at once, the operation reported as cut short.
    void Quit();
    // Stops everything at once: the transfer, its local file and the control connection.
    // Connect works right after; notifications of the old session are dropped then.
    void Abort();

    TFtpOptions Options;

    TFtpInfoEvent OnFtpInfo;
    TFtpInfoNeededEvent OnFtpNeedInfo;
    TNotifyEvent OnFtpReady;
    TFtpInfoEvent OnFtpError;
    TNotifyEvent OnLoggedIn;
    TNotifyEvent OnDirectoryChanged;
    TNotifyEvent OnDirectoryCreated;
    TNotifyEvent OnDirectoryDeleted;
    TNotifyEvent OnFileDeleted;
    TNotifyEvent OnFileStored;
    TNotifyEvent OnListingDone;
    TNotifyEvent OnFileRenamed;
    TNotifyEvent OnFtpQuit;
    TNotifyEvent OnFileTimeSet;
    TNotifyEvent OnFileTimeReceived;
    // Each change of Status, of ReplyState and of a transfer's phase, by name ("Status
    // Busy -> CommandReady", "Reply Pwd -> Type", "Transfer VerbSent -> DataEnded"), for
    // logs and test transcripts.
    std::function<void(const std::string&)> OnTrace;

    // Run-time state.
    // The settings of the latest Connect (before any: the component's own, active data
    // connections and no TLS); the extra sessions of a run are opened with a copy. The
    // server and the login are read at Connect only, the data and TLS modes as the session
    // goes: a change here sends the next copy elsewhere, and nothing else should change.
    const TConnectionSettings& Settings() const { return settings_; }
    TConnectionSettings& Settings() { return settings_; }
    // What this session has learnt about its server.
    const TServerTraits& Traits() const { return traits_; }
    FtpInfo Status() const { return status_; }
    bool Connected() const { return connected_; }
    FtpInfo LastError() const { return lastError_; }
    bool Success() const { return success_; }
    // Where the server says we are, as its latest PWD reply (of a listing) named it.
    const std::string& CurrentDirectory() const { return listing_.directory; }
    // The latest listing was read with MLSD: Entries hold exact UTC times.
    bool ListingByMlsd() const { return listing_.byMlsd; }
    // The last listing's final line came without its line end: its connection was closed
    // in the middle of a line (cut short on the way), or the server leaves the end off.
    bool ListingEndedMidLine() const { return listing_.endedMidLine; }
    // The last listing was answered 450 or 550 at once, before any transfer: it holds
    // nothing, and that proves nothing of the directory.
    bool ListingRefused() const { return listing_.refused; }
    // The time of the latest GetFileTime, in seconds since 1970 UTC; nothing when it failed.
    std::optional<int64_t> LastFileTime() const { return request_.fileTime; }
    // The latest Rename got past RNFR: a refusal came from RNTO, so the source exists.
    bool RenameSourceTaken() const { return request_.renameSourceTaken; }
    TFtpData* FtpDataComponent() const { return data_.get(); }
    TStringList& Listing() { return listing_.lines; }
    // The entries of the last listing, each line read once under the rules of the
    // server's type; Files and Directories (links among them) are their names.
    const std::vector<TListedEntry>& Entries() const { return listing_.entries; }
    TStringList& Files() { return listing_.files; }
    TStringList& Directories() { return listing_.directories; }
    // Of the latest listing or upload.
    int64_t BytesTransferred() const;
    // The data component's slot of the data connection, PassiveDataSlot for a passive
    // one, 0 for none.
    int DataSlot() const;
    TFtpOperation Operation() const { return operation_; }
    bool AbortRequested() const { return abortRequested_; }
    // The tick of the session's latest sign of life: a command sent, a reply line
    // received, listing bytes received or upload bytes sent. A caller waits on this
    // going quiet rather than on a fixed deadline.
    uint32_t LastActivity() const { return lastActivity_; }
    // The final reply line that ended the last operation ("550 Permission denied"),
    // kept until the next operation starts.
    const std::string& LastReplyText() const { return lastReplyText_; }
    // Why this session went on in clear after the server took AUTH TLS, or empty.
    const std::string& TlsFallback() const { return tls_.fallback; }
    // Set when the latest Connect ended because the server's certificate was refused;
    // kept until the next Connect.
    const std::optional<TCertificateRefusal>& CertificateRefusal() const { return tls_.refusal; }

private:
    class TTransfer;
    using THandler = void (TFtp::*)(char kind, const std::string& line);
    struct TDispatchRow {
        TReplyState state;
        THandler handler;
    };
    static const TDispatchRow dispatchTable_[];
    struct TLoginStep {
        TReplyState state;
        const char* verb;
        TFtpInfoNeeded need;
        const char* deniedText; // what OnFtpInfo says when this step is refused
    };
    static const TLoginStep loginSteps_[];

    // The results of the latest listing.
    struct TListingResult {
        TStringList lines;
        std::vector<TListedEntry> entries;
        TStringList files;
        TStringList directories;
        std::string directory; // as PWD named it
        bool byMlsd = false;
        bool endedMidLine = false;
        bool refused = false;
        bool names = false; // an NLST
    };
    // The control connection's TLS and what became of it.
    struct TTlsState {
        // From the server's 234 on.
        std::unique_ptr<TTlsStream> control;
        // Set when a handshake failed and the next session of this Connect goes without
        // TLS; kept across that reconnect, cleared by the next Connect.
        std::string fallback;
        std::optional<TCertificateRefusal> refusal;
    };
    // The data commands of the running transfer, and what auto mode met on its way to a
    // data connection in this session.
    struct TDataSetup {
        TDataCommand command = TDataCommand::None; // how the running transfer connects
        std::string target;                        // "address:port" of a passive connection
        char typeAsked = 0;                        // the TYPE awaiting its reply
        std::string epsvAnswer;     // the refusal of EPSV, for the words of a later failure
        std::string passiveFailure; // why auto mode gave passive up
        bool foreignPasvTraced = false;
    };
    // The arguments and the outcome of the running (or latest) time or rename operation.
    struct TRequest {
        TTimeForm timeForm = TTimeForm::None;
        std::string timePath;
        int64_t timeValue = 0;
        std::optional<int64_t> fileTime;
        std::string renameTarget;
        bool renameSourceTaken = false;
    };
    // Reading the control connection.
    struct TControlReader {
        TLineSplitter lines;
        TReplyReader reader;
        bool inReply = false; // a reply's handler runs: nothing below it reads the socket
        bool writable = false;
    };
    // The login's last steps: FEAT's answer while it comes, and the reply that logged in.
    struct TLoginState {
        std::vector<std::string> featureLines;
        std::string replyText;
    };

    // Reporting (ftp.cpp).
    // The component's own notifications, in posting order.
    void HandleNotification(TMessage& message);
    void Info(FtpInfo code, const std::string& addInfo);
    // `reason` reaches OnFtpError as its addInfo, in plain words.
    void ReportError(FtpInfo code, const std::string& reason = std::string());
    void PostReady();
    void PostAvailable();
    // The event that tells the owner this operation has ended; none for None.
    const TNotifyEvent* CompletionEvent(TFtpOperation operation) const;
    void SetStatus(FtpInfo status);
    void SetReplyState(TReplyState state);
    void Trace(const char* what, const char* from, const char* to);
    // The host as the user gave it, and "host:port".
    std::string HostText() const;
    std::string ServerText() const;

    // Ending things (ftp.cpp).
    // Forgets the control connection's state, as after a session that has ended.
    void ResetSession();
    void FailSession(FtpInfo code, const std::string& reason = std::string());
    // The connection itself failed: the session ends and Status shows why until the
    // session's end arrives.
    void BreakSession(FtpInfo code, const std::string& reason);
    // The server refused a step: this operation fails, the session goes on.
    void FailOperation(const std::string& reason);
    // Quit while something runs: the operation stops and the connection goes.
    void Disconnect();

    // Starting operations (ftp.cpp).
    // Names the server to dial, asking the owner when the settings name none; false
    // (reported) when none is to be had.
    bool TakeServer();
    void OpenControlConnection();
    // The checks of every operation but Connect, Put and Abort: a session, and no
    // other operation running. A refused call has reported its code and returns true.
    bool RefusedUnlessReady();
    // GetListing, or GetNameListing with `names`.
    void StartListing(bool names);
    bool BeginSimple(TFtpOperation operation, const std::string& command,
                     const std::string& argument, TReplyState next = TReplyState::Simple);
    void RefuseUnsafe();
    // The local file of an upload, open for reading, or -1 (reported).
    int OpenLocalFile(const std::string& localPath);

    // Control connection and replies (ftp_replies.cpp).
    void SockConnected();
    void SockClosed();
    // `failure` is the code a failing receive reports.
    void SockRead(FtpInfo failure);
    // Hands each complete control line to HandleReply; false once a handler has ended
    // `session` (or started the next one).
    bool DispatchLines(uint32_t session);
    // One control line; only the final line of a reply is acted on.
    void HandleReply(const std::string& line);
    bool SendLine(const std::string& text);
    void SendCommand(const std::string& text, TReplyState next);
    // The login's steps are done: FEAT goes out, and its answer ends the login.
    void LoggedIn();
    void FinishLogin();
    void DetectServerType(const std::string& line);
    void DenyLogin(const std::string& text, const std::string& reason);
    // Where the value of a login step is kept: the settings' user or password, the
    // options' account.
    std::string& LoginSlot(TFtpInfoNeeded need);
    // Sends the value of this login step, asking the owner for it when it is missing (or
    // denies the login when it cannot go into a command).
    void SendLoginStep(size_t step);
    void OnGreeting(char kind, const std::string& line);
    void OnLoginReply(char kind, const std::string& line);
    void OnSystReply(char kind, const std::string& line);
    void OnInitialCwdReply(char kind, const std::string& line);
    void OnPwdReply(char kind, const std::string& line);
    void OnSimpleReply(char kind, const std::string& line);
    void OnQuitReply(char kind, const std::string& line);
    void OnFeatReply(char kind, const std::string& line);

    // TLS on the control connection (ftp_replies.cpp).
    void OnAuthTlsReply(char kind, const std::string& line);
    // Feeds what the socket brought to the handshake and answers the server; true once
    // the handshake has ended, one way or the other.
    void ContinueHandshake();
    // The handshake is done: the certificate decides whether the login goes on.
    void HandshakeDone();
    // The handshake broke for `reason` (the library's words, or the server's close):
    // under Auto, for a server never secured before, the session starts again without
    // TLS; otherwise it ends before the login.
    void HandshakeFailed(const std::string& reason);
    // What the mode says when the session would go on in clear: "" when it may,
    // otherwise why not and which setting changes that.
    std::string ClearRefusal() const;
    void OnPbszReply(char kind, const std::string& line);
    void OnProtReply(char kind, const std::string& line);
    void OnOptsUtf8Reply(char kind, const std::string& line);
    // Bytes as they are to go onto the control connection; false when it broke.
    bool SendRaw(std::string bytes);

    // Setting and asking a file's time (ftp_replies.cpp).
    void SendFileTime();
    void OnFileTimeReply(char kind, const std::string& line);
    void OnFileTimeQueryReply(char kind, const std::string& line);

    // Renaming (ftp_replies.cpp).
    void OnRenameFromReply(char kind, const std::string& line);
    void OnRenameToReply(char kind, const std::string& line);
    // A refusal of RNFR or RNTO ends the operation; one that says the command is unknown
    // ends renaming for the session.
    void RenameRefused(const std::string& line);

    // The data commands of a listing or an upload (ftp_replies.cpp).
    // Takes the transfer's part of the operation over from here: TYPE goes out.
    void BeginTransfer(std::shared_ptr<TTransfer> transfer);
    // Listens for the server's data connection; the PORT argument, or nothing when the
    // session has failed.
    std::optional<std::string> ListenForData();
    std::string TransferVerb() const;
    void OnTypeReply(char kind, const std::string& line);
    void OnPortReply(char kind, const std::string& line);
    void OnTransferReply(char kind, const std::string& line);
    // The transfer's one report: both of its ends have come.
    void TransferEnded();
    // Passive data commands (ftp_replies.cpp).
    // TYPE has been accepted: EPSV, PASV or PORT, by the mode and what the session has
    // learnt so far.
    void SendDataCommand();
    void SendPort();
    void SendPasv();
    void OnEpsvReply(char kind, const std::string& line);
    void OnPasvReply(char kind, const std::string& line);
    // Both passive commands were refused, or the connection to the passive port could not
    // be made: active mode where the mode allows, otherwise the operation fails.
    void PassiveFailed(const std::string& reason);
    // Connects to `port` of the control connection's peer, whatever address the server
    // named; the verb goes out once the connection is made.
    void ConnectPassive(const std::string& namedAddress, uint16_t port, TDataCommand how);
    void PassiveConnected();
    // The address of the control connection's peer, dotted.
    std::string PeerAddress() const;
    // The data connection of the running transfer has been made.
    void DataConnectionMade();
    // Ends whatever transfer runs; it reports nothing.
    void CancelTransfer();

    TConnectionSettings settings_;
    TServerTraits traits_;
    std::unique_ptr<TFtpData> data_;
    // Our end of a passive data connection; the transfer knows it as PassiveDataSlot.
    std::unique_ptr<TStarSock> passive_;
    std::unique_ptr<QTimer> passiveDeadline_;
    // The latest listing or upload; kept once ended for its counters.
    std::shared_ptr<TTransfer> transfer_;
    TListingResult listing_;
    TDataSetup dataSetup_;
    TTlsState tls_;
    TRequest request_;
    TLoginState login_;

    FtpInfo status_ = ftpAvailable;
    FtpInfo lastError_ = ftpNoError;
    bool connected_ = false;
    bool success_ = false;
    TReplyState replyState_ = TReplyState::Idle;
    TFtpOperation operation_ = TFtpOperation::None;
    bool abortRequested_ = false;

    TControlReader control_;
    // Counts sessions; a notification posted for an earlier one is dropped.
    uint32_t session_ = 0;
    std::deque<std::string> errorTexts_; // addInfo of each error posted, in order
    std::string lastReplyText_;
    uint32_t lastActivity_ = 0;
};

} // namespace pelmora
