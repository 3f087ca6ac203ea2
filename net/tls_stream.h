#pragma once

// TLS on top of a stream we do not own: the socket's bytes go in through FeedCipher
// and come out through TakeCipher, so the socket layer keeps its shape and every wait
// stays a wait for the socket's own notifications. Client side only.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelmora {

enum class TTlsStep : uint8_t {
    Done,   // the handshake has completed
    Again,  // more bytes from the peer are needed
    Failed, // the handshake broke; Failure() says why
};

// What a certificate says of itself, in words a person can check.
struct TCertificateInfo {
    std::string subject;     // "CN=ftp.example.org,O=Example"
    std::string issuer;      // whoever signed it; the subject again for a self-signed one
    std::string notBefore;   // "2026-12-10 20:53:47 UTC"
    std::string notAfter;    // the same form: the last moment it may be used
    std::string fingerprint; // SHA-256, "AB:CD:..."
};

class TTlsStream {
public:
    TTlsStream();
    ~TTlsStream();
    TTlsStream(const TTlsStream&) = delete;
    TTlsStream& operator=(const TTlsStream&) = delete;

    // Prepares a client handshake with `host` (a name, or a dotted address) as the name
    // the certificate must carry. `resumeFrom`, when given, lends its session so the
    // peer sees this connection belongs to the same client.
    void Begin(const std::string& host, const TTlsStream* resumeFrom = nullptr);
    // Advances the handshake with what has been fed so far.
    TTlsStep Handshake();
    bool Established() const { return established_; }

    // Bytes read from the socket.
    void FeedCipher(const char* bytes, size_t count);
    // Bytes waiting to go to the socket, taken out of the stream.
    std::string TakeCipher();
    bool HasCipher() const;

    // Plain bytes decrypted from what was fed; 0 when none is ready yet. The peer's close
    // notice is answered with ours (waiting for TakeCipher).
    int32_t ReadPlain(char* buffer, int32_t capacity);
    // Encrypts all of `count` bytes; their cipher text waits for TakeCipher. False once
    // the stream has failed.
    bool WritePlain(const char* buffer, int32_t count);
    // Queues the close notice for the peer.
    void Shutdown();
    // The peer sent its close notice, or the stream broke.
    bool Closed() const { return closed_; }

    // After the handshake: empty when the certificate chain checked out against the
    // system's trust store for the host, otherwise the reason in words.
    const std::string& VerifyFailure() const { return verifyFailure_; }
    // The SHA-256 digest of the peer's certificate, "AB:CD:..." (empty without one).
    const std::string& Fingerprint() const { return certificate_.fingerprint; }
    // After the handshake: the peer's certificate (all empty without one).
    const TCertificateInfo& Certificate() const { return certificate_; }
    // "TLS 1.3" and the like.
    std::string Version() const;
    bool SessionReused() const;
    // Sessions from the server not used yet, for the streams that resume this one.
    size_t UnusedSessions() const;
    const std::string& Failure() const { return failure_; }

    struct TSessions;

private:
    struct TState;
    // The sessions the server handed out to this stream and those resuming it: many
    // servers take each only once. Declared first, so it outlives the connection.
    std::shared_ptr<TSessions> sessions_;
    std::unique_ptr<TState> state_;
    bool established_ = false;
    bool closed_ = false;
    std::string verifyFailure_;
    TCertificateInfo certificate_;
    std::string failure_;
};

// "SHA256:..." or a bare hex digest, with or without colons, either case: the 64 hex
// digits in upper case with colons ("AB:CD:..."), or empty for anything else.
std::string NormalFingerprint(const std::string& text);
// The same fingerprint as the settings file keeps it: "SHA256:" and the 64 hex digits in
// upper case without colons (with them it would not fit the file's line); empty for
// anything NormalFingerprint refuses.
std::string CompactFingerprint(const std::string& text);
// The form people read a fingerprint in, wherever it is shown: "SHA256:AB:CD:...". A text
// that is no fingerprint is given back as it is.
std::string DisplayFingerprint(const std::string& text);

} // namespace pelmora
