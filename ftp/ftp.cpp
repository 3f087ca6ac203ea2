#include "ftp/ftp.h"

#include "ftp/ftp_transfer.h"
#include "net/sock_errors.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>

#include <array>
#include <iterator>

namespace pelmora {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool SafeArgument(const std::string& text) {
    return text.find('\r') == std::string::npos && text.find('\n') == std::string::npos;
}

const char* ReplyStateName(TReplyState state) {
    static constexpr std::array<const char*, 26> names = {
        "Idle",          "Greeting", "User",         "Pass",           "Acct",     "Syst",
        "InitialCwd",    "Pwd",      "Type",         "Port",           "Transfer", "Simple",
        "Quit",          "Epsv",     "Pasv",         "PassiveConnect", "Feat",     "FileTime",
        "FileTimeQuery", "AuthTls",  "TlsHandshake", "Pbsz",           "Prot",     "OptsUtf8",
        "RenameFrom",    "RenameTo"};
    static_assert(static_cast<size_t>(TReplyState::RenameTo) + 1 == names.size());
    const auto index = static_cast<size_t>(state);
    return index < names.size() ? names[index] : "Unknown";
}

std::optional<TPassiveTarget> ParsePasvReply(const std::string& line) {
    if (line.size() < 4)
        return std::nullopt;
    // Six numbers joined by commas, wherever they stand after the code: not every server
    // puts them in parentheses.
    for (size_t start = 4; start < line.size(); ++start) {
        if (!IsDigit(line[start]) || IsDigit(line[start - 1]))
            continue;
        int numbers[6] = {};
        size_t at = start;
        int count = 0;
        for (; count < 6; ++count) {
            if (at >= line.size() || !IsDigit(line[at]))
                break;
            long value = 0;
            size_t digits = 0;
            while (at < line.size() && IsDigit(line[at]) && digits < 4) {
                value = value * 10 + (line[at] - '0');
                ++at;
                ++digits;
            }
            if (value > 255 || (at < line.size() && IsDigit(line[at])))
                break;
            numbers[count] = static_cast<int>(value);
            if (count < 5) {
                if (at >= line.size() || line[at] != ',')
                    break;
                ++at;
            }
        }
        if (count != 6)
            continue;
        const uint16_t port = static_cast<uint16_t>(numbers[4] * 256 + numbers[5]);
        if (port == 0)
            return std::nullopt;
        return TPassiveTarget{std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
                                  std::to_string(numbers[2]) + "." + std::to_string(numbers[3]),
                              port};
    }
    return std::nullopt;
}

std::optional<uint16_t> ParseEpsvReply(const std::string& line) {
    const size_t open = line.find('(');
    if (open == std::string::npos || open + 4 >= line.size())
        return std::nullopt;
    // (<d><d><d>port<d>): the delimiter is whatever printable character the server chose.
    const char delimiter = line[open + 1];
    if (delimiter < 33 || delimiter > 126 || IsDigit(delimiter) || line[open + 2] != delimiter ||
        line[open + 3] != delimiter)
        return std::nullopt;
    size_t at = open + 4;
    long port = 0;
    size_t digits = 0;
    while (at < line.size() && IsDigit(line[at]) && digits < 6) {
        port = port * 10 + (line[at] - '0');
        ++at;
        ++digits;
    }
    if (digits == 0 || port < 1 || port > 65535 || at >= line.size() || line[at] != delimiter)
        return std::nullopt;
    return static_cast<uint16_t>(port);
}

std::string PortArgument(const std::string& dottedAddress, uint16_t port) {
    std::string argument = dottedAddress;
    for (char& c : argument)
        if (c == '.')
            c = ',';
    return argument + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

std::string ConnectFailureText(int32_t error, const std::string& host, uint16_t port) {
    const std::string where = host + ":" + std::to_string(port);
    switch (error) {
    case WSAECONNREFUSED:
        return "Connection refused by " + where;
    case WSAETIMEDOUT:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAENETDOWN:
        return "No answer from " + where;
    default:
        break;
    }
    const std::string name = error != 0 ? ErrorName(error) : std::string();
    return "Could not connect to " + where + (name.empty() ? "" : " (" + name + ")");
}

TFtp::TFtp(TObject* owner) : TStarSock(owner) {
    version_ = "TFtp 1.4.1";
    FtpPort = 21;
    // Alone, the component makes active data connections and no TLS, as its transcripts
    // always showed; a caller states its own modes in the settings it connects with.
    settings_.dataMode = TDataMode::Active;
    settings_.tlsMode = TTlsMode::Off;
    OnSockMessage = [this](TMessage& message, TObject*) { HandleNotification(message); };
    data_ = std::make_unique<TFtpData>(this);
    data_->SetWinsockStarted(true);
    // The data component's news goes to the latest transfer; one that has ended or been
    // cancelled lets it pass.
    const auto forward = [this](void (TTransfer::*event)(int32_t)) {
        return [this, event](TObject*, int32_t slot) {
            if (transfer_)
                (transfer_.get()->*event)(slot);
        };
    };
    data_->OnSockAccept = forward(&TTransfer::Accepted);
    data_->OnSockRead = forward(&TTransfer::Readable);
    data_->OnSockClose = forward(&TTransfer::Closed);
    data_->OnSockWrite = forward(&TTransfer::Writable);
    passive_ = std::make_unique<TStarSock>(this);
    passive_->SetWinsockStarted(true);
    const auto passiveForward = [this](void (TTransfer::*event)(int32_t)) {
        return [this, event](TObject*) {
            if (transfer_)
                (transfer_.get()->*event)(PassiveDataSlot);
        };
    };
    passive_->OnSockConnect = [this](TObject*) { PassiveConnected(); };
    passive_->OnSockRead = passiveForward(&TTransfer::Readable);
    passive_->OnSockClose = passiveForward(&TTransfer::Closed);
    passive_->OnSockWrite = passiveForward(&TTransfer::Writable);
    passiveDeadline_ = std::make_unique<QTimer>();
    passiveDeadline_->setSingleShot(true);
    QObject::connect(passiveDeadline_.get(), &QTimer::timeout, [this] {
        // The connection came, or the operation ended, before the deadline did.
        if (replyState_ != TReplyState::PassiveConnect)
            return;
        passive_->Close();
        PassiveFailed("The passive data connection to " + dataSetup_.target +
                      " could not be made (No answer within " +
                      std::to_string(Options.passiveConnectTimeout) + " ms)");
    });
}

TFtp::~TFtp() {
    // The owner's trace may be gone already; a transfer cancelled now tells no one.
    OnTrace = nullptr;
    Close();
    CancelTransfer();
    transfer_.reset();
    passiveDeadline_.reset();
    passive_.reset();
    data_.reset();
}

int64_t TFtp::BytesTransferred() const {
    return transfer_ ? transfer_->Bytes() : 0;
}

int TFtp::DataSlot() const {
    return transfer_ ? transfer_->Slot() : 0;
}

// ---------------------------------------------------------------------------------
// Reporting

void TFtp::Info(FtpInfo code, const std::string& addInfo) {
    if (OnFtpInfo)
        OnFtpInfo(this, code, addInfo);
}

void TFtp::ReportError(FtpInfo code, const std::string& reason) {
    success_ = false;
    lastError_ = code;
    if (PostMessage(WindowHandle(), WM_FTP_ERROR, static_cast<uintptr_t>(code) & 0x7F, session_))
        errorTexts_.push_back(reason.empty() ? std::string("Error") : reason);
}

void TFtp::PostReady() {
    PostMessage(WindowHandle(), WM_FTP_READY, 0, session_);
}

void TFtp::PostAvailable() {
    PostMessage(WindowHandle(), WM_FTP_AVAILABLE, 0, session_);
}

void TFtp::HandleNotification(TMessage& message) {
    if (message.Msg != WM_FTP_AVAILABLE && message.Msg != WM_FTP_ERROR &&
        message.Msg != WM_FTP_READY)
        return;
    // What an earlier session posted must not touch the one that replaced it.
    const bool current = static_cast<uint32_t>(message.LParam) == session_;
    switch (message.Msg) {
    case WM_FTP_AVAILABLE:
        if (!current)
            break;
        SetStatus(ftpAvailable);
        Info(ftpAvailable, "Available");
        if (OnFtpQuit)
            OnFtpQuit(this);
        break;
    case WM_FTP_ERROR: {
        std::string reason = "Error";
        if (!errorTexts_.empty()) {
            reason = std::move(errorTexts_.front());
            errorTexts_.pop_front();
        }
        if (current && OnFtpError)
            OnFtpError(this, static_cast<FtpInfo>(message.WParam & 0x7F), reason);
        break;
    }
    case WM_FTP_READY: {
        if (!current)
            break;
        // Only a session can be ready for commands; a ready that ends a refusal without
        // one must not keep Connect from starting the next session.
        if (connected_)
            SetStatus(ftpCommandReady);
        if (OnFtpReady)
            OnFtpReady(this);
        const TFtpOperation done = operation_;
        operation_ = TFtpOperation::None;
        if (const TNotifyEvent* event = CompletionEvent(done); event && *event)
            (*event)(this);
        break;
    }
    default:
        break;
    }
}

const TNotifyEvent* TFtp::CompletionEvent(TFtpOperation operation) const {
    // By TFtpOperation, from None on.
    static constexpr TNotifyEvent TFtp::*events[] = {
        nullptr,
        &TFtp::OnLoggedIn,
        &TFtp::OnDirectoryChanged,
        &TFtp::OnDirectoryCreated,
        &TFtp::OnDirectoryDeleted,
        &TFtp::OnFileDeleted,
        &TFtp::OnFileStored,
        &TFtp::OnListingDone,
        &TFtp::OnFileTimeSet,
        &TFtp::OnFileTimeReceived,
        &TFtp::OnFileRenamed,
    };
    static_assert(static_cast<size_t>(TFtpOperation::Rename) + 1 == std::size(events));
    const auto index = static_cast<size_t>(operation);
    return index < std::size(events) && events[index] ? &(this->*events[index]) : nullptr;
}

void TFtp::SetStatus(FtpInfo status) {
    if (status != status_)
        Trace("Status", FtpInfoName(status_), FtpInfoName(status));
    status_ = status;
}

void TFtp::SetReplyState(TReplyState state) {
    if (state != replyState_)
        Trace("Reply", ReplyStateName(replyState_), ReplyStateName(state));
    replyState_ = state;
}

void TFtp::Trace(const char* what, const char* from, const char* to) {
    if (OnTrace)
        OnTrace(std::string(what) + " " + from + " -> " + to);
}

std::string TFtp::HostText() const {
    if (!FtpServer().empty())
        return FtpServer();
    return HostName.empty() ? HostAddress : HostName;
}

std::string TFtp::ServerText() const {
    return HostText() + ":" + std::to_string(FtpPort);
}

// ---------------------------------------------------------------------------------
// Ending things

void TFtp::ResetSession() {
    connected_ = false;
    SetStatus(ftpAvailable);
    operation_ = TFtpOperation::None;
    SetReplyState(TReplyState::Idle);
    control_.reader.Reset();
    control_.lines.Clear();
}

void TFtp::FailSession(FtpInfo code, const std::string& reason) {
    Close();
    connected_ = false;
    // Nothing of a transfer survives its session.
    CancelTransfer();
    SetReplyState(TReplyState::Idle);
    ReportError(code, reason);
    success_ = false;
    PostReady();
    PostAvailable();
}

void TFtp::BreakSession(FtpInfo code, const std::string& reason) {
    FailSession(code, reason);
    SetStatus(code);
}

void TFtp::FailOperation(const std::string& reason) {
    CancelTransfer();
    ReportError(ftpOperationFailed, reason);
    success_ = false;
    SetReplyState(TReplyState::Idle);
    PostReady();
}

void TFtp::Disconnect() {
    // As when the server goes away: what was running has not been done, and a caller
    // waiting for its ready must not take it for success.
    const bool running = replyState_ != TReplyState::Idle && replyState_ != TReplyState::Quit;
    CancelTransfer();
    // A polite goodbye if the connection takes it now; we do not wait for the answer.
    if (connected_) {
        try {
            if (SendText("QUIT\r\n") > 0)
                Info(ftpCommandSent, "QUIT");
        } catch (const ESockError&) {
        }
    }
    Close();
    ResetSession();
    lastReplyText_.clear();
    Info(ftpDisconnected, "Disconnected");
    if (running)
        ReportError(ftpDisconnected, "Disconnected from " + ServerText() + " while busy");
    success_ = false;
    PostReady();
    PostAvailable();
}

void TFtp::Abort() {
    abortRequested_ = true;
    CancelTransfer();
    Close();
    ResetSession();
    success_ = false;
    Info(ftpTransferAborted, "Transfer aborted");
    PostAvailable();
}

void TFtp::Quit() {
    if (!connected_ && Socket->Handle == INVALID_SOCKET) {
        ReportError(ftpDisconnected);
        return;
    }
    if (!connected_ || status_ != ftpCommandReady)
        return Disconnect();
    lastReplyText_.clear();
    lastError_ = ftpNoError;
    SetStatus(ftpBusy);
    SendCommand("QUIT", TReplyState::Quit);
}

// ---------------------------------------------------------------------------------
// Starting operations

void TFtp::Connect(const TConnectionSettings& settings) {
    lastError_ = ftpNoError;
    success_ = true;
    tls_.refusal.reset();
    tls_.fallback.clear();
    // A session, or a connect on its way: an abort, a quit or a failure that ended the
    // last one has closed the control connection at once, so Connect works right after.
    if (connected_ || Socket->Handle != INVALID_SOCKET) {
        ReportError(ftpTransactionBusy);
        return;
    }
    SetWinsockStarted(true);
    if (!WinsockStarted()) {
        ReportError(ftpWinsockNotStarted);
        return;
    }
    settings_ = settings;
    if (!TakeServer())
        return;
    OpenControlConnection();
}

bool TFtp::TakeServer() {
    std::string& server = settings_.useFirewall ? settings_.firewallHost : settings_.host;
    if (server.empty() && OnFtpNeedInfo)
        OnFtpNeedInfo(this, ftpniServer, server);
    if (server.empty()) {
        ReportError(ftpNoServerName);
        return false;
    }
    SetFtpServer(settings_.DialHost());
    FtpPort = settings_.DialPort() != 0 ? settings_.DialPort() : 21;
    return true;
}

void TFtp::OpenControlConnection() {
    // A new session owes nothing to an earlier one: neither its notifications still on
    // their way, nor its pending completion event, nor an abort that ended it.
    ++session_;
    CancelTransfer();
    ResetSession();
    SetReplyState(TReplyState::Greeting);
    abortRequested_ = false;
    control_.inReply = false;
    lastReplyText_.clear();
    lastActivity_ = GetTickCount();
    // What the last server could do, or refused, says nothing about this one.
    traits_ = TServerTraits();
    dataSetup_ = TDataSetup();
    tls_.control.reset();
    login_ = TLoginState();
    listing_.byMlsd = false;
    request_.fileTime.reset();
    OnSockConnect = [this](TObject*) { SockConnected(); };
    OnSockRead = [this](TObject*) { SockRead(ftpSocketReadError); };
    OnSockClose = [this](TObject*) { SockClosed(); };
    OnSockWrite = [this](TObject*) { control_.writable = true; };
    try {
        Open();
        SetStatus(ftpBusy);
    } catch (const EARPError&) {
        const std::string text = "Host not found: " + HostText();
        BreakSession(ftpHostNotFound, text);
        Info(ftpHostNotFound, text);
    } catch (const ESockError& error) {
        const std::string text = "Could not connect to " + ServerText() + ": " + error.what();
        BreakSession(ftpSocketError, text);
        Info(ftpSocketError, text);
    }
}

void TFtp::RefuseUnsafe() {
    ReportError(ftpOperationFailed, "A name with a line break cannot be sent");
    PostReady();
}

bool TFtp::RefusedUnlessReady() {
    if (!connected_) {
        ReportError(ftpDisconnected);
        return true;
    }
    if (status_ != ftpCommandReady) {
        ReportError(ftpTransactionBusy);
        return true;
    }
    return false;
}

bool TFtp::BeginSimple(TFtpOperation operation, const std::string& command,
                       const std::string& argument, TReplyState next) {
    success_ = true;
    operation_ = operation;
    if (RefusedUnlessReady())
        return false;
    lastReplyText_.clear();
    if (!SafeArgument(argument)) {
        RefuseUnsafe();
        return false;
    }
    lastError_ = ftpNoError;
    SetStatus(ftpBusy);
    SendCommand(command + " " + argument, next);
    return true;
}

void TFtp::ChangeDir(const std::string& dir) {
    BeginSimple(TFtpOperation::ChangeDir, "CWD", dir);
}

void TFtp::MakeDir(const std::string& dir) {
    BeginSimple(TFtpOperation::MakeDir, "MKD", dir);
}

void TFtp::RemoveDir(const std::string& dir) {
    BeginSimple(TFtpOperation::RemoveDir, "RMD", dir);
}

void TFtp::DeleteFile(const std::string& name) {
    BeginSimple(TFtpOperation::DeleteFile, "DELE", name);
}

void TFtp::GetListing() {
    StartListing(false);
}

void TFtp::GetNameListing() {
    StartListing(true);
}

void TFtp::StartListing(bool names) {
    operation_ = TFtpOperation::GetListing;
    if (RefusedUnlessReady())
        return;
    lastReplyText_.clear();
    lastError_ = ftpNoError;
    success_ = true;
    listing_.byMlsd = !names && Options.useMlsd && traits_.features.mlsd && !traits_.mlsdRefused;
    listing_.names = names;
    listing_.refused = false;
    SetStatus(ftpBusy);
    SendCommand("PWD", TReplyState::Pwd);
}

void TFtp::SetFileTime(const std::string& remotePath, int64_t utcSeconds) {
    success_ = true;
    operation_ = TFtpOperation::SetFileTime;
    if (RefusedUnlessReady())
        return;
    lastReplyText_.clear();
    if (!SafeArgument(remotePath)) {
        RefuseUnsafe();
        return;
    }
    lastError_ = ftpNoError;
    const int year = DateOfUtcSeconds(utcSeconds).year;
    if (remotePath.empty() || year < 1 || year > 9999) {
        ReportError(ftpOperationFailed, "No file or no time to set");
        PostReady();
        return;
    }
    if (!traits_.FileTimeSettable()) {
        ReportError(ftpOperationFailed, "The server lets no file's time be set");
        PostReady();
        return;
    }
    request_.timePath = remotePath;
    request_.timeValue = utcSeconds;
    SetStatus(ftpBusy);
    SendFileTime();
}

void TFtp::GetFileTime(const std::string& remotePath) {
    request_.fileTime.reset();
    BeginSimple(TFtpOperation::GetFileTime, "MDTM", remotePath, TReplyState::FileTimeQuery);
}

void TFtp::Rename(const std::string& from, const std::string& to) {
    request_.renameSourceTaken = false;
    if (!SafeArgument(to)) {
        // Checked before RNFR goes out: a server left waiting for RNTO would take the
        // next command for it.
        success_ = true;
        operation_ = TFtpOperation::Rename;
        if (!RefusedUnlessReady()) {
            lastReplyText_.clear();
            RefuseUnsafe();
        }
        return;
    }
    request_.renameTarget = to;
    BeginSimple(TFtpOperation::Rename, "RNFR", from, TReplyState::RenameFrom);
}

void TFtp::Put(const std::string& localPath, const std::string& remotePath, TTransferType mode) {
    success_ = true;
    operation_ = TFtpOperation::Put;
    lastError_ = ftpNoError;
    if (!connected_) {
        ReportError(ftpDisconnected);
        PostReady();
        return;
    }
    if (status_ != ftpCommandReady) {
        ReportError(ftpTransactionBusy);
        return;
    }
    lastReplyText_.clear();
    if (remotePath.empty()) {
        ReportError(ftpNoRemoteFile);
        PostReady();
        return;
    }
    if (!SafeArgument(remotePath)) {
        RefuseUnsafe();
        return;
    }
    const int localFile = OpenLocalFile(localPath);
    if (localFile < 0)
        return;
    // An abort belongs to the transfer it stopped, not to this one.
    abortRequested_ = false;
    SetStatus(ftpBusy);
    BeginTransfer(std::make_shared<TTransfer>(*this, localFile, localPath, remotePath,
                                              mode == AsciiTransfer ? 'A' : 'I'));
}

int TFtp::OpenLocalFile(const std::string& localPath) {
    // Read-only: a file we may not write to is still ours to upload.
    int file = localPath.empty() ? -1 : ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (file >= 0 && (::fstat(file, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(file);
        file = -1;
    }
    if (file < 0) {
        ReportError(ftpLocalOpenError, "Cannot open " + localPath);
        PostReady();
    }
    return file;
}

} // namespace pelmora
