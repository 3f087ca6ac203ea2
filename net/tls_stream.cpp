#include "net/tls_stream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cstdio>
#include <ctime>

namespace pelmora {

namespace {

int SessionsIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int KeepSession(SSL* ssl, SSL_SESSION* session);

// One context for the program: sessions are handed from one connection to the next
// only within the same context.
SSL_CTX* ClientContext() {
    static const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        if (made != nullptr) {
            SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
            SSL_CTX_set_default_verify_paths(made);
            // The chain is checked, and its verdict read after the handshake: a refusal
            // must still be able to show the certificate's fingerprint.
            SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
            SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_CLIENT |
                                                     SSL_SESS_CACHE_NO_INTERNAL_STORE);
            SSL_CTX_sess_set_new_cb(made, KeepSession);
        }
        return std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>(made, &SSL_CTX_free);
    }();
    return context.get();
}

std::string LastErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "the server closed the connection during the TLS handshake";
    // The reason alone ("sslv3 alert handshake failure", "wrong version number"): the
    // library's code and module say nothing to a user.
    if (const char* reason = ERR_reason_error_string(code))
        return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// "CN=ftp.example.org,O=Example": one line, the most specific part first, UTF-8 as it is.
std::string NameText(const X509_NAME* name) {
    std::string text;
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr)
        return text;
    if (X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
        char* bytes = nullptr;
        const long size = BIO_get_mem_data(out, &bytes);
        if (size > 0)
            text.assign(bytes, static_cast<size_t>(size));
    }
    BIO_free(out);
    return text;
}

// "2026-12-10 20:53:47 UTC".
std::string TimeText(const ASN1_TIME* time) {
    struct tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
        return std::string();
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

bool IsAddress(const std::string& host) {
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
}

} // namespace

struct TTlsStream::TSessions {
    std::vector<SSL_SESSION*> unused; // newest last
    ~TSessions() {
        for (SSL_SESSION* session : unused)
            SSL_SESSION_free(session);
    }
};

namespace {

int KeepSession(SSL* ssl, SSL_SESSION* session) {
    auto* sessions = static_cast<TTlsStream::TSessions*>(SSL_get_ex_data(ssl, SessionsIndex()));
    if (sessions == nullptr || sessions->unused.size() >= 16)
        return 0;
    sessions->unused.push_back(session);
    return 1; // the reference is ours now
}

} // namespace

struct TTlsStream::TState {
    SSL* ssl = nullptr;
    BIO* in = nullptr;  // owned by ssl
    BIO* out = nullptr; // owned by ssl
    ~TState() {
        if (ssl != nullptr)
            SSL_free(ssl);
    }
};

TTlsStream::TTlsStream() = default;
TTlsStream::~TTlsStream() = default;

void TTlsStream::Begin(const std::string& host, const TTlsStream* resumeFrom) {
    state_ = std::make_unique<TState>();
    established_ = false;
    closed_ = false;
    verifyFailure_.clear();
    certificate_ = TCertificateInfo();
    failure_.clear();
    SSL_CTX* context = ClientContext();
    if (context == nullptr || (state_->ssl = SSL_new(context)) == nullptr) {
        failure_ = "TLS is not available";
        closed_ = true;
        return;
    }
    state_->in = BIO_new(BIO_s_mem());
    state_->out = BIO_new(BIO_s_mem());
    // An empty input is "not yet", never the end of the stream.
    BIO_set_mem_eof_return(state_->in, -1);
    SSL_set_bio(state_->ssl, state_->in, state_->out);
    SSL_set_connect_state(state_->ssl);
    if (IsAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(state_->ssl), host.c_str());
    } else if (!host.empty()) {
        SSL_set_tlsext_host_name(state_->ssl, host.c_str());
        SSL_set1_host(state_->ssl, host.c_str());
    }
    sessions_ = resumeFrom != nullptr && resumeFrom->sessions_ ? resumeFrom->sessions_
                                                               : std::make_shared<TSessions>();
    SSL_set_ex_data(state_->ssl, SessionsIndex(), sessions_.get());
    if (resumeFrom == nullptr)
        return;
    // A session not used before, where there is one; otherwise the latest of the stream.
    SSL_SESSION* session = nullptr;
    if (!sessions_->unused.empty()) {
        session = sessions_->unused.back();
        sessions_->unused.pop_back();
    } else if (resumeFrom->state_ && resumeFrom->state_->ssl != nullptr) {
        session = SSL_get1_session(resumeFrom->state_->ssl);
    }
    if (session != nullptr) {
        SSL_set_session(state_->ssl, session);
        SSL_SESSION_free(session);
    }
}

TTlsStep TTlsStream::Handshake() {
    if (established_)
        return TTlsStep::Done;
    if (!state_ || state_->ssl == nullptr || closed_)
        return TTlsStep::Failed;
    const int result = SSL_do_handshake(state_->ssl);
    if (result != 1) {
        const int error = SSL_get_error(state_->ssl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return TTlsStep::Again;
        failure_ = LastErrorText();
        closed_ = true;
        return TTlsStep::Failed;
    }
    established_ = true;
    if (X509* certificate = SSL_get1_peer_certificate(state_->ssl)) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (X509_digest(certificate, EVP_sha256(), digest, &size) == 1) {
            static const char hex[] = "0123456789ABCDEF";
            for (unsigned int i = 0; i < size; ++i) {
                if (i != 0)
                    certificate_.fingerprint += ':';
                certificate_.fingerprint += hex[digest[i] >> 4];
                certificate_.fingerprint += hex[digest[i] & 15];
            }
        }
        certificate_.subject = NameText(X509_get_subject_name(certificate));
        certificate_.issuer = NameText(X509_get_issuer_name(certificate));
        certificate_.notBefore = TimeText(X509_get0_notBefore(certificate));
        certificate_.notAfter = TimeText(X509_get0_notAfter(certificate));
        X509_free(certificate);
        const long verdict = SSL_get_verify_result(state_->ssl);
        if (verdict != X509_V_OK)
            verifyFailure_ = X509_verify_cert_error_string(verdict);
    } else {
        verifyFailure_ = "the server showed no certificate";
    }
    return TTlsStep::Done;
}

void TTlsStream::FeedCipher(const char* bytes, size_t count) {
    if (state_ && state_->in != nullptr && count > 0)
        BIO_write(state_->in, bytes, static_cast<int>(count));
}

std::string TTlsStream::TakeCipher() {
    std::string text;
    if (!state_ || state_->out == nullptr)
        return text;
    char chunk[4096];
    int got = 0;
    while ((got = BIO_read(state_->out, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

bool TTlsStream::HasCipher() const {
    return state_ && state_->out != nullptr && BIO_ctrl_pending(state_->out) > 0;
}

int32_t TTlsStream::ReadPlain(char* buffer, int32_t capacity) {
    if (!state_ || state_->ssl == nullptr || closed_ || capacity <= 0)
        return 0;
    const int got = SSL_read(state_->ssl, buffer, capacity);
    if (got > 0)
        return got;
    const int error = SSL_get_error(state_->ssl, got);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return 0;
    if (error == SSL_ERROR_ZERO_RETURN) {
        closed_ = true;
        // Answered at once: some servers wait for our close notice before they report
        // the transfer as done.
        SSL_shutdown(state_->ssl);
    } else {
        failure_ = LastErrorText();
        closed_ = true;
    }
    return 0;
}

bool TTlsStream::WritePlain(const char* buffer, int32_t count) {
    if (!state_ || state_->ssl == nullptr || closed_)
        return false;
    int32_t done = 0;
    while (done < count) {
        const int wrote = SSL_write(state_->ssl, buffer + done, count - done);
        if (wrote <= 0) {
            failure_ = LastErrorText();
            return false;
        }
        done += wrote;
    }
    return true;
}

void TTlsStream::Shutdown() {
    if (state_ && state_->ssl != nullptr && established_)
        SSL_shutdown(state_->ssl);
}

std::string TTlsStream::Version() const {
    if (!state_ || state_->ssl == nullptr)
        return std::string();
    std::string name = SSL_get_version(state_->ssl); // "TLSv1.3"
    if (name.rfind("TLSv", 0) == 0)
        name = "TLS " + name.substr(4);
    return name;
}

bool TTlsStream::SessionReused() const {
    return state_ && state_->ssl != nullptr && SSL_session_reused(state_->ssl) == 1;
}

size_t TTlsStream::UnusedSessions() const {
    return sessions_ ? sessions_->unused.size() : 0;
}

std::string NormalFingerprint(const std::string& text) {
    std::string rest = text;
    if (rest.size() >= 7) {
        std::string prefix = rest.substr(0, 7);
        for (char& c : prefix)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (prefix == "SHA256:")
            rest.erase(0, 7);
    }
    std::string digits;
    for (const char c : rest) {
        if (c == ':' || c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::string();
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (digits.size() != 64)
        return std::string();
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        if (i != 0)
            out += ':';
        out += digits.substr(i, 2);
    }
    return out;
}

std::string CompactFingerprint(const std::string& text) {
    std::string digits;
    for (const char c : NormalFingerprint(text))
        if (c != ':')
            digits += c;
    return digits.empty() ? std::string() : "SHA256:" + digits;
}

std::string DisplayFingerprint(const std::string& text) {
    const std::string pairs = NormalFingerprint(text);
    return pairs.empty() ? text : "SHA256:" + pairs;
}

} // namespace pelmora
