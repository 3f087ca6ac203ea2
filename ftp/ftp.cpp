#include "ftp/ftp.h"

#include "net/sock_errors.h"
#include "net/socket_library.h"
#include "toolkit/services.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace pelmora {

namespace {

constexpr int32_t BlockSize = 2048;

// A name or path with a line break in it would end our command early and smuggle in
// a command of its own.
bool SafeArgument(const std::string& text) {
    return text.find('\r') == std::string::npos && text.find('\n') == std::string::npos;
}

// Reads exactly `count` bytes unless the file ends or fails first.
ssize_t ReadFull(int fd, char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, buffer + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

const char* ReplyStateName(TReplyState state) {
    switch (state) {
    case TReplyState::Idle:
        return "Idle";
    case TReplyState::Greeting:
        return "Greeting";
    case TReplyState::User:
        return "User";
    case TReplyState::Pass:
        return "Pass";
    case TReplyState::Acct:
        return "Acct";
    case TReplyState::Syst:
        return "Syst";
    case TReplyState::InitialCwd:
        return "InitialCwd";
    case TReplyState::ListPwd:
        return "ListPwd";
    case TReplyState::ListType:
        return "ListType";
    case TReplyState::ListPort:
        return "ListPort";
    case TReplyState::List:
        return "List";
    case TReplyState::StoreType:
        return "StoreType";
    case TReplyState::StorePort:
        return "StorePort";
    case TReplyState::Store:
        return "Store";
    case TReplyState::Simple:
        return "Simple";
    case TReplyState::Quit:
        return "Quit";
    }
    return "Unknown";
}

const char* OperationName(TFtpOperation operation) {
    switch (operation) {
    case TFtpOperation::None:
        return "None";
    case TFtpOperation::LogIn:
        return "LogIn";
    case TFtpOperation::ChangeDir:
        return "ChangeDir";
    case TFtpOperation::MakeDir:
        return "MakeDir";
    case TFtpOperation::RemoveDir:
        return "RemoveDir";
    case TFtpOperation::DeleteFile:
        return "DeleteFile";
    case TFtpOperation::PutFile:
        return "PutFile";
    case TFtpOperation::GetListing:
        return "GetListing";
    }
    return "Unknown";
}

std::string PortArgument(const std::string& dottedAddress, uint16_t port) {
    std::string argument = dottedAddress;
    for (char& c : argument)
        if (c == '.')
            c = ',';
    return argument + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

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

const TFtp::TDispatchRow TFtp::dispatchTable_[] = {
    {TReplyState::Greeting, &TFtp::OnGreeting},
    {TReplyState::User, &TFtp::OnUserReply},
    {TReplyState::Pass, &TFtp::OnPassReply},
    {TReplyState::Acct, &TFtp::OnAcctReply},
    {TReplyState::Syst, &TFtp::OnSystReply},
    {TReplyState::InitialCwd, &TFtp::OnInitialCwdReply},
    {TReplyState::ListPwd, &TFtp::OnPwdReply},
    {TReplyState::ListType, &TFtp::OnListTypeReply},
    {TReplyState::ListPort, &TFtp::OnListPortReply},
    {TReplyState::List, &TFtp::OnListReply},
    {TReplyState::StoreType, &TFtp::OnStoreTypeReply},
    {TReplyState::StorePort, &TFtp::OnStorePortReply},
    {TReplyState::Store, &TFtp::OnStoreReply},
    {TReplyState::Simple, &TFtp::OnSimpleReply},
    {TReplyState::Quit, &TFtp::OnQuitReply},
};

TFtp::TFtp(TObject* owner) : TStarSock(owner) {
    version_ = "TFtp 1.4.1";
    FtpPort = 21;
    OnSockMessage = [this](TMessage& message, TObject*) { HandleNotification(message); };
    data_ = std::make_unique<TFtpData>(this);
    data_->SetWinsockStarted(true);
}

TFtp::~TFtp() {
    Close();
    CloseLocalFile();
    data_.reset();
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

std::string TFtp::HostText() const {
    if (!FtpServer().empty())
        return FtpServer();
    return HostName.empty() ? HostAddress : HostName;
}

std::string TFtp::ServerText() const {
    return HostText() + ":" + std::to_string(FtpPort);
}

void TFtp::ResetSession() {
    connected_ = false;
    SetStatus(ftpAvailable);
    operation_ = TFtpOperation::None;
    SetReplyState(TReplyState::Idle);
    replyReader_.Reset();
    controlLines_.Clear();
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

void TFtp::FailOperation(const std::string& reason) {
    CancelTransfer();
    ReportError(ftpOperationFailed, reason);
    success_ = false;
    SetReplyState(TReplyState::Idle);
    PostReady();
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
    switch (operation) {
    case TFtpOperation::None:
        break;
    case TFtpOperation::LogIn:
        return &OnLoggedIn;
    case TFtpOperation::ChangeDir:
        return &OnDirectoryChanged;
    case TFtpOperation::MakeDir:
        return &OnDirectoryCreated;
    case TFtpOperation::RemoveDir:
        return &OnDirectoryDeleted;
    case TFtpOperation::DeleteFile:
        return &OnFileDeleted;
    case TFtpOperation::PutFile:
        return &OnFileStored;
    case TFtpOperation::GetListing:
        return &OnListingDone;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------
// Sending

bool TFtp::SendLine(const std::string& text) {
    std::string rest = text + "\r\n";
    Info(ftpCommandSent, text);
    lastActivity_ = GetTickCount();
    for (;;) {
        ProcessMessages();
        int32_t sent = 0;
        controlWritable_ = false;
        try {
            sent = SendText(rest);
        } catch (const ESockError&) {
            Info(ftpSocketWriteError, "Write error");
            // Reported as an error with its ready too, so a caller waiting for the
            // outcome learns it now and not at its time-out.
            FailSession(ftpSocketWriteError, "Connection to " + ServerText() + " lost");
            SetStatus(ftpSocketWriteError);
            return false;
        }
        if (sent >= static_cast<int32_t>(rest.size()))
            return true;
        rest.erase(0, static_cast<size_t>(sent));
        if (sent == 0)
            WaitUntil([this] { return controlWritable_ || Socket->Handle == INVALID_SOCKET; },
                      GetTickCount() + 1000);
    }
}

void TFtp::SendCommand(const std::string& text, TReplyState next) {
    SendLine(text);
    SetReplyState(next);
}

void TFtp::SetReplyState(TReplyState state) {
    if (state != replyState_)
        Trace("Reply", ReplyStateName(replyState_), ReplyStateName(state));
    replyState_ = state;
}

void TFtp::SetStatus(FtpInfo status) {
    if (status != status_)
        Trace("Status", FtpInfoName(status_), FtpInfoName(status));
    status_ = status;
}

void TFtp::Trace(const char* what, const char* from, const char* to) {
    if (OnTrace)
        OnTrace(std::string(what) + " " + from + " -> " + to);
}

// ---------------------------------------------------------------------------------
// Operations

void TFtp::Connect() {
    lastError_ = ftpNoError;
    success_ = true;
    if (!data_) {
        ShowMessage("FtpDataComponent not assigned!");
        return;
    }
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
    if (FtpServer().empty()) {
        std::string server = FtpServer();
        if (OnFtpNeedInfo)
            OnFtpNeedInfo(this, ftpniServer, server);
        if (server.empty()) {
            ReportError(ftpNoServerName);
            return;
        }
        SetFtpServer(server);
    }
    if (FtpPort == 0)
        FtpPort = 21;
    // A new session owes nothing to an earlier one: neither its notifications still on
    // their way, nor its pending completion event, nor an abort that ended it.
    ++session_;
    CancelTransfer();
    ResetSession();
    SetReplyState(TReplyState::Greeting);
    abortRequested_ = false;
    inReply_ = false;
    lastReplyText_.clear();
    lastActivity_ = GetTickCount();
    OnSockConnect = [this](TObject*) { SockConnected(); };
    OnSockRead = [this](TObject*) { SockRead(ftpSocketReadError); };
    OnSockClose = [this](TObject*) { SockClosed(); };
    OnSockWrite = [this](TObject*) { controlWritable_ = true; };
    try {
        Open();
        SetStatus(ftpBusy);
    } catch (const EARPError&) {
        const std::string text = "Host not found: " + HostText();
        FailSession(ftpHostNotFound, text);
        SetStatus(ftpHostNotFound);
        Info(ftpHostNotFound, text);
    } catch (const ESockError& error) {
        const std::string text = "Could not connect to " + ServerText() + ": " + error.what();
        FailSession(ftpSocketError, text);
        SetStatus(ftpSocketError);
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
                       const std::string& argument) {
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
    SendCommand(command + " " + argument, TReplyState::Simple);
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

void TFtp::PutFile() {
    success_ = true;
    operation_ = TFtpOperation::PutFile;
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
    if (RemoteFile.empty()) {
        ReportError(ftpNoRemoteFile);
        PostReady();
        return;
    }
    if (!SafeArgument(RemoteFile)) {
        RefuseUnsafe();
        return;
    }
    CloseLocalFile();
    // Read-only: a file we may not write to is still ours to upload.
    if (!LocalFile.empty())
        localFile_ = ::open(LocalFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (localFile_ >= 0 && (::fstat(localFile_, &info) != 0 || !S_ISREG(info.st_mode)))
        CloseLocalFile();
    if (localFile_ < 0) {
        ReportError(ftpLocalOpenError, "Cannot open " + LocalFile);
        PostReady();
        return;
    }
    localFileOpen_ = true;
    // An abort belongs to the transfer it stopped, not to this one.
    abortRequested_ = false;
    SetStatus(ftpBusy);
    SendCommand(TransferMode == BinaryTransfer ? "TYPE I" : "TYPE A", TReplyState::StoreType);
}

void TFtp::GetListing() {
    operation_ = TFtpOperation::GetListing;
    if (RefusedUnlessReady())
        return;
    lastReplyText_.clear();
    lastError_ = ftpNoError;
    success_ = true;
    SetStatus(ftpBusy);
    SendCommand("PWD", TReplyState::ListPwd);
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

// ---------------------------------------------------------------------------------
// Control connection

void TFtp::SockConnected() {
    SetReplyState(TReplyState::Greeting);
    Info(ftpConnected, HostAddress);
    connected_ = true;
    controlLines_.Clear();
    inReply_ = false;
    // A connect that failed is reported as connected all the same, and no read or
    // close follows: without a peer there is no session to wait for.
    TSockAddrIn peer;
    int32_t length = sizeof peer;
    if (ConnectError != 0 || EntryPoints().getpeername(Socket->Handle, &peer, &length) != 0) {
        FailSession(ftpSocketError, ConnectFailureText(ConnectError, HostText(), FtpPort));
        SetStatus(ftpSocketError);
        return;
    }
    lastActivity_ = GetTickCount();
    SockRead(ftpSocketReadError);
}

void TFtp::SockClosed() {
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

namespace {

// The socket layer's text ends at a zero byte and drops the rest of the chunk, which would
// cost a reply its line end (the session then waits out its time-out) or glue two listing
// lines together. Replies and listings are read as bytes, a zero standing as a blank.
std::string ChunkText(const char* bytes, int32_t count) {
    std::string text(bytes, static_cast<size_t>(count > 0 ? count : 0));
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

} // namespace

void TFtp::SockRead(FtpInfo failure) {
    if (inReply_)
        return; // the reader below us drains the socket when the running handler returns
    const uint32_t session = session_;
    for (;;) {
        std::string text;
        try {
            char bytes[ReceiveChunk];
            text = ChunkText(bytes, Socket->Receive(bytes, ReceiveChunk));
        } catch (const ESockError&) {
            if (connected_) {
                FailSession(failure, "Connection to " + ServerText() + " lost");
                SetStatus(failure);
            }
            return;
        }
        if (text.empty())
            return;
        if (!controlLines_.Feed(text)) {
            // A line without end: no server talks like that, and we will not hold it.
            FailSession(ftpSocketReadError, "Reply line too long from " + ServerText());
            SetStatus(ftpSocketReadError);
            controlLines_.Clear();
            return;
        }
        std::string line;
        while (controlLines_.NextLine(line)) {
            lastActivity_ = GetTickCount();
            inReply_ = true;
            Info(ftpReplyLine, line);
            HandleReply(line);
            inReply_ = false;
            // A handler may have ended the session, or even started the next one.
            if (Socket->Handle == INVALID_SOCKET || session != session_)
                return;
        }
    }
}

void TFtp::HandleReply(const std::string& line) {
    if (!replyReader_.TakeLine(line))
        return;
    lastReplyText_ = line;
    for (const TDispatchRow& row : dispatchTable_)
        if (row.state == replyState_) {
            (this->*row.handler)(line[0], line);
            return;
        }
}

void TFtp::DenyLogin(const std::string& text, const std::string& reason) {
    ReportError(ftpAccessDenied, reason);
    Info(ftpAccessDenied, text);
    SendLine("QUIT");
    SetReplyState(TReplyState::Quit);
}

void TFtp::SendLoginValue(const char* verb, std::string& value, TFtpInfoNeeded need,
                          TReplyState next, const char* deniedText) {
    if (value.empty() && OnFtpNeedInfo)
        OnFtpNeedInfo(this, need, value);
    if (!SafeArgument(value))
        return DenyLogin(deniedText,
                         std::string("A line break in the value for ") + verb + " cannot be sent");
    SendCommand(std::string(verb) + " " + value, next);
}

void TFtp::OnGreeting(char kind, const std::string& line) {
    if (kind != '2') {
        FailSession(ftpGreetingError, line);
        return;
    }
    SendLoginValue("USER", UserName, ftpniUserName, TReplyState::User, "AccessDenied");
}

void TFtp::OnUserReply(char kind, const std::string& line) {
    if (kind == '2')
        return SendCommand("SYST", TReplyState::Syst);
    if (kind != '3')
        return DenyLogin("AccessDenied", line);
    SendLoginValue("PASS", UserPassword, ftpniPassword, TReplyState::Pass, "Access Denied");
}

void TFtp::OnPassReply(char kind, const std::string& line) {
    if (kind == '2')
        return SendCommand("SYST", TReplyState::Syst);
    if (kind != '3')
        return DenyLogin("Access Denied", line);
    SendLoginValue("ACCT", UserAccount, ftpniAccount, TReplyState::Acct, "Access Denied");
}

void TFtp::OnAcctReply(char kind, const std::string& line) {
    if (kind == '2')
        return SendCommand("SYST", TReplyState::Syst);
    DenyLogin("Access Denied", line);
}

void TFtp::DetectServerType(const std::string& line) {
    systemType_ = UpperAscii(line.size() > 4 ? line.substr(4) : std::string()).substr(0, 99);
    const auto has = [this](const char* word) {
        return systemType_.find(word) != std::string::npos;
    };
    ServerType = ftpstDefault;
    if (has("UNIX"))
        ServerType = ftpstUNIX;
    if (has("CLIX"))
        ServerType = ftpstClix;
    if (has("ULTRIX"))
        ServerType = ftpstULTRIX;
    if (has("MVS"))
        ServerType = ftpstMVS;
    if (has("QVT"))
        ServerType = ftpstQVT;
    if (has("NCSA"))
        ServerType = ftpstNCSA;
    if (has("CHAMELEON"))
        ServerType = ftpstChameleon;
    if (has("VMS"))
        ServerType = has("MULTINET") ? ftpstVmsMultinet : ftpstVmsUcx;
    else if (has("VM"))
        ServerType = has("VPS") ? ftpstVMVPS : ftpstVM;
}

void TFtp::LoggedIn() {
    Info(ftpLoggedIn, "Logged in");
    SetReplyState(TReplyState::Idle);
    PostReady();
}

void TFtp::OnSystReply(char kind, const std::string& line) {
    operation_ = TFtpOperation::LogIn;
    if (kind == '5')
        ServerType = ftpstDefault;
    else
        DetectServerType(line);
    if (InitialDirectory.empty())
        return LoggedIn();
    if (!SafeArgument(InitialDirectory)) {
        ReportError(ftpOperationFailed, "A name with a line break cannot be sent");
        return LoggedIn();
    }
    SendCommand("CWD " + InitialDirectory, TReplyState::InitialCwd);
}

void TFtp::OnInitialCwdReply(char kind, const std::string& line) {
    if (kind != '2')
        ReportError(ftpOperationFailed, line);
    LoggedIn();
}

void TFtp::OnPwdReply(char kind, const std::string& line) {
    if (kind != '2')
        return FailOperation(line);
    CurrentDirectory = DirectoryOfPwdReply(line);
    SendCommand("TYPE A", TReplyState::ListType);
}

void TFtp::OnListTypeReply(char kind, const std::string& line) {
    dataDone_ = false;
    controlDone_ = false;
    if (kind != '2')
        return FailOperation(line);
    // Armed before PORT goes out: some servers connect back as soon as they read it.
    if (const auto argument = BuildPortArgument()) {
        ArmForListing();
        SendCommand("PORT " + *argument, TReplyState::ListPort);
    }
}

void TFtp::OnListPortReply(char kind, const std::string& line) {
    if (kind != '2')
        return FailOperation("The server refused active mode (PORT): " + line);
    // UNIX servers leave dot-files out of a plain LIST, and a site's .htaccess is one.
    SendCommand(ServerType == ftpstUNIX ? "LIST -a" : "LIST", TReplyState::List);
}

void TFtp::OnListReply(char kind, const std::string& line) {
    if (kind == '1') {
        listingStarted_ = true;
        return;
    }
    if (kind == '2') {
        controlDone_ = true;
        return TransferFinishedIfBothDone();
    }
    if (listingFailed_) {
        // Our own end of the listing has been reported; this answers it.
        controlDone_ = true;
        return TransferFinishedIfBothDone();
    }
    // Many servers answer LIST in an empty (or missing) directory with 450 or 550 at
    // once, never starting a transfer: that directory has nothing to list. Once the
    // server has said it is opening the data connection, or has connected, a refusal is
    // a failure.
    const std::string code = line.substr(0, 3);
    if (!listingStarted_ && (code == "450" || code == "550")) {
        CancelTransfer();
        transferTime_ = 0;
        Info(ftpListingReady, "Listing ready");
        SetReplyState(TReplyState::Idle);
        PostReady();
        return;
    }
    FailOperation(line);
}

void TFtp::OnStoreTypeReply(char kind, const std::string& line) {
    dataDone_ = false;
    controlDone_ = false;
    if (kind != '2')
        return FailOperation(line);
    if (const auto argument = BuildPortArgument()) {
        ArmForUpload();
        SendCommand("PORT " + *argument, TReplyState::StorePort);
    }
}

void TFtp::OnStorePortReply(char kind, const std::string& line) {
    if (kind != '2')
        return FailOperation("The server refused active mode (PORT): " + line);
    SendCommand("STOR " + RemoteFile, TReplyState::Store);
    if (uploadPending_ && replyState_ == TReplyState::Store) {
        uploadPending_ = false;
        SendFileData(dataSlot_);
    }
}

void TFtp::OnStoreReply(char kind, const std::string& line) {
    if (kind == '1')
        return;
    if (kind == '2') {
        controlDone_ = true;
        return TransferFinishedIfBothDone();
    }
    // The refusal ends the upload: a send loop still running stops without a word.
    FailOperation(line);
}

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

// ---------------------------------------------------------------------------------
// Data connection

std::optional<std::string> TFtp::BuildPortArgument() {
    std::string local;
    GetLocalAddress(local);
    data_->HostAddress = local;
    data_->Port = 0;
    data_->ListingLines.Clear();
    try {
        data_->Listen();
    } catch (const EARPError& error) {
        data_->Close();
        FailSession(ftpHostNotFound, std::string("Cannot listen for data: ") + error.what());
        SetStatus(ftpHostNotFound);
        return std::nullopt;
    } catch (const ESockError& error) {
        data_->Close();
        FailSession(ftpSocketError, std::string("Cannot listen for data: ") + error.what());
        SetStatus(ftpSocketError);
        return std::nullopt;
    }
    std::string address;
    data_->GetLocalAddress(address);
    return PortArgument(address, data_->GetLocalPort());
}

// Only the server may connect to our data port, and only once per transfer: anyone
// else on the network who guesses the port is shown the door before a byte moves.
bool TFtp::TakeDataConnection(int32_t slot) {
    if (slot <= 0 || slot > SlotCount)
        return false;
    const bool fromServer = data_->Slot(slot).Address.sin_addr == Socket->Address.sin_addr;
    if (!fromServer || dataSlot_ != 0) {
        data_->CloseClient(slot);
        return false;
    }
    return true;
}

void TFtp::ArmForListing() {
    data_->OnSockAccept = [this](TObject*, int32_t slot) { DataAccepted(slot); };
    data_->OnSockRead = [this](TObject*, int32_t slot) { ListingDataRead(slot); };
    data_->OnSockClose = [this](TObject*, int32_t slot) { ListingClosed(slot); };
    data_->OnSockWrite = nullptr;
    listingStarted_ = false;
    listingFailed_ = false;
    bytesTransferred_ = 0;
    listing_.Clear();
    entries_.clear();
    listingParser_ = TListingParser(ServerType);
    files_.Clear();
    directories_.Clear();
}

void TFtp::ArmForUpload() {
    data_->OnSockAccept = [this](TObject*, int32_t slot) { UploadAccepted(slot); };
    data_->OnSockRead = nullptr;
    data_->OnSockClose = [this](TObject*, int32_t slot) { FileClosed(slot); };
    data_->OnSockWrite = [this](TObject*, int32_t) { dataWritable_ = true; };
    uploadPending_ = false;
}

// The file goes out once STOR has gone out: a server that connects back as soon as it
// reads PORT must not get the data of a command it has not seen.
void TFtp::UploadAccepted(int32_t slot) {
    if (!TakeDataConnection(slot))
        return;
    dataSlot_ = slot;
    if (replyState_ == TReplyState::Store)
        SendFileData(slot);
    else
        uploadPending_ = true;
}

void TFtp::DataAccepted(int32_t slot) {
    if (!TakeDataConnection(slot))
        return;
    bytesTransferred_ = 0;
    startTick_ = GetTickCount();
    lastActivity_ = startTick_;
    transferTime_ = 0;
    dataSlot_ = slot;
    listingStarted_ = true;
    data_->ListingLines.Clear();
    abortRequested_ = false;
}

bool TFtp::ListingDataRead(int32_t slot) {
    if (slot == 0 || slot != dataSlot_)
        return false;
    const uint32_t transfer = transfer_;
    std::string text;
    try {
        char bytes[ReceiveChunk];
        text = ChunkText(bytes, data_->Receive(slot, bytes, ReceiveChunk));
    } catch (const ESockError&) {
        // The data connection broke; the control connection may well be fine.
        EndListingWithError(ftpSocketReadError, "Listing connection broken");
        return false;
    }
    if (text.empty())
        return false;
    lastActivity_ = GetTickCount();
    bytesTransferred_ += static_cast<int64_t>(text.size());
    if (bytesTransferred_ > ListingByteCap) {
        EndListingWithError(ftpOperationFailed, "Listing too long");
        return false;
    }
    if (!data_->ListingLines.Feed(text)) {
        EndListingWithError(ftpSocketReadError, "Listing line too long");
        return false;
    }
    std::string line;
    while (data_->ListingLines.NextLine(line))
        if (!AddListingLine(line, transfer))
            return false;
    return true;
}

bool TFtp::AddListingLine(const std::string& line, uint32_t transfer) {
    if (listing_.Count() >= ListingLineCap) {
        EndListingWithError(ftpOperationFailed, "Listing too long");
        return false;
    }
    transferTime_ = GetTickCount() - startTick_;
    try {
        Info(ftpProgress, line);
        listing_.Add(line);
        Info(ftpListingLine, line);
        if (auto entry = listingParser_.Parse(line)) {
            if (entry->kind == TListedKind::File)
                files_.Add(entry->name);
            else if (entry->kind != TListedKind::Other)
                // A link may lead to a directory; taking it as one lets a walk look inside.
                directories_.Add(entry->name);
            entries_.push_back(std::move(*entry));
        }
    } catch (...) {
        // One bad line, or a handler that threw on it, must not cost the listing.
    }
    // A handler may have ended the transfer (an abort, a quit).
    return transfer == transfer_;
}

void TFtp::EndListingWithError(FtpInfo code, const std::string& reason) {
    // The server finds its data connection gone and answers LIST; that answer, or the
    // one it already gave, completes the operation.
    CancelTransfer();
    ReportError(code, reason);
    success_ = false;
    listingFailed_ = true;
    dataDone_ = true;
    TransferFinishedIfBothDone();
}

void TFtp::ListingClosed(int32_t slot) {
    if (slot == 0) {
        data_->Close();
        return;
    }
    if (slot != dataSlot_)
        return;
    const uint32_t transfer = transfer_;
    // Whatever is still buffered belongs to the listing, and so does a last line that
    // has no line end.
    while (ListingDataRead(slot)) {
    }
    if (transfer != transfer_ || dataSlot_ != slot)
        return; // the listing ended on an error while draining
    std::string line;
    if (data_->ListingLines.TakeLastLine(line) && !AddListingLine(line, transfer))
        return;
    transferTime_ = GetTickCount() - startTick_;
    data_->CloseClient(slot);
    data_->Close();
    dataSlot_ = 0;
    Info(ftpListingReady, "Listing ready");
    Info(ftpTransferDone, "Transfer done");
    dataDone_ = true;
    TransferFinishedIfBothDone();
}

void TFtp::SendFileData(int32_t slot) {
    const uint32_t transfer = transfer_;
    bytesTransferred_ = 0;
    startTick_ = GetTickCount();
    transferTime_ = 0;
    dataSlot_ = slot;
    uploading_ = true;
    dataPeerClosed_ = false;

    struct stat info {};
    const int64_t size =
        localFileOpen_ && ::fstat(localFile_, &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
    Info(ftpFileSize, std::to_string(size));
    const int64_t blocks = size / BlockSize + (size % BlockSize != 0 ? 1 : 0);
    const int32_t rest = static_cast<int32_t>(size % BlockSize);
    std::array<char, BlockSize> buffer;
    FtpInfo failure = ftpNoError;
    for (int64_t block = 1; block <= blocks; ++block) {
        if (abortRequested_) {
            Info(ftpTransferAborted, "Transfer aborted");
            success_ = false;
            break;
        }
        if (transfer != transfer_)
            break;
        const int32_t count = block == blocks && rest != 0 ? rest : BlockSize;
        const ssize_t got = localFileOpen_ ? ReadFull(localFile_, buffer.data(), count) : -1;
        if (got != count) {
            failure = ftpLocalReadError;
            break;
        }
        bytesTransferred_ += count;
        if (!SendAll(slot, transfer, buffer.data(), count)) {
            if (abortRequested_) {
                Info(ftpTransferAborted, "Transfer aborted");
                success_ = false;
            } else if (transfer == transfer_) {
                failure = ftpSocketWriteError;
            }
            break;
        }
        transferTime_ = GetTickCount() - startTick_;
        Info(ftpProgress, "");
    }
    uploading_ = false;
    // Once the transfer was cancelled its data side is no longer ours: the slot may
    // already carry the next one.
    const bool cancelled = transfer != transfer_;
    if (!cancelled)
        EndDataSide();
    transferTime_ = GetTickCount() - startTick_;
    if (failure == ftpLocalReadError) {
        Info(ftpLocalReadError, "File read");
        SetStatus(ftpLocalReadError);
    } else if (failure == ftpSocketWriteError) {
        Info(ftpSocketWriteError, "Write error");
    } else {
        Info(ftpTransferDone, "Transfer done");
    }
    if (cancelled)
        return; // whoever cancelled it has ended the operation
    // A failed upload still ends with one ready, through the same meeting of the two
    // sides as a good one: the server answers STOR once the data connection is gone.
    if (failure == ftpLocalReadError)
        ReportError(failure, "Cannot read " + LocalFile);
    else if (failure == ftpSocketWriteError)
        ReportError(failure, "Upload connection broken");
    dataDone_ = true;
    TransferFinishedIfBothDone();
}

bool TFtp::SendAll(int32_t slot, uint32_t transfer, const char* buffer, int32_t count) {
    int32_t sent = 0;
    while (sent < count) {
        if (abortRequested_ || transfer != transfer_ || dataPeerClosed_ || dataSlot_ != slot)
            return false;
        dataWritable_ = false;
        int32_t n = 0;
        try {
            n = data_->Send(slot, buffer + sent, count - sent);
        } catch (const ESockError&) {
            return false;
        }
        sent += n;
        if (n > 0) {
            lastActivity_ = GetTickCount();
            ProcessMessages();
            continue;
        }
        // Full socket buffer: sleep until the socket can take more (or we must stop).
        WaitUntil(
            [&] {
                return dataWritable_ || abortRequested_ || transfer != transfer_ || dataPeerClosed_;
            },
            GetTickCount() + 1000);
    }
    return true;
}

void TFtp::FileClosed(int32_t slot) {
    if (slot == 0) {
        data_->Close();
        return;
    }
    if (slot != dataSlot_)
        return;
    if (uploading_) {
        // The send loop below us finds out and finishes the upload itself.
        dataPeerClosed_ = true;
        return;
    }
    transferTime_ = GetTickCount() - startTick_;
    EndDataSide();
    Info(ftpTransferDone, "Transfer done");
    dataDone_ = true;
    TransferFinishedIfBothDone();
}

void TFtp::EndDataSide() {
    if (dataSlot_ != 0)
        data_->CloseClient(dataSlot_);
    data_->Close();
    dataSlot_ = 0;
    CloseLocalFile();
}

void TFtp::CancelTransfer() {
    ++transfer_;
    EndDataSide();
    data_->ListingLines.Clear();
    uploadPending_ = false;
}

void TFtp::CloseLocalFile() {
    if (localFile_ >= 0)
        ::close(localFile_);
    localFile_ = -1;
    localFileOpen_ = false;
}

void TFtp::TransferFinishedIfBothDone() {
    if (!dataDone_ || !controlDone_)
        return;
    SetReplyState(TReplyState::Idle);
    PostReady();
}

} // namespace pelmora
