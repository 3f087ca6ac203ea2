#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelmora {

// How listings and uploads get their data connection. Auto tries EPSV, then PASV, and
// falls back to PORT; Passive never sends PORT; Active sends nothing but PORT.
enum class TDataMode : uint8_t { Auto, Passive, Active };
// "auto", "passive", "active".
const char* DataModeName(TDataMode mode);
// The mode of such a name (without regard to case); an empty text is Auto, anything
// else nothing.
std::optional<TDataMode> ParseDataMode(const std::string& text);

// Whether the control connection is secured with TLS. Auto asks for TLS and goes on in
// clear when the server has none, or took AUTH TLS and then could not complete the
// handshake (a reconnect without TLS); Require ends the session before USER then; Off
// never asks.
enum class TTlsMode : uint8_t { Auto, Require, Off };
// "auto", "require", "off".
const char* TlsModeName(TTlsMode mode);
// The mode of such a name (without regard to case); an empty text is Auto, anything
// else nothing.
std::optional<TTlsMode> ParseTlsMode(const std::string& text);

// The protocol a site is reached by: FTP (with or without TLS) or SFTP over SSH.
enum class TProtocol : uint8_t { Ftp, Sftp };
// "ftp", "sftp".
const char* ProtocolName(TProtocol protocol);
// The protocol of such a name (without regard to case); an empty text is FTP, anything
// else nothing.
std::optional<TProtocol> ParseProtocol(const std::string& text);
// The port a protocol's servers listen on unless told otherwise.
uint16_t DefaultPort(TProtocol protocol);

// Everything a session needs to reach a server and log in, as one value: the window's
// Setup page edits it, the settings file stores it, and every session of a run (the
// main one and the extra ones beside it) is opened from the same value.
struct TConnectionSettings {
    TProtocol protocol = TProtocol::Ftp;
    std::string host; // a name or an address, as the user typed it
    uint16_t port = 21;
    std::string user;
    std::string password;
    // A firewall (an FTP proxy) that takes the login as "user@host" and connects on.
    bool useFirewall = false;
    std::string firewallHost;
    uint16_t firewallPort = 21;
    TDataMode dataMode = TDataMode::Auto;
    TTlsMode tlsMode = TTlsMode::Auto;
    // The SHA-256 fingerprint of the one certificate trusted although its chain does not
    // check out ("SHA256:AB:CD:...", or the bare hex digits, either case); empty: none.
    std::string trustedCertificate;
    // TLS worked with this site before: Auto then goes on in clear no more than Require.
    bool tlsSeenBefore = false;
    // SFTP: the one host key trusted for the site ("SHA256:<base64>", as ssh-keygen -lf
    // prints it); empty: the user's known_hosts decides.
    std::string sftpHostKey;
    // SFTP: the private key file to log in with; empty: the usual ones in ~/.ssh.
    std::string sftpKeyFile;
    // How long a session may stay quiet before an operation on it is given up.
    uint32_t timeoutMs = 30000;

    // Where the control connection goes and the name it logs in with: the firewall and
    // "user@host" when one is used, else the server and the user.
    const std::string& DialHost() const { return useFirewall ? firewallHost : host; }
    uint16_t DialPort() const { return useFirewall ? firewallPort : port; }
    std::string LoginUser() const { return useFirewall ? user + "@" + host : user; }

    bool operator==(const TConnectionSettings&) const = default;
};

} // namespace pelmora
