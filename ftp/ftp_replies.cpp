// The control connection of TFtp: reading replies, and the handler of each reply state.
#include "ftp/ftp.h"

#include "ftp/ftp_transfer.h"
#include "net/sock_errors.h"
#include "net/socket_library.h"
#include "toolkit/messages.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace pelmora {

std::string DirectoryOfPwdReply(const std::string& line) {
    const std::string text = line.size() > 4 ? line.substr(4) : std::string();
    const size_t open = text.find('"');
    if (open == std::string::npos) {
        const size_t begin = text.find_first_not_of(' ');
        if (begin == std::string::npos)
            return std::string();
        return text.substr(begin, text.find(' ', begin) - begin);
    }
    // A quote inside the name is doubled; a single one ends it.
    std::string directory;
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                directory += '"';
                ++i;
                continue;
            }
            break;
        }
        directory += text[i];
    }
    return directory;
}

std::string FtpTimeText(int64_t utcSeconds) {
    const TListedDate date = DateOfUtcSeconds(utcSeconds);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", date.year, date.month, date.day,
                  date.hour, date.minute, date.second);
    return text;
}

std::optional<int64_t> TimeOfMdtmReply(const std::string& line) {
    if (line.size() < 5 || line.compare(0, 4, "213 ") != 0)
        return std::nullopt;
    std::string text = line.substr(4);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    // "20240101120000", perhaps with a fraction of a second that we do not keep.
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    if (whole.size() != 14 || whole.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    if (dot != std::string::npos &&
        (dot + 1 == text.size() ||
         text.find_first_not_of("0123456789", dot + 1) != std::string::npos))
        return std::nullopt;
    const auto field = [&](size_t at, size_t size) { return std::stoi(whole.substr(at, size)); };
    return UtcSecondsOf(field(0, 4), field(4, 2), field(6, 2), field(8, 2), field(10, 2),
                        std::min(field(12, 2), 59));
}

namespace {

// A reply to a time-setting command that names a time other than the one we sent only
// reports the file's time: the server took our time as a piece of a file name.
bool ReportsOtherTime(const std::string& line, int64_t wanted) {
    const auto reported = TimeOfMdtmReply(line);
    return reported && *reported != wanted;
}

// Replies that say the command, or the way we wrote it, is not known here.
bool NotUnderstood(const std::string& line) {
    const std::string code = line.substr(0, 3);
    return code == "500" || code == "501" || code == "502" || code == "504";
}

// Words of a SYST reply and the server type each means; a later one wins.
constexpr std::pair<const char*, TFTPServerType> systemWords[] = {
    {"UNIX", ftpstUNIX}, {"CLIX", ftpstClix}, {"ULTRIX", ftpstULTRIX},       {"MVS", ftpstMVS},
    {"QVT", ftpstQVT},   {"NCSA", ftpstNCSA}, {"CHAMELEON", ftpstChameleon},
};

} // namespace

// What the login sends, in order; each value the owner has left empty is asked for.
const TFtp::TLoginStep TFtp::loginSteps_[] = {
    {TReplyState::User, "USER", ftpniUserName, "AccessDenied"},
    {TReplyState::Pass, "PASS", ftpniPassword, "Access Denied"},
    {TReplyState::Acct, "ACCT", ftpniAccount, "Access Denied"},
};

const TFtp::TDispatchRow TFtp::dispatchTable_[] = {
    {TReplyState::Greeting, &TFtp::OnGreeting},
    {TReplyState::User, &TFtp::OnLoginReply},
    {TReplyState::Pass, &TFtp::OnLoginReply},
    {TReplyState::Acct, &TFtp::OnLoginReply},
    {TReplyState::Syst, &TFtp::OnSystReply},
    {TReplyState::InitialCwd, &TFtp::OnInitialCwdReply},
    {TReplyState::Pwd, &TFtp::OnPwdReply},
    {TReplyState::Type, &TFtp::OnTypeReply},
    {TReplyState::Port, &TFtp::OnPortReply},
    {TReplyState::Transfer, &TFtp::OnTransferReply},
    {TReplyState::Simple, &TFtp::OnSimpleReply},
    {TReplyState::Quit, &TFtp::OnQuitReply},
    {TReplyState::Epsv, &TFtp::OnEpsvReply},
    {TReplyState::Pasv, &TFtp::OnPasvReply},
    {TReplyState::Feat, &TFtp::OnFeatReply},
    {TReplyState::FileTime, &TFtp::OnFileTimeReply},
    {TReplyState::FileTimeQuery, &TFtp::OnFileTimeQueryReply},
    {TReplyState::AuthTls, &TFtp::OnAuthTlsReply},
    {TReplyState::Pbsz, &TFtp::OnPbszReply},
    {TReplyState::Prot, &TFtp::OnProtReply},
    {TReplyState::OptsUtf8, &TFtp::OnOptsUtf8Reply},
    {TReplyState::RenameFrom, &TFtp::OnRenameFromReply},
    {TReplyState::RenameTo, &TFtp::OnRenameToReply},
};

// ---------------------------------------------------------------------------------
// Sending

bool TFtp::SendLine(const std::string& text) {
    std::string rest = text + "\r\n";
    Info(ftpCommandSent, text);
    lastActivity_ = GetTickCount();
    if (tls_.control && tls_.control->Established()) {
        if (!tls_.control->WritePlain(rest.data(), static_cast<int32_t>(rest.size()))) {
            BreakSession(ftpSocketWriteError, "TLS on the connection to " + ServerText() +
                                                  " broke: " + tls_.control->Failure());
            return false;
        }
        rest = tls_.control->TakeCipher();
    }
    return SendRaw(std::move(rest));
}

bool TFtp::SendRaw(std::string rest) {
    for (;;) {
        ProcessMessages();
        int32_t sent = 0;
        control_.writable = false;
        try {
            sent = SendText(rest);
        } catch (const ESockError&) {
            Info(ftpSocketWriteError, "Write error");
            // Reported as an error with its ready too, so a caller waiting for the
            // outcome learns it now and not at its time-out.
            BreakSession(ftpSocketWriteError, "Connection to " + ServerText() + " lost");
            return false;
        }
        if (sent >= static_cast<int32_t>(rest.size()))
            return true;
        rest.erase(0, static_cast<size_t>(sent));
        if (sent == 0)
            WaitUntil([this] { return control_.writable || Socket->Handle == INVALID_SOCKET; },
                      GetTickCount() + 1000);
    }
}

void TFtp::SendCommand(const std::string& text, TReplyState next) {
    SendLine(text);
    SetReplyState(next);
}

// ---------------------------------------------------------------------------------
// Control connection

void TFtp::SockConnected() {
    SetReplyState(TReplyState::Greeting);
    Info(ftpConnected, HostAddress);
    connected_ = true;
    control_.lines.Clear();
    control_.inReply = false;
    // A connect that failed is reported as connected all the same, and no read or
    // close follows: without a peer there is no session to wait for.
    TSockAddrIn peer;
    int32_t length = sizeof peer;
    if (ConnectError != 0 || EntryPoints().getpeername(Socket->Handle, &peer, &length) != 0) {
        BreakSession(ftpSocketError, ConnectFailureText(ConnectError, HostText(), FtpPort));
        return;
    }
    lastActivity_ = GetTickCount();
    SockRead(ftpSocketReadError);
}

void TFtp::SockClosed() {
    if (replyState_ == TReplyState::TlsHandshake)
        return HandshakeFailed("the server closed the connection");
    Info(ftpDisconnected, "Disconnected");
    // A session that ends in the middle of an operation has not done it; the caller
    // must not take the ready that follows for success.
    if (replyState_ != TReplyState::Idle && replyState_ != TReplyState::Quit)
        ReportError(ftpDisconnected, "Connection closed by " + ServerText());
    // Whatever transfer ran has lost its session.
    CancelTransfer();
    SetReplyState(TReplyState::Idle);
    PostReady();
    PostAvailable();
    connected_ = false;
}

void TFtp::SockRead(FtpInfo failure) {
    if (control_.inReply)
        return; // the reader below us drains the socket when the running handler returns
    const uint32_t session = session_;
    for (;;) {
        std::string text;
        try {
            char bytes[ReceiveChunk];
            const int32_t got = Socket->Receive(bytes, ReceiveChunk);
            // Cipher text is binary: every byte counts, zeros too.
            text =
                tls_.control ? std::string(bytes, static_cast<size_t>(got)) : ChunkText(bytes, got);
        } catch (const ESockError&) {
            if (replyState_ == TReplyState::TlsHandshake)
                HandshakeFailed("the server broke off the connection");
            else if (connected_)
                BreakSession(failure, "Connection to " + ServerText() + " lost");
            return;
        }
        if (text.empty())
            return;
        if (tls_.control) {
            tls_.control->FeedCipher(text.data(), text.size());
            if (!tls_.control->Established()) {
                // Nothing below may read the socket while the handshake answers the server.
                control_.inReply = true;
                ContinueHandshake();
                control_.inReply = false;
                if (Socket->Handle == INVALID_SOCKET || session != session_)
                    return;
                continue;
            }
            text.clear();
            char plain[ReceiveChunk];
            int32_t got = 0;
            while ((got = tls_.control->ReadPlain(plain, ReceiveChunk)) > 0)
                text.append(plain, static_cast<size_t>(got));
            if (text.empty())
                continue;
        }
        if (!control_.lines.Feed(text)) {
            // A line without end: no server talks like that, and we will not hold it.
            BreakSession(ftpSocketReadError, "Reply line too long from " + ServerText());
            control_.lines.Clear();
            return;
        }
        if (!DispatchLines(session))
            return;
    }
}

bool TFtp::DispatchLines(uint32_t session) {
    std::string line;
    while (control_.lines.NextLine(line)) {
        lastActivity_ = GetTickCount();
        control_.inReply = true;
        Info(ftpReplyLine, line);
        HandleReply(line);
        control_.inReply = false;
        // A handler may have ended the session, or even started the next one.
        if (Socket->Handle == INVALID_SOCKET || session != session_)
            return false;
    }
    return true;
}

void TFtp::HandleReply(const std::string& line) {
    // FEAT's answer is in the lines before its final one. No server lists this many
    // features; a longer reply is kept no further.
    if (replyState_ == TReplyState::Feat && login_.featureLines.size() < 1000)
        login_.featureLines.push_back(line);
    if (!control_.reader.TakeLine(line))
        return;
    lastReplyText_ = line;
    for (const TDispatchRow& row : dispatchTable_)
        if (row.state == replyState_) {
            (this->*row.handler)(line[0], line);
            return;
        }
}

// ---------------------------------------------------------------------------------
// Login

void TFtp::DenyLogin(const std::string& text, const std::string& reason) {
    ReportError(ftpAccessDenied, reason);
    Info(ftpAccessDenied, text);
    SendLine("QUIT");
    SetReplyState(TReplyState::Quit);
}

std::string& TFtp::LoginSlot(TFtpInfoNeeded need) {
    if (need == ftpniUserName)
        return settings_.user;
    if (need == ftpniPassword)
        return settings_.password;
    return Options.account;
}

void TFtp::SendLoginStep(size_t step) {
    const TLoginStep& login = loginSteps_[step];
    // Through a firewall the user goes as "user@host", which is never empty.
    std::string value = login.need == ftpniUserName ? settings_.LoginUser() : LoginSlot(login.need);
    if (value.empty() && OnFtpNeedInfo) {
        // What the owner gives is kept, and not asked for again by the next Connect.
        OnFtpNeedInfo(this, login.need, value);
        LoginSlot(login.need) = value;
    }
    if (!SafeArgument(value))
        return DenyLogin(login.deniedText, std::string("A line break in the value for ") +
                                               login.verb + " cannot be sent");
    SendCommand(std::string(login.verb) + " " + value, login.state);
}

void TFtp::OnGreeting(char kind, const std::string& line) {
    if (kind != '2')
        return FailSession(ftpGreetingError, line);
    if (settings_.tlsMode == TTlsMode::Off || !tls_.fallback.empty()) {
        traits_.securityInUse =
            tls_.fallback.empty() ? "not encrypted" : "not encrypted: " + tls_.fallback;
        return SendLoginStep(0);
    }
    // Asked straight away rather than through FEAT: a server that has TLS says so by
    // taking the command, and one that has none answers it like any unknown command.
    SendCommand("AUTH TLS", TReplyState::AuthTls);
}

// ---------------------------------------------------------------------------------
// TLS on the control connection

std::string TFtp::ClearRefusal() const {
    if (settings_.tlsMode == TTlsMode::Require)
        return "with FTP.tls=require the login is not sent in clear; set FTP.tls=auto to "
               "allow a session without encryption";
    if (settings_.tlsSeenBefore)
        return "this site was secured with TLS before (FTP.tlsSeen), so FTP.tls=auto does not "
               "send the login in clear: someone may stand between us and the server. If the "
               "server really no longer offers TLS, set FTP.tlsSeen=0";
    return {};
}

void TFtp::OnAuthTlsReply(char kind, const std::string& line) {
    if (kind == '2') {
        tls_.control = std::make_unique<TTlsStream>();
        tls_.control->Begin(HostText());
        SetReplyState(TReplyState::TlsHandshake);
        return ContinueHandshake();
    }
    if (const std::string refusal = ClearRefusal(); !refusal.empty())
        return FailSession(ftpSocketError, "The server " + ServerText() +
                                               " offers no TLS (AUTH TLS: " + line +
                                               "): " + refusal);
    traits_.securityInUse = "not encrypted";
    if (OnTrace)
        OnTrace("The session is not encrypted: " + ServerText() + " offers no TLS (" + line + ")");
    SendLoginStep(0);
}

void TFtp::ContinueHandshake() {
    const TTlsStep step = tls_.control->Handshake();
    if (tls_.control->HasCipher() && !SendRaw(tls_.control->TakeCipher()))
        return;
    if (step == TTlsStep::Again)
        return;
    if (step == TTlsStep::Failed)
        return HandshakeFailed(tls_.control->Failure());
    HandshakeDone();
}

void TFtp::HandshakeFailed(const std::string& reason) {
    // Only a failure of the handshake itself: a certificate that failed its check was
    // refused after a complete handshake (HandshakeDone), and a stop is a stop.
    const std::string refusal = ClearRefusal();
    if (refusal.empty() && settings_.tlsMode == TTlsMode::Auto && !abortRequested_) {
        // Some servers answer AUTH TLS and then fail every handshake (no certificate set
        // up): under Auto that is a server without TLS, said on the security line.
        tls_.fallback = "the server offered TLS but could not complete it: " + reason +
                        "; continuing without encryption (set FTP.tls=off to stop asking, or "
                        "FTP.tls=require to refuse such a session)";
        if (OnTrace)
            OnTrace("Reconnecting to " + ServerText() + " without TLS: " + reason);
        Close();
        return OpenControlConnection();
    }
    // Under Auto only a stop gets here: it owes no setting.
    FailSession(ftpSocketError, "TLS could not be set up with " + ServerText() + " (" + reason +
                                    "). Nothing was sent" +
                                    (refusal.empty() ? std::string() : ": " + refusal));
}

void TFtp::HandshakeDone() {
    const TTlsStream& tls = *tls_.control;
    const std::string version = tls.Version();
    const std::string fingerprint = "SHA256:" + tls.Fingerprint();
    const std::string& failure = tls.VerifyFailure();
    const std::string trusted = NormalFingerprint(settings_.trustedCertificate);
    if (failure.empty()) {
        traits_.securityInUse = version + ", certificate verified";
    } else if (!trusted.empty() && trusted == tls.Fingerprint()) {
        traits_.securityInUse = version + ", trusted by fingerprint";
    } else if (!trusted.empty()) {
        tls_.refusal = TCertificateRefusal{HostText(), tls.Certificate(), failure, true, trusted};
        return FailSession(ftpSocketError,
                           "The certificate of " + HostText() +
                               " is NOT the one trusted by FTP.trustedCertificate: it has "
                               "changed, or someone stands between us and the server (" +
                               failure + "; the certificate now shown is " + fingerprint +
                               "). Nothing was sent; trust the new certificate only once you "
                               "know why it changed");
    } else {
        tls_.refusal = TCertificateRefusal{HostText(), tls.Certificate(), failure, false, {}};
        return FailSession(ftpSocketError, "The certificate of " + HostText() +
                                               " is not trusted (" + failure + "; " + fingerprint +
                                               "). Nothing was sent; to trust this one "
                                               "certificate: --configure FTP.trustedCertificate=" +
                                               fingerprint);
    }
    traits_.controlSecured = true;
    if (OnTrace)
        OnTrace("Secured: " + traits_.securityInUse + " (" + fingerprint + ")");
    SendLoginStep(0);
}

void TFtp::OnPbszReply(char, const std::string&) {
    // PROT is asked whatever PBSZ got: its answer is the one that decides.
    SendCommand("PROT P", TReplyState::Prot);
}

void TFtp::OnProtReply(char kind, const std::string& line) {
    traits_.dataProtected = kind == '2';
    if (!traits_.dataProtected) {
        // Asked inside the secured control connection, so the refusal is the server's own:
        // a site secured before is no reason to refuse it under Auto.
        if (settings_.tlsMode == TTlsMode::Require) {
            traits_.securityInUse +=
                "; the server refused to encrypt data connections, so none was made";
            return FailSession(ftpSocketError,
                               "The server " + ServerText() +
                                   " refused to encrypt the data connections (PROT P: " + line +
                                   "): with FTP.tls=require no listing or file goes in clear, "
                                   "so the session ends here; set FTP.tls=auto to allow data "
                                   "connections without encryption");
        }
        traits_.securityInUse += "; data connections not encrypted (the server refused PROT P)";
        if (OnTrace)
            OnTrace("Data connections in clear: the server refused PROT P (" + line + ")");
    }
    SendCommand("SYST", TReplyState::Syst);
}

// 2xx: logged in. 3xx: the server wants the next value, if there is one.
void TFtp::OnLoginReply(char kind, const std::string& line) {
    if (kind == '2') {
        if (tls_.control && tls_.control->Established())
            return SendCommand("PBSZ 0", TReplyState::Pbsz);
        return SendCommand("SYST", TReplyState::Syst);
    }
    size_t step = 0;
    while (loginSteps_[step].state != replyState_)
        ++step;
    if (kind == '3' && step + 1 < std::size(loginSteps_))
        return SendLoginStep(step + 1);
    DenyLogin(loginSteps_[step].deniedText, line);
}

void TFtp::DetectServerType(const std::string& line) {
    traits_.systemType = UpperAscii(line.size() > 4 ? line.substr(4) : std::string()).substr(0, 99);
    const auto has = [this](const char* word) {
        return traits_.systemType.find(word) != std::string::npos;
    };
    TFTPServerType& serverType = traits_.serverType;
    serverType = ftpstDefault;
    for (const auto& [word, type] : systemWords)
        if (has(word))
            serverType = type;
    if (has("VMS"))
        serverType = has("MULTINET") ? ftpstVmsMultinet : ftpstVmsUcx;
    else if (has("VM"))
        serverType = has("VPS") ? ftpstVMVPS : ftpstVM;
}

void TFtp::LoggedIn() {
    login_.featureLines.clear();
    login_.replyText = lastReplyText_;
    SendCommand("FEAT", TReplyState::Feat);
}

void TFtp::OnFeatReply(char, const std::string& line) {
    if (login_.featureLines.empty() || login_.featureLines.back() != line)
        login_.featureLines.push_back(line);
    // A refusal lists nothing, and the login stands.
    traits_.features = ParseFeatures(login_.featureLines);
    login_.featureLines.clear();
    // Some servers send names in UTF-8 only when asked; names stay bytes to us either way.
    if (traits_.features.utf8)
        return SendCommand("OPTS UTF8 ON", TReplyState::OptsUtf8);
    // FEAT only asks; the login ended with the reply to its last step.
    lastReplyText_ = login_.replyText;
    FinishLogin();
}

void TFtp::OnOptsUtf8Reply(char, const std::string&) {
    // A refusal changes nothing: the login stands.
    lastReplyText_ = login_.replyText;
    FinishLogin();
}

void TFtp::FinishLogin() {
    Info(ftpLoggedIn, "Logged in");
    SetReplyState(TReplyState::Idle);
    PostReady();
}

void TFtp::OnSystReply(char kind, const std::string& line) {
    operation_ = TFtpOperation::LogIn;
    if (kind == '5')
        traits_.serverType = ftpstDefault;
    else
        DetectServerType(line);
    if (Options.initialDirectory.empty())
        return LoggedIn();
    if (!SafeArgument(Options.initialDirectory)) {
        ReportError(ftpOperationFailed, "A name with a line break cannot be sent");
        return LoggedIn();
    }
    SendCommand("CWD " + Options.initialDirectory, TReplyState::InitialCwd);
}

void TFtp::OnInitialCwdReply(char kind, const std::string& line) {
    if (kind != '2')
        ReportError(ftpOperationFailed, line);
    LoggedIn();
}

// ---------------------------------------------------------------------------------
// Operations

void TFtp::OnSimpleReply(char kind, const std::string& line) {
    if (kind != '2')
        ReportError(ftpOperationFailed, line);
    SetReplyState(TReplyState::Idle);
    PostReady();
}

void TFtp::OnQuitReply(char kind, const std::string& line) {
    if (kind != '2')
        FailSession(ftpNoError, line);
    SetReplyState(TReplyState::Idle);
}

void TFtp::OnPwdReply(char kind, const std::string& line) {
    if (kind != '2')
        return FailOperation(line);
    listing_.directory = DirectoryOfPwdReply(line);
    BeginTransfer(std::make_shared<TTransfer>(*this));
}

// ---------------------------------------------------------------------------------
// The data commands of a listing or an upload: TYPE, PORT, then LIST or STOR.

void TFtp::BeginTransfer(std::shared_ptr<TTransfer> transfer) {
    transfer_ = std::move(transfer);
    const bool listing = transfer_->Kind() == TTransfer::TKind::Listing;
    const char type = transfer_->Type();
    // The type holds for the session: an upload run sends it for its first file only,
    // one round trip less for each of the others. A listing still asks for its own.
    if (!listing && traits_.typeInForce == type)
        return SendDataCommand();
    dataSetup_.typeAsked = type;
    traits_.typeInForce = 0;
    SendCommand(std::string("TYPE ") + type, TReplyState::Type);
}

void TFtp::OnTypeReply(char kind, const std::string& line) {
    if (kind != '2')
        return FailOperation(line);
    traits_.typeInForce = dataSetup_.typeAsked;
    SendDataCommand();
}

void TFtp::SendDataCommand() {
    const TDataMode mode = settings_.dataMode;
    if (mode == TDataMode::Active || (mode == TDataMode::Auto && traits_.passiveRefused))
        return SendPort();
    transfer_->Arm();
    if (traits_.epsvRefused)
        return SendPasv();
    dataSetup_.command = TDataCommand::Epsv;
    SendCommand("EPSV", TReplyState::Epsv);
}

void TFtp::SendPort() {
    // Armed before PORT goes out: some servers connect back as soon as they read it.
    if (const auto argument = ListenForData()) {
        transfer_->Arm();
        dataSetup_.command = TDataCommand::Port;
        SendCommand("PORT " + *argument, TReplyState::Port);
    }
}

void TFtp::SendPasv() {
    dataSetup_.command = TDataCommand::Pasv;
    SendCommand("PASV", TReplyState::Pasv);
}

void TFtp::OnEpsvReply(char kind, const std::string& line) {
    if (kind == '2')
        if (const auto port = ParseEpsvReply(line))
            return ConnectPassive(std::string(), *port, TDataCommand::Epsv);
    // A refusal now is a refusal for the session; a passing trouble (4xx) is not.
    if (kind != '4')
        traits_.epsvRefused = true;
    dataSetup_.epsvAnswer = line;
    SendPasv();
}

void TFtp::OnPasvReply(char kind, const std::string& line) {
    if (kind == '2')
        if (const auto target = ParsePasvReply(line))
            return ConnectPassive(target->address, target->port, TDataCommand::Pasv);
    std::string answers = "PASV: " + line;
    if (!dataSetup_.epsvAnswer.empty())
        answers = "EPSV: " + dataSetup_.epsvAnswer + ", " + answers;
    PassiveFailed("The server refused passive mode (" + answers + ")");
}

void TFtp::PassiveFailed(const std::string& reason) {
    passiveDeadline_->stop();
    if (settings_.dataMode != TDataMode::Auto)
        return FailOperation(reason + "; try FTP.dataMode=active");
    // Not worth a second try on every listing: the rest of the session is active.
    traits_.passiveRefused = true;
    dataSetup_.passiveFailure = reason;
    if (OnTrace)
        OnTrace(reason + "; active mode (PORT) for the rest of the session");
    SendPort();
}

std::string TFtp::PeerAddress() const {
    return EntryPoints().inet_ntoa(TInAddr{Socket->Address.sin_addr});
}

void TFtp::ConnectPassive(const std::string& namedAddress, uint16_t port, TDataCommand how) {
    // The server may name an address behind its router, or any other host: we connect to
    // no one but the server we are talking to.
    const std::string peer = PeerAddress();
    if (!namedAddress.empty() && namedAddress != peer && !dataSetup_.foreignPasvTraced) {
        dataSetup_.foreignPasvTraced = true;
        if (OnTrace)
            OnTrace(std::string(DataCommandVerb(how)) + " named " + namedAddress +
                    "; connecting to " + peer + " instead");
    }
    dataSetup_.command = how;
    dataSetup_.target = peer + ":" + std::to_string(port);
    SetReplyState(TReplyState::PassiveConnect);
    passive_->HostName.clear();
    passive_->HostAddress = peer;
    passive_->FtpPort = port;
    passive_->ConnectError = 0;
    passiveDeadline_->start(
        static_cast<int>(std::min<uint32_t>(Options.passiveConnectTimeout, 0x7FFFFFFF)));
    try {
        passive_->Open();
    } catch (const std::exception& error) {
        passive_->Close();
        PassiveFailed("The passive data connection to " + dataSetup_.target +
                      " could not be made (" + error.what() + ")");
    }
}

namespace {

std::string SocketErrorWords(int32_t error) {
    switch (error) {
    case WSAECONNREFUSED:
        return "Connection refused";
    case WSAETIMEDOUT:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAENETDOWN:
        return "No answer";
    default:
        break;
    }
    const std::string name = ErrorName(error);
    return name.empty() ? "error " + std::to_string(error) : name;
}

} // namespace

void TFtp::PassiveConnected() {
    if (replyState_ != TReplyState::PassiveConnect || !transfer_)
        return;
    passiveDeadline_->stop();
    TSockAddrIn peer;
    int32_t length = sizeof peer;
    int32_t error = passive_->ConnectError;
    if (error == 0 && EntryPoints().getpeername(passive_->Socket->Handle, &peer, &length) != 0)
        error = WSAECONNREFUSED;
    if (error != 0) {
        passive_->Close();
        return PassiveFailed("The passive data connection to " + dataSetup_.target +
                             " could not be made (" + SocketErrorWords(error) + ")");
    }
    const std::shared_ptr<TTransfer> transfer = transfer_;
    transfer->Accepted(PassiveDataSlot);
    SendCommand(TransferVerb(), TReplyState::Transfer);
    transfer->VerbSent();
}

void TFtp::DataConnectionMade() {
    traits_.dataModeInUse = dataSetup_.command;
}

void TFtp::OnPortReply(char kind, const std::string& line) {
    if (kind != '2')
        return FailOperation("The server refused active mode (PORT): " + line);
    const std::shared_ptr<TTransfer> transfer = transfer_;
    SendCommand(TransferVerb(), TReplyState::Transfer);
    transfer->VerbSent();
}

void TFtp::OnTransferReply(char kind, const std::string& line) {
    if (kind == '1')
        return transfer_->ServerStarted();
    // Done, says the server, before it has asked for the file: of an empty file that is
    // so; of any other the server holds at most an empty one, whatever it says.
    if (kind == '2' && transfer_->AwaitsPreliminary()) {
        if (transfer_->EndEmptyUpload())
            return;
        return FailOperation("The server answered STOR before any of the file was sent (" + line +
                             ")");
    }
    if (kind == '2')
        return transfer_->ControlEnded();
    if (listing_.byMlsd && transfer_->Kind() == TTransfer::TKind::Listing &&
        listing_.lines.Count() == 0 && NotUnderstood(line)) {
        // MLSD offered but refused: this listing, and every later one, goes by LIST.
        traits_.mlsdRefused = true;
        listing_.byMlsd = false;
        CancelTransfer();
        return BeginTransfer(std::make_shared<TTransfer>(*this));
    }
    // A refusal the transfer does not take ends it: a send loop still running stops
    // without a word.
    if (transfer_->TakesRefusal(line))
        return;
    // Neither way works: the user should hear of both, not only of the last one tried.
    if (settings_.dataMode == TDataMode::Auto && dataSetup_.command == TDataCommand::Port &&
        !dataSetup_.passiveFailure.empty() && line.rfind("425", 0) == 0)
        return FailOperation("The server could not connect back in active mode (" + line +
                             "), and before that: " + dataSetup_.passiveFailure);
    FailOperation(line);
}

std::string TFtp::TransferVerb() const {
    if (transfer_->Kind() == TTransfer::TKind::Upload)
        return "STOR " + transfer_->RemotePath();
    const bool unix = traits_.serverType == ftpstUNIX;
    if (listing_.names)
        return unix ? "NLST -a" : "NLST";
    if (listing_.byMlsd)
        return "MLSD";
    // UNIX servers leave dot-files out of a plain LIST, and a site's .htaccess is one.
    return unix ? "LIST -a" : "LIST";
}

std::optional<std::string> TFtp::ListenForData() {
    std::string local;
    GetLocalAddress(local);
    data_->HostAddress = local;
    data_->Port = 0;
    try {
        data_->Listen();
    } catch (const EARPError& error) {
        data_->Close();
        BreakSession(ftpHostNotFound, std::string("Cannot listen for data: ") + error.what());
        return std::nullopt;
    } catch (const ESockError& error) {
        data_->Close();
        BreakSession(ftpSocketError, std::string("Cannot listen for data: ") + error.what());
        return std::nullopt;
    }
    std::string address;
    data_->GetLocalAddress(address);
    return PortArgument(address, data_->GetLocalPort());
}

// ---------------------------------------------------------------------------------
// A file's time

void TFtp::SendFileTime() {
    request_.timeForm = traits_.NextTimeForm();
    const std::string time = FtpTimeText(request_.timeValue);
    const std::string& path = request_.timePath;
    std::string command;
    switch (request_.timeForm) {
    case TTimeForm::Mfmt:
        command = "MFMT " + time + " " + path;
        break;
    case TTimeForm::MdtmSet:
        command = "MDTM " + time + " " + path;
        break;
    case TTimeForm::SiteUtime:
        command = "SITE UTIME " + time + " " + path;
        break;
    case TTimeForm::SiteUtimeFull:
        // Access, modification and change time, and the zone they are in.
        command = "SITE UTIME " + path + " " + time + " " + time + " " + time + " UTC";
        break;
    case TTimeForm::None:
        return FailOperation("The server lets no file's time be set");
    }
    SendCommand(command, TReplyState::FileTime);
}

void TFtp::OnFileTimeReply(char kind, const std::string& line) {
    const bool reportOnly = kind == '2' && ReportsOtherTime(line, request_.timeValue);
    if (kind == '2' && !reportOnly) {
        traits_.timeFormWorks = true;
        SetReplyState(TReplyState::Idle);
        PostReady();
        return;
    }
    // Whether the form is unknown here or only this file failed: a form the server does
    // not understand is unknown; so is a form nobody promised that is refused before any
    // form has worked (servers without it take the time as a piece of a file name and
    // answer 550). Anything else is this file's failure: 4xx, or a refusal of a form that
    // was offered or has worked.
    const bool probing = request_.timeForm != TTimeForm::Mfmt && !traits_.timeFormWorks;
    const bool formRefused = reportOnly || NotUnderstood(line) || (kind == '5' && probing);
    if (!formRefused)
        return FailOperation(line);
    traits_.timeFormRefused[static_cast<size_t>(request_.timeForm)] = true;
    if (!traits_.FileTimeSettable())
        return FailOperation("The server lets no file's time be set: " + line);
    SendFileTime();
}

void TFtp::OnFileTimeQueryReply(char kind, const std::string& line) {
    request_.fileTime = kind == '2' ? TimeOfMdtmReply(line) : std::nullopt;
    if (!request_.fileTime)
        ReportError(ftpOperationFailed, line);
    SetReplyState(TReplyState::Idle);
    PostReady();
}

// ---------------------------------------------------------------------------------
// Renaming

void TFtp::OnRenameFromReply(char kind, const std::string& line) {
    if (kind != '3')
        return RenameRefused(line);
    request_.renameSourceTaken = true;
    SendCommand("RNTO " + request_.renameTarget, TReplyState::RenameTo);
}

void TFtp::OnRenameToReply(char kind, const std::string& line) {
    if (kind != '2')
        return RenameRefused(line);
    SetReplyState(TReplyState::Idle);
    PostReady();
}

void TFtp::RenameRefused(const std::string& line) {
    // 501 is a complaint about the name, not about the command.
    const std::string code = line.substr(0, 3);
    if (code == "500" || code == "502" || code == "504")
        traits_.renameRefused = true;
    FailOperation(line);
}

void TFtp::TransferEnded() {
    SetReplyState(TReplyState::Idle);
    PostReady();
}

void TFtp::CancelTransfer() {
    if (transfer_)
        transfer_->Cancel();
}

} // namespace pelmora
