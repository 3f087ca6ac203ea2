#include "sftp/sftp.h"

#include <QSocketNotifier>

#include <libssh2.h>
#include <libssh2_sftp.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace pelmora {

namespace {

// Big enough that the library keeps many write requests in flight at once: each call
// is cut into packets that go out before the first is answered.
constexpr size_t UploadChunk = 4 * 1024 * 1024;

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { libssh2_init(0); });
}

std::string Base64WithoutPadding(const unsigned char* data, size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<size_t>(written));
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    return out;
}

const char* KeyTypeName(int type) {
    switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return "RSA";
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return "DSA";
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return "ECDSA";
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return "ED25519";
    default:
        return "unknown";
    }
}

int KnownHostKeyBits(int type) {
    switch (type) {
    case LIBSSH2_HOSTKEY_TYPE_RSA:
        return LIBSSH2_KNOWNHOST_KEY_SSHRSA;
    case LIBSSH2_HOSTKEY_TYPE_DSS:
        return LIBSSH2_KNOWNHOST_KEY_SSHDSS;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_256:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_256;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_384:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_384;
    case LIBSSH2_HOSTKEY_TYPE_ECDSA_521:
        return LIBSSH2_KNOWNHOST_KEY_ECDSA_521;
    case LIBSSH2_HOSTKEY_TYPE_ED25519:
        return LIBSSH2_KNOWNHOST_KEY_ED25519;
    default:
        return LIBSSH2_KNOWNHOST_KEY_UNKNOWN;
    }
}

// The server's status codes in plain words, and whether the refusal may pass.
std::string StatusText(unsigned long status, bool& forNow) {
    forNow = false;
    switch (status) {
    case LIBSSH2_FX_NO_SUCH_FILE:
    case LIBSSH2_FX_NO_SUCH_PATH:
        return "No such file or directory";
    case LIBSSH2_FX_PERMISSION_DENIED:
        return "Permission denied";
    case LIBSSH2_FX_OP_UNSUPPORTED:
        return "Operation not supported by the server";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS:
        return "File already exists";
    case LIBSSH2_FX_WRITE_PROTECT:
        return "Write protected";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM:
        forNow = true;
        return "No space left on the server";
    case LIBSSH2_FX_QUOTA_EXCEEDED:
        forNow = true;
        return "Quota exceeded";
    case LIBSSH2_FX_LOCK_CONFLICT:
        forNow = true;
        return "Locked by another process";
    case LIBSSH2_FX_DIR_NOT_EMPTY:
        return "Directory not empty";
    case LIBSSH2_FX_NOT_A_DIRECTORY:
        return "Not a directory";
    case LIBSSH2_FX_INVALID_FILENAME:
        return "Invalid file name";
    case LIBSSH2_FX_LINK_LOOP:
        return "Too many levels of links";
    default:
        return "Failure (SFTP status " + std::to_string(status) + ")";
    }
}

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

} // namespace

std::string SftpServerName(const std::string& host, uint16_t port) {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

// The socket's watchers and what the connect and login go through step by step.
struct TSftp::TImpl {
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
    addrinfo* addresses = nullptr;
    addrinfo* address = nullptr;
    int phase = 0;
    std::string connectError;
    // The login: the methods the server offers, each way of ours still to try, and
    // what was tried.
    std::string offered;
    std::vector<std::string> keyFiles;
    size_t keyFile = 0;
    LIBSSH2_AGENT* agent = nullptr;
    libssh2_agent_publickey* identity = nullptr;
    int agentKeys = 0;
    std::vector<std::string> tried;
    bool agentTried = false;
    bool passwordTried = false;
    bool keyboardTried = false;

    ~TImpl() {
        if (addresses)
            freeaddrinfo(addresses);
        FreeAgent();
    }
    void FreeAgent() {
        if (agent) {
            libssh2_agent_disconnect(agent);
            libssh2_agent_free(agent);
            agent = nullptr;
        }
    }
};

TSftp::TSftp() : impl_(std::make_unique<TImpl>()) {
    InitLibrary();
}

TSftp::~TSftp() {
    OnActivity = nullptr;
    OnProgress = nullptr;
    Close();
}

// The watchers may be the ones whose signal runs now (a step that failed closes the
// connection): those go once the loop is back; at any other time at once.
void TSftp::DropWatchers() {
    for (std::unique_ptr<QSocketNotifier>* watcher : {&impl_->readable, &impl_->writable}) {
        if (!*watcher)
            continue;
        (*watcher)->setEnabled(false);
        QObject::disconnect(watcher->get(), nullptr, nullptr, nullptr);
        if (inWatcher_)
            watcher->release()->deleteLater();
        else
            watcher->reset();
    }
}

void TSftp::Close() {
    DropWatchers();
    impl_->FreeAgent();
    // The library frees only what it could finish closing, and a non-blocking close on a
    // busy or stalled connection never finishes: the socket is shut first, so that every
    // send and receive fails at once, and the library frees it all without waiting.
    if (socket_ >= 0)
        ::shutdown(socket_, SHUT_RDWR);
    if (session_)
        libssh2_session_set_blocking(session_, 1);
    if (sftp_) {
        libssh2_sftp_shutdown(sftp_);
        sftp_ = nullptr;
    }
    if (session_) {
        libssh2_session_free(session_);
        session_ = nullptr;
    }
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    // A step that runs now is left to return first (see Drive).
    if (!driving_)
        step_ = nullptr;
}

void TSftp::Abort() {
    Close();
    if (state_ == TSftpState::Running)
        state_ = TSftpState::Lost;
}

void TSftp::Disconnect() {
    if (session_ && !Running()) {
        // One try: the goodbye goes out when the socket takes it at once.
        libssh2_session_disconnect(session_, "Goodbye");
    }
    Abort();
}

void TSftp::Start(TStep step, bool connecting) {
    errorText_.clear();
    replyText_.clear();
    renameTargetTaken_ = false;
    if (!connecting && !sftp_) {
        // Nothing to send it on.
        state_ = TSftpState::Lost;
        errorText_ = "The connection is closed";
        replyText_ = "421 " + errorText_;
        return;
    }
    step_ = std::move(step);
    state_ = TSftpState::Running;
    Drive();
}

void TSftp::Finish(TSftpState state) {
    state_ = state;
    step_ = nullptr;
    if (state == TSftpState::Lost)
        Close();
}

void TSftp::Drive() {
    if (driving_ || !step_)
        return;
    driving_ = true;
    const TSftpState state = step_();
    driving_ = false;
    if (state_ != TSftpState::Running)
        step_ = nullptr; // aborted meanwhile
    else if (state != TSftpState::Running)
        Finish(state);
    Watch();
    if (OnActivity)
        OnActivity();
}

// The socket is watched only while an operation waits on it, and only in the directions
// the library waits for: an idle connection that has bytes to read must not wake the
// loop over and over.
void TSftp::Watch() {
    if (socket_ < 0)
        return;
    if (!impl_->readable) {
        impl_->readable = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
        impl_->writable = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Write);
        const auto ready = [this] {
            inWatcher_ = true;
            Drive();
            inWatcher_ = false;
        };
        QObject::connect(impl_->readable.get(), &QSocketNotifier::activated, ready);
        QObject::connect(impl_->writable.get(), &QSocketNotifier::activated, ready);
    }
    bool read = false, write = false;
    if (Running()) {
        if (!session_) {
            write = true; // the TCP connect
        } else {
            const int directions = libssh2_session_block_directions(session_);
            read = (directions & LIBSSH2_SESSION_BLOCK_INBOUND) || directions == 0;
            write = directions & LIBSSH2_SESSION_BLOCK_OUTBOUND;
        }
    }
    impl_->readable->setEnabled(read);
    impl_->writable->setEnabled(write);
}

TSftpState TSftp::FailFromSession(const std::string& what) {
    char* message = nullptr;
    const int code = session_ ? libssh2_session_last_error(session_, &message, nullptr, 0) : 0;
    std::string why = message && *message ? message : "the connection was lost";
    if (code == LIBSSH2_ERROR_SOCKET_RECV || code == LIBSSH2_ERROR_SOCKET_SEND ||
        code == LIBSSH2_ERROR_SOCKET_DISCONNECT)
        why = "the connection was lost";
    errorText_ = what + ": " + why;
    replyText_ = "421 " + errorText_;
    return TSftpState::Lost;
}

// A call that came back with an error: the server's refusal of this one operation, or the
// end of the connection.
TSftpState TSftp::FailFromSftp(const std::string& what) {
    if (libssh2_session_last_errno(session_) != LIBSSH2_ERROR_SFTP_PROTOCOL)
        return FailFromSession(what);
    bool forNow = false;
    const std::string why = StatusText(libssh2_sftp_last_error(sftp_), forNow);
    errorText_ = what + ": " + why;
    replyText_ = (forNow ? "450 " : "550 ") + why;
    return TSftpState::Failed;
}

void TSftp::Connect(const TConnectionSettings& settings) {
    Close();
    settings_ = settings;
    state_ = TSftpState::Idle;
    loginRefused_ = false;
    refusedKey_.reset();
    authMethod_.clear();
    hostKeyText_.clear();
    home_.clear();
    impl_ = std::make_unique<TImpl>();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const std::string port = std::to_string(settings.port);
    const int resolved =
        getaddrinfo(settings.host.c_str(), port.c_str(), &hints, &impl_->addresses);
    if (resolved != 0 || !impl_->addresses) {
        state_ = TSftpState::Lost;
        errorText_ = "Server name or address could not be resolved: " + settings.host;
        replyText_ = "421 " + errorText_;
        impl_->addresses = nullptr;
        return;
    }
    impl_->address = impl_->addresses;
    Start([this] { return ConnectStep(); }, true);
}

TSftpState TSftp::ConnectStep() {
    TImpl& c = *impl_;
    const std::string server = SftpServerName(settings_.host, settings_.port);
    for (;;) {
        switch (c.phase) {
        case 0: { // a TCP connection to the next address
            if (!c.address) {
                errorText_ = "Could not connect to " + server + " (" +
                             (c.connectError.empty() ? "no address" : c.connectError) + ")";
                replyText_ = "421 " + errorText_;
                return TSftpState::Lost;
            }
            socket_ = ::socket(c.address->ai_family,
                               c.address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                               c.address->ai_protocol);
            if (socket_ < 0) {
                c.connectError = std::strerror(errno);
                c.address = c.address->ai_next;
                continue;
            }
            const int one = 1;
            setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (::connect(socket_, c.address->ai_addr, c.address->ai_addrlen) != 0 &&
                errno != EINPROGRESS) {
                c.connectError = std::strerror(errno);
                DropWatchers();
                ::close(socket_);
                socket_ = -1;
                c.address = c.address->ai_next;
                continue;
            }
            c.phase = 1;
            return TSftpState::Running;
        }
        case 1: { // the connect ended
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == EINPROGRESS)
                return TSftpState::Running;
            if (error != 0) {
                c.connectError = std::strerror(error);
                DropWatchers();
                ::close(socket_);
                socket_ = -1;
                c.address = c.address->ai_next;
                c.phase = 0;
                continue;
            }
            session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, this);
            libssh2_session_set_blocking(session_, 0);
            c.phase = 2;
            continue;
        }
        case 2: { // the SSH handshake
            const int rc = libssh2_session_handshake(session_, socket_);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return TSftpState::Running;
            if (rc != 0)
                return FailFromSession("The SSH handshake with " + server + " failed");
            const TSftpState checked = CheckHostKey();
            if (checked != TSftpState::Running)
                return checked;
            c.phase = 3;
            continue;
        }
        case 3: { // the methods the server offers
            char* list = libssh2_userauth_list(session_, settings_.user.c_str(),
                                               static_cast<unsigned>(settings_.user.size()));
            if (!list) {
                if (libssh2_userauth_authenticated(session_)) {
                    authMethod_ = "none";
                    c.phase = 5;
                    continue;
                }
                if (libssh2_session_last_errno(session_) == LIBSSH2_ERROR_EAGAIN)
                    return TSftpState::Running;
                return FailFromSession("The login on " + server + " failed");
            }
            c.offered = list;
            const std::string home = HomeDir();
            if (!settings_.sftpKeyFile.empty()) {
                c.keyFiles.push_back(settings_.sftpKeyFile);
            } else if (!home.empty()) {
                for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
                    const std::string path = home + "/.ssh/" + name;
                    std::error_code ec;
                    if (std::filesystem::exists(path, ec))
                        c.keyFiles.push_back(path);
                }
            }
            c.phase = 4;
            continue;
        }
        case 4: { // the login, one way after another
            const TSftpState auth = AuthStep();
            if (auth != TSftpState::Done)
                return auth;
            c.FreeAgent();
            c.phase = 5;
            continue;
        }
        case 5: { // the SFTP subsystem
            sftp_ = libssh2_sftp_init(session_);
            if (!sftp_) {
                if (libssh2_session_last_errno(session_) == LIBSSH2_ERROR_EAGAIN)
                    return TSftpState::Running;
                return FailFromSession("The server " + server + " did not start SFTP");
            }
            c.phase = 6;
            continue;
        }
        case 6: { // where the login put us
            char path[4096];
            const int rc = libssh2_sftp_realpath(sftp_, ".", path, sizeof path - 1);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return TSftpState::Running;
            home_ = rc > 0 ? std::string(path, static_cast<size_t>(rc)) : "/";
            return TSftpState::Done;
        }
        default:
            return TSftpState::Lost;
        }
    }
}

// Before any secret goes out: the key the server showed must be the one trusted for the
// site, or the one known_hosts names for it. Running: accepted.
TSftpState TSftp::CheckHostKey() {
    size_t length = 0;
    int type = 0;
    const char* key = libssh2_session_hostkey(session_, &length, &type);
    const unsigned char* hash = reinterpret_cast<const unsigned char*>(
        libssh2_hostkey_hash(session_, LIBSSH2_HOSTKEY_HASH_SHA256));
    if (!key || !hash)
        return FailFromSession("The server sent no host key");
    TSftpHostKey shown{settings_.host, settings_.port, KeyTypeName(type),
                       "SHA256:" + Base64WithoutPadding(hash, 32), false};
    hostKeyText_ = shown.type + " " + shown.fingerprint;
    bool known = false;
    if (!settings_.sftpHostKey.empty()) {
        // The key trusted for the site decides alone.
        std::string trusted = settings_.sftpHostKey;
        while (!trusted.empty() && trusted.back() == '=')
            trusted.pop_back();
        if (!trusted.starts_with("SHA256:"))
            trusted = "SHA256:" + trusted;
        known = trusted == shown.fingerprint;
        shown.changed = !known;
    } else {
        LIBSSH2_KNOWNHOSTS* hosts = libssh2_knownhost_init(session_);
        const std::string home = HomeDir();
        if (hosts && !home.empty())
            libssh2_knownhost_readfile(hosts, (home + "/.ssh/known_hosts").c_str(),
                                       LIBSSH2_KNOWNHOST_FILE_OPENSSH);
        if (hosts) {
            libssh2_knownhost* found = nullptr;
            const int check =
                libssh2_knownhost_checkp(hosts, settings_.host.c_str(), settings_.port, key, length,
                                         LIBSSH2_KNOWNHOST_TYPE_PLAIN |
                                             LIBSSH2_KNOWNHOST_KEYENC_RAW | KnownHostKeyBits(type),
                                         &found);
            known = check == LIBSSH2_KNOWNHOST_CHECK_MATCH;
            shown.changed = check == LIBSSH2_KNOWNHOST_CHECK_MISMATCH;
            libssh2_knownhost_free(hosts);
        }
    }
    if (known)
        return TSftpState::Running;
    const std::string server = SftpServerName(shown.host, shown.port);
    if (shown.changed)
        errorText_ = "The host key of " + server + " has CHANGED (now " + shown.type + " " +
                     shown.fingerprint +
                     "): someone may be listening in, or the server got a new key. Refused";
    else
        errorText_ = "Host key for " + server + " is not trusted (" + shown.type + " " +
                     shown.fingerprint + ")";
    replyText_ = "530 " + errorText_;
    refusedKey_ = shown;
    return TSftpState::Lost;
}

namespace {

// Keyboard-interactive: the password answers every prompt.
void AnswerPrompts(const char*, int, const char*, int, int count,
                   const LIBSSH2_USERAUTH_KBDINT_PROMPT*, LIBSSH2_USERAUTH_KBDINT_RESPONSE* answers,
                   void** abstract) {
    const std::string& password = *static_cast<const std::string*>(*abstract);
    for (int i = 0; i < count; ++i) {
        answers[i].text = strdup(password.c_str());
        answers[i].length = static_cast<unsigned>(password.size());
    }
}

bool Offers(const std::string& offered, const char* method) {
    return ("," + offered + ",").find(std::string(",") + method + ",") != std::string::npos;
}

} // namespace

// Done once logged in; Running while a try waits; Lost when every way was refused.
TSftpState TSftp::AuthStep() {
    TImpl& c = *impl_;
    const char* user = settings_.user.c_str();
    const auto userLength = static_cast<unsigned>(settings_.user.size());
    const auto tried = [&](int rc, const std::string& method) -> std::optional<TSftpState> {
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        if (rc == 0) {
            authMethod_ = method;
            return TSftpState::Done;
        }
        // A refusal moves on to the next way; only a connection that went stops the login.
        if (rc == LIBSSH2_ERROR_SOCKET_RECV || rc == LIBSSH2_ERROR_SOCKET_SEND ||
            rc == LIBSSH2_ERROR_SOCKET_DISCONNECT || rc == LIBSSH2_ERROR_TIMEOUT)
            return FailFromSession("The login on " +
                                   SftpServerName(settings_.host, settings_.port) + " failed");
        return std::nullopt;
    };
    // The agent's keys, one after another.
    if (!c.agentTried && Offers(c.offered, "publickey") && std::getenv("SSH_AUTH_SOCK")) {
        if (!c.agent) {
            c.agent = libssh2_agent_init(session_);
            if (!c.agent || libssh2_agent_connect(c.agent) != 0 ||
                libssh2_agent_list_identities(c.agent) != 0) {
                c.FreeAgent();
                c.agentTried = true;
            } else if (libssh2_agent_get_identity(c.agent, &c.identity, nullptr) != 0) {
                c.identity = nullptr;
            }
        }
        while (c.agent && c.identity) {
            const int rc = libssh2_agent_userauth(c.agent, user, c.identity);
            if (rc != LIBSSH2_ERROR_EAGAIN && rc != 0)
                ++c.agentKeys;
            if (const auto state = tried(rc, "agent"))
                return *state;
            if (libssh2_agent_get_identity(c.agent, &c.identity, c.identity) != 0)
                c.identity = nullptr;
        }
        if (c.agent)
            c.tried.push_back("agent (" + std::to_string(c.agentKeys) +
                              (c.agentKeys == 1 ? " key)" : " keys)"));
        c.FreeAgent();
        c.agentTried = true;
    }
    // Key files.
    while (Offers(c.offered, "publickey") && c.keyFile < c.keyFiles.size()) {
        const std::string& path = c.keyFiles[c.keyFile];
        const char* passphrase = std::getenv("PELMORA_PASSPHRASE");
        const int rc = libssh2_userauth_publickey_fromfile_ex(
            session_, user, userLength, nullptr, path.c_str(), passphrase ? passphrase : "");
        if (const auto state = tried(rc, "key file " + path))
            return *state;
        c.tried.push_back("key file " + std::filesystem::path(path).filename().string());
        ++c.keyFile;
    }
    // The password, then the same password through keyboard-interactive.
    if (!c.passwordTried && Offers(c.offered, "password") && !settings_.password.empty()) {
        const int rc =
            libssh2_userauth_password_ex(session_, user, userLength, settings_.password.c_str(),
                                         static_cast<unsigned>(settings_.password.size()), nullptr);
        if (const auto state = tried(rc, "password"))
            return *state;
        c.tried.push_back("password");
        c.passwordTried = true;
    }
    if (!c.keyboardTried && Offers(c.offered, "keyboard-interactive") &&
        !settings_.password.empty()) {
        *libssh2_session_abstract(session_) = &settings_.password;
        const int rc =
            libssh2_userauth_keyboard_interactive_ex(session_, user, userLength, AnswerPrompts);
        *libssh2_session_abstract(session_) = this;
        if (const auto state = tried(rc, "keyboard-interactive"))
            return *state;
        c.tried.push_back("keyboard-interactive");
        c.keyboardTried = true;
    }
    std::string offered = c.offered;
    for (size_t at = 0; (at = offered.find(',', at)) != std::string::npos; at += 2)
        offered.replace(at, 1, ", ");
    std::string triedText;
    for (const std::string& way : c.tried)
        triedText += (triedText.empty() ? "" : ", ") + way;
    errorText_ = "Authentication failed for user " + settings_.user + " on " + settings_.host +
                 ": the server offers " + offered + "; tried " +
                 (triedText.empty() ? "nothing (no key, agent or password)" : triedText);
    replyText_ = "530 " + errorText_;
    loginRefused_ = true;
    return TSftpState::Lost;
}

std::string TSftp::SecurityText() const {
    if (!session_)
        return "";
    std::string text = "SSH";
    if (const char* cipher = libssh2_session_methods(session_, LIBSSH2_METHOD_CRYPT_CS))
        text += std::string(", ") + cipher;
    if (!hostKeyText_.empty())
        text += ", host key " + hostKeyText_;
    if (!authMethod_.empty())
        text += ", logged in by " + authMethod_;
    return text;
}

void TSftp::List(const std::string& path) {
    entries_.clear();
    struct TState {
        LIBSSH2_SFTP_HANDLE* handle = nullptr;
        bool ended = false;
        TSftpState outcome = TSftpState::Done;
    };
    auto s = std::make_shared<TState>();
    Start([this, s, path]() -> TSftpState {
        if (!s->handle && !s->ended) {
            s->handle = libssh2_sftp_open_ex(sftp_, path.data(), static_cast<unsigned>(path.size()),
                                             0, 0, LIBSSH2_SFTP_OPENDIR);
            if (!s->handle) {
                if (libssh2_session_last_errno(session_) == LIBSSH2_ERROR_EAGAIN)
                    return TSftpState::Running;
                return FailFromSftp("Could not list " + path);
            }
        }
        while (!s->ended) {
            char name[4096];
            LIBSSH2_SFTP_ATTRIBUTES attrs{};
            const int rc =
                libssh2_sftp_readdir_ex(s->handle, name, sizeof name, nullptr, 0, &attrs);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return TSftpState::Running;
            if (rc < 0) {
                s->outcome = FailFromSftp("Could not list " + path);
                if (s->outcome == TSftpState::Lost)
                    return s->outcome;
                s->ended = true;
                break;
            }
            if (rc == 0) {
                s->ended = true;
                break;
            }
            TListedEntry entry;
            entry.name.assign(name, static_cast<size_t>(rc));
            if (entry.name == "." || entry.name == "..")
                continue;
            const unsigned long mode =
                (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) ? attrs.permissions : 0;
            entry.kind = LIBSSH2_SFTP_S_ISDIR(mode)   ? TListedKind::Directory
                         : LIBSSH2_SFTP_S_ISLNK(mode) ? TListedKind::Link
                         : LIBSSH2_SFTP_S_ISREG(mode) ? TListedKind::File
                                                      : TListedKind::Other;
            entry.form = TListingForm::Unix;
            if (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE)
                entry.size = static_cast<long long>(attrs.filesize);
            if (attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) {
                const auto seconds = static_cast<int64_t>(attrs.mtime);
                entry.utcSeconds = seconds;
                const TListedDate date = DateOfUtcSeconds(seconds);
                entry.year = date.year;
                entry.month = date.month;
                entry.day = date.day;
                entry.hour = date.hour;
                entry.minute = date.minute;
            }
            entries_.push_back(std::move(entry));
        }
        const int rc = libssh2_sftp_close_handle(s->handle);
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        return s->outcome;
    });
}

void TSftp::MakeDir(const std::string& path) {
    Start(([this, path] {
        const int rc =
            libssh2_sftp_mkdir_ex(sftp_, path.data(), static_cast<unsigned>(path.size()), 0755);
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        return rc == 0 ? TSftpState::Done : FailFromSftp("Could not make directory " + path);
    }));
}

void TSftp::Delete(const std::string& path) {
    Start(([this, path] {
        const int rc =
            libssh2_sftp_unlink_ex(sftp_, path.data(), static_cast<unsigned>(path.size()));
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        return rc == 0 ? TSftpState::Done : FailFromSftp("Could not delete " + path);
    }));
}

void TSftp::RemoveDir(const std::string& path) {
    Start(([this, path] {
        const int rc =
            libssh2_sftp_rmdir_ex(sftp_, path.data(), static_cast<unsigned>(path.size()));
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        return rc == 0 ? TSftpState::Done : FailFromSftp("Could not remove directory " + path);
    }));
}

void TSftp::Rename(const std::string& from, const std::string& to) {
    // After a refusal, whether the new name is taken: the refusal of a rename onto a file
    // that exists (the protocol's version 3 replaces nothing) looks like any other.
    auto checking = std::make_shared<bool>(false);
    auto refusal = std::make_shared<std::pair<std::string, std::string>>();
    Start([this, from, to, checking, refusal]() -> TSftpState {
        if (!*checking) {
            const int rc =
                libssh2_sftp_rename_ex(sftp_, from.data(), static_cast<unsigned>(from.size()),
                                       to.data(), static_cast<unsigned>(to.size()),
                                       LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                           LIBSSH2_SFTP_RENAME_NATIVE);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return TSftpState::Running;
            if (rc == 0)
                return TSftpState::Done;
            const TSftpState failed = FailFromSftp("Could not rename " + from + " to " + to);
            if (failed != TSftpState::Failed)
                return failed;
            *refusal = {errorText_, replyText_};
            *checking = true;
        }
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const int rc = libssh2_sftp_stat_ex(sftp_, to.data(), static_cast<unsigned>(to.size()),
                                            LIBSSH2_SFTP_LSTAT, &attrs);
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        if (rc != 0 && libssh2_session_last_errno(session_) != LIBSSH2_ERROR_SFTP_PROTOCOL)
            return FailFromSession("Could not rename " + from + " to " + to);
        errorText_ = refusal->first;
        replyText_ = refusal->second;
        renameTargetTaken_ = rc == 0;
        return TSftpState::Failed;
    });
}

void TSftp::SetTime(const std::string& path, int64_t utcSeconds) {
    Start(([this, path, utcSeconds] {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        attrs.flags = LIBSSH2_SFTP_ATTR_ACMODTIME;
        attrs.atime = attrs.mtime = static_cast<unsigned long>(utcSeconds);
        const int rc = libssh2_sftp_stat_ex(sftp_, path.data(), static_cast<unsigned>(path.size()),
                                            LIBSSH2_SFTP_SETSTAT, &attrs);
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        return rc == 0 ? TSftpState::Done : FailFromSftp("Could not set the time of " + path);
    }));
}

void TSftp::Stat(const std::string& path) {
    Start(([this, path] {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const int rc = libssh2_sftp_stat_ex(sftp_, path.data(), static_cast<unsigned>(path.size()),
                                            LIBSSH2_SFTP_STAT, &attrs);
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        if (rc != 0)
            return FailFromSftp("Could not look at " + path);
        const unsigned long mode =
            (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) ? attrs.permissions : 0;
        statKind_ = LIBSSH2_SFTP_S_ISDIR(mode)   ? TListedKind::Directory
                    : LIBSSH2_SFTP_S_ISREG(mode) ? TListedKind::File
                                                 : TListedKind::Other;
        statTime_ =
            (attrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME) ? static_cast<int64_t>(attrs.mtime) : -1;
        return TSftpState::Done;
    }));
}

void TSftp::Put(const std::string& localPath, const std::string& remotePath) {
    bytesSent_ = 0;
    fileSize_ = 0;
    struct TState {
        int file = -1;
        LIBSSH2_SFTP_HANDLE* handle = nullptr;
        std::vector<char> buffer;
        size_t filled = 0;
        size_t sent = 0;
        bool atEnd = false;
        TSftpState outcome = TSftpState::Done;
        bool closing = false;
        ~TState() {
            if (file >= 0)
                ::close(file);
        }
    };
    auto s = std::make_shared<TState>();
    s->file = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    localFileFailed_ = false;
    if (s->file < 0) {
        localFileFailed_ = true;
        state_ = TSftpState::Failed;
        errorText_ = "Could not open " + localPath + ": " + std::strerror(errno);
        replyText_ = "550 " + errorText_;
        return;
    }
    struct stat info {};
    if (fstat(s->file, &info) == 0)
        fileSize_ = info.st_size;
    s->buffer.resize(UploadChunk);
    Start([this, s, localPath, remotePath]() -> TSftpState {
        if (!s->handle && !s->closing) {
            s->handle = libssh2_sftp_open_ex(
                sftp_, remotePath.data(), static_cast<unsigned>(remotePath.size()),
                LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644,
                LIBSSH2_SFTP_OPENFILE);
            if (!s->handle) {
                if (libssh2_session_last_errno(session_) == LIBSSH2_ERROR_EAGAIN)
                    return TSftpState::Running;
                return FailFromSftp("Could not upload " + remotePath);
            }
        }
        while (!s->closing) {
            // The buffer is kept full: room the server's answers made is filled with more
            // of the file behind what is still on its way, so that the requests in flight
            // never run dry at a refill. The library has copied what it sent; it goes on
            // from the same bytes at the start of the buffer.
            if (!s->atEnd && s->filled - s->sent < s->buffer.size() / 2) {
                std::memmove(s->buffer.data(), s->buffer.data() + s->sent, s->filled - s->sent);
                s->filled -= s->sent;
                s->sent = 0;
                const ssize_t got =
                    ::read(s->file, s->buffer.data() + s->filled, s->buffer.size() - s->filled);
                if (got < 0) {
                    localFileFailed_ = true;
                    s->outcome = TSftpState::Failed;
                    errorText_ = "Could not read " + localPath + ": " + std::strerror(errno);
                    replyText_ = "550 " + errorText_;
                    s->closing = true;
                    break;
                }
                s->filled += static_cast<size_t>(got);
                s->atEnd = got == 0;
            }
            if (s->sent == s->filled) {
                if (s->atEnd)
                    s->closing = true;
                continue;
            }
            // After EAGAIN: the same bytes again (and maybe more), as the library asks.
            const ssize_t rc =
                libssh2_sftp_write(s->handle, s->buffer.data() + s->sent, s->filled - s->sent);
            if (rc == LIBSSH2_ERROR_EAGAIN)
                return TSftpState::Running;
            if (rc < 0) {
                const TSftpState failed = FailFromSftp("Could not upload " + remotePath);
                if (failed == TSftpState::Lost)
                    return failed;
                s->outcome = failed;
                s->closing = true;
                break;
            }
            s->sent += static_cast<size_t>(rc);
            bytesSent_ += rc;
            if (OnProgress)
                OnProgress();
            if (!session_)
                return TSftpState::Lost; // stopped and aborted meanwhile
        }
        const int rc = libssh2_sftp_close_handle(s->handle);
        if (rc == LIBSSH2_ERROR_EAGAIN)
            return TSftpState::Running;
        if (rc != 0 && s->outcome == TSftpState::Done)
            return FailFromSftp("Could not finish uploading " + remotePath);
        return s->outcome;
    });
}

} // namespace pelmora
