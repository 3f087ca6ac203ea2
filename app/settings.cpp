#include "app/settings.h"

#include "app/settings_codec.h"
#include "app/site_settings.h"
#include "net/tls_stream.h"
#include "toolkit/profile.h"
#include "toolkit/text.h"

#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <type_traits>

namespace pelmora {

using enum TSettingType;

namespace {

// The member that a chain of member pointers leads to: Member<&A::b, &B::c>(a) is a.b.c.
template <auto First, auto... Rest>
auto& Member(auto& object) {
    if constexpr (sizeof...(Rest) == 0)
        return object.*First;
    else
        return Member<Rest...>(object.*First);
}

template <auto... Path>
TSettingValue GetAt(const TSiteSettings& settings) {
    const auto& field = Member<Path...>(settings);
    using T = std::remove_cvref_t<decltype(field)>;
    if constexpr (std::is_same_v<T, std::string>)
        return {field};
    else if constexpr (std::is_same_v<T, TDataMode>)
        return {DataModeName(field)};
    else if constexpr (std::is_same_v<T, TTlsMode>)
        return {TlsModeName(field)};
    else
        return {{}, static_cast<long>(field)};
}

template <auto... Path>
void SetAt(TSiteSettings& settings, const TSettingValue& value) {
    auto& field = Member<Path...>(settings);
    using T = std::remove_cvref_t<decltype(field)>;
    if constexpr (std::is_same_v<T, std::string>)
        field = value.text;
    // A word we do not know, or none, means auto.
    else if constexpr (std::is_same_v<T, TDataMode>)
        field = ParseDataMode(value.text).value_or(TDataMode::Auto);
    else if constexpr (std::is_same_v<T, TTlsMode>)
        field = ParseTlsMode(value.text).value_or(TTlsMode::Auto);
    else if constexpr (std::is_same_v<T, bool>)
        field = value.number != 0;
    else
        field = static_cast<T>(value.number);
}

template <auto... Path>
constexpr TSettingPlace At{GetAt<Path...>, SetAt<Path...>};

// Options.timeout, in seconds: how long the session may stay quiet, and how long the
// engine waits for it.
constexpr TSettingPlace Timeout{
    [](const TSiteSettings& s) {
        return TSettingValue{{}, static_cast<long>(s.sync.timeoutMs / 1000)};
    },
    [](TSiteSettings& s, const TSettingValue& v) {
        s.sync.timeoutMs = s.connection.timeoutMs = static_cast<uint32_t>(v.number) * 1000u;
    }};

// Options.maxDelete: absent and -1 differ, the default rule or no cap at all.
constexpr TSettingPlace MaxDelete{
    [](const TSiteSettings& s) {
        return s.sync.maxDelete ? TSettingValue{{}, static_cast<long>(*s.sync.maxDelete)}
                                : TSettingValue{{}, -1, false};
    },
    [](TSiteSettings& s, const TSettingValue& v) {
        s.sync.maxDelete.reset();
        if (v.stored)
            s.sync.maxDelete = v.number;
    }};

// FTP.protocol. A port left at the old protocol's own goes along when --configure or the
// window changes the protocol; a file that names no port reads as the protocol's own.
constexpr TSettingPlace Protocol{
    [](const TSiteSettings& s) { return TSettingValue{ProtocolName(s.connection.protocol)}; },
    [](TSiteSettings& s, const TSettingValue& v) {
        s.connection.protocol = ParseProtocol(v.text).value_or(TProtocol::Ftp);
    }};

using TC = TConnectionSettings;
using TO = TSyncOptions;
using TR = TRunSteps;
using TP = TScreenPlacement;
constexpr auto connection = &TSiteSettings::connection;
constexpr auto sync = &TSiteSettings::sync;
constexpr auto steps = &TSiteSettings::steps;
constexpr auto screen = &TSiteSettings::screen;

} // namespace

const std::array<TSetting, 33> SettingKeys = {{
    {"FTP", "server", Text, 0, 0, 0, At<connection, &TC::host>},
    {"FTP", "userName", Text, 0, 0, 0, At<connection, &TC::user>},
    {"FTP", "password", Text, 0, 0, 0, At<connection, &TC::password>},
    {"FTP", "port", Integer, 21, 0, 65535, At<connection, &TC::port>},
    {"Firewall", "server", Text, 0, 0, 0, At<connection, &TC::firewallHost>},
    {"Firewall", "port", Integer, 21, 0, 65535, At<connection, &TC::firewallPort>},
    {"Firewall", "active", Boolean, 0, 0, 1, At<connection, &TC::useFirewall>},
    {"List", "local", Text, 0, 0, 0, At<sync, &TO::localRoot>},
    {"List", "remote", Text, 0, 0, 0, At<sync, &TO::remoteRoot>},
    {"Options", "compare", Boolean, 1, 0, 1, At<steps, &TR::compare>},
    {"Options", "load", Boolean, 1, 0, 1, At<steps, &TR::load>},
    {"Options", "update", Boolean, 0, 0, 1, At<steps, &TR::update>},
    {"Options", "exit", Boolean, 0, 0, 1, At<steps, &TR::exitWhenDone>},
    {"Options", "delete", Boolean, 0, 0, 1, At<sync, &TO::mayDelete>},
    {"Options", "timeout", Integer, 30, 5, 300, Timeout},
    {"Screen", "width", Integer, 600, -100000, 100000, At<screen, &TP::width>},
    {"Screen", "height", Integer, 438, -100000, 100000, At<screen, &TP::height>},
    {"Screen", "top", Integer, 20, -100000, 100000, At<screen, &TP::top>},
    {"Screen", "left", Integer, 20, -100000, 100000, At<screen, &TP::left>},
    // "auto", "passive" or "active"; a file without it means auto.
    {"FTP", "dataMode", Text, 0, 0, 0, At<connection, &TC::dataMode>},
    // Learnt from the server: the zone its listing prints times in (minutes east of UTC),
    // and whether it keeps the times Pelmora gives the files it uploads.
    {"FTP", "listingZone", Integer, 0, -840, 840, At<sync, &TO::listingZone>},
    {"FTP", "keepsTimes", Boolean, 0, 0, 1, At<sync, &TO::remoteKeepsOurTimes>},
    // The zone above was learnt from the files Pelmora uploaded, so no MDTM answer overrules it.
    {"FTP", "zoneProven", Boolean, 0, 0, 1, At<sync, &TO::listingZoneProven>},
    // The most deletions one run without a window may make; -1: no cap. A file without
    // it means the default rule (more than 20 and more than half the server's entries).
    {"Options", "maxDelete", Integer, -1, -1, 2000000000, MaxDelete},
    // "auto", "require" or "off"; a file without it means auto.
    {"FTP", "tls", Text, 0, 0, 0, At<connection, &TC::tlsMode>},
    // "SHA256:..." of the one certificate trusted although its chain does not check out.
    {"FTP", "trustedCertificate", Text, 0, 0, 0, At<connection, &TC::trustedCertificate>},
    // Uploads go to a temporary name and are renamed over the old file once whole.
    {"Options", "atomic", Boolean, 1, 0, 1, At<sync, &TO::atomic>},
    // The password lives in the desktop's keyring, not in this file, when a keyring answers.
    {"FTP", "passwordInKeyring", Boolean, 0, 0, 1, At<&TSiteSettings::passwordInKeyring>},
    // How many sessions the walk and the update may run at once; a file without it means 4.
    {"Options", "connections", Integer, 4, 1, 10, At<sync, &TO::connections>},
    // Learnt: TLS has worked with this site, so auto no longer goes on in clear.
    {"FTP", "tlsSeen", Boolean, 0, 0, 1, At<connection, &TC::tlsSeenBefore>},
    // "ftp" or "sftp"; a file without it means ftp.
    {"FTP", "protocol", Text, 0, 0, 0, Protocol},
    // SFTP: "SHA256:<base64>" of the one host key trusted for the site; without it the
    // user's known_hosts decides.
    {"SFTP", "hostKey", Text, 0, 0, 0, At<connection, &TC::sftpHostKey>},
    // SFTP: the private key file to log in with; without it ~/.ssh/id_ed25519, id_ecdsa
    // and id_rsa, those there are.
    {"SFTP", "keyFile", Text, 0, 0, 0, At<connection, &TC::sftpKeyFile>},
}};

const TSetting* FindSetting(std::string_view dottedName) {
    for (const TSetting& s : SettingKeys)
        if (SameText(dottedName, std::string(s.Section) + "." + s.Key))
            return &s;
    return nullptr;
}

std::string DefaultSettingsPath() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return (std::filesystem::path(dir.toStdString()) / "pelmora" / "PELMORA.INI").string();
}

std::string SshFingerprint(const std::string& text) {
    std::string digits = text;
    while (!digits.empty() && digits.back() == '=')
        digits.pop_back();
    if (digits.size() > 7 && SameText(digits.substr(0, 7), "SHA256:"))
        digits = digits.substr(7);
    const bool base64 =
        digits.size() == 43 && std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
        });
    return base64 ? "SHA256:" + digits : "";
}

namespace {

bool ParseBoolean(std::string_view text, bool& value) {
    for (const char* yes : {"1", "true", "yes", "on"})
        if (SameText(text, yes))
            return value = true, true;
    for (const char* no : {"0", "false", "no", "off"})
        if (SameText(text, no))
            return value = false, true;
    return false;
}

} // namespace

namespace {

// The value an assignment gives its key, in the file's form; false, with `error` saying
// why, when the key cannot hold it.
bool AssignedValue(const TSetting& setting, const std::string& value, TSettingValue& result,
                   std::string& error) {
    const std::string where = std::string(setting.Section) + "." + setting.Key;
    if (&setting == FindSetting("FTP.dataMode")) {
        const auto mode = ParseDataMode(value);
        if (!mode || value.empty()) {
            error = "The value of " + where + " must be auto, passive or active";
            return false;
        }
        result.text = DataModeName(*mode);
        return true;
    }
    if (&setting == FindSetting("FTP.tls")) {
        const auto mode = ParseTlsMode(value);
        if (!mode || value.empty()) {
            error = "The value of " + where + " must be auto, require or off";
            return false;
        }
        result.text = TlsModeName(*mode);
        return true;
    }
    if (&setting == FindSetting("FTP.protocol")) {
        const auto protocol = ParseProtocol(value);
        if (!protocol || value.empty()) {
            error = "The value of " + where + " must be ftp or sftp";
            return false;
        }
        result.text = ProtocolName(*protocol);
        return true;
    }
    if (&setting == FindSetting("SFTP.hostKey")) {
        result.text = SshFingerprint(value);
        if (result.text.empty() && !value.empty()) {
            error = "The value of " + where +
                    " must be a SHA-256 host key fingerprint as ssh-keygen -lf prints it "
                    "(SHA256: and 43 characters of base64)";
            return false;
        }
        return true;
    }
    if (&setting == FindSetting("FTP.trustedCertificate")) {
        result.text = CompactFingerprint(value);
        if (result.text.empty() && !value.empty()) {
            error = "The value of " + where +
                    " must be a SHA-256 fingerprint (SHA256: and 64 hex digits)";
            return false;
        }
        return true;
    }
    switch (setting.Type) {
    case Text:
        // Any text fits: a long or non-ASCII one in the long form.
        result.text = value;
        return true;
    case Integer:
        if (!TIniFile::ParseInteger(value, result.number) || result.number < setting.Min ||
            result.number > setting.Max) {
            error = "The value of " + where + " must be a whole number from " +
                    std::to_string(setting.Min) + " to " + std::to_string(setting.Max);
            return false;
        }
        return true;
    case Boolean: {
        bool flag = false;
        if (!ParseBoolean(value, flag)) {
            error = "The value of " + where + " must be 1 or 0 (true or false)";
            return false;
        }
        result.number = flag ? 1 : 0;
        return true;
    }
    }
    return false;
}

} // namespace

bool ConfigureSettings(const std::string& fileName, const std::vector<std::string>& assignments,
                       std::string& error) {
    // The named keys go into a value and from there into the file as WriteSiteSettings
    // writes them; the keys not named keep what the file holds, however it holds it.
    TSiteSettings settings;
    std::vector<const TSetting*> named;
    for (const std::string& assignment : assignments) {
        const size_t eq = assignment.find('=');
        const std::string name = assignment.substr(0, eq);
        if (eq == std::string::npos) {
            error = "Expected Section.key=VALUE, got \"" + assignment + "\"";
            return false;
        }
        const TSetting* setting = FindSetting(name);
        if (setting == nullptr) {
            error = "Unknown setting \"" + name + "\"";
            return false;
        }
        TSettingValue value;
        if (!AssignedValue(*setting, assignment.substr(eq + 1), value, error))
            return false;
        setting->Place.Set(settings, value);
        named.push_back(setting);
    }
    try {
        TIniFile ini = ReadSettingsFile(fileName);
        // A new protocol takes a port left at the old one's own along (21 and 22), unless
        // a port is named too.
        const TSetting* protocolKey = FindSetting("FTP.protocol");
        const TSetting* portKey = FindSetting("FTP.port");
        if (std::find(named.begin(), named.end(), protocolKey) != named.end() &&
            std::find(named.begin(), named.end(), portKey) == named.end()) {
            const TConnectionSettings stored = ReadSiteSettings(fileName).connection;
            const TProtocol protocol = settings.connection.protocol;
            if (protocol != stored.protocol && stored.port == DefaultPort(stored.protocol)) {
                settings.connection.port = DefaultPort(protocol);
                named.push_back(portKey);
            }
        }
        for (const TSetting* setting : named)
            WriteSetting(ini, *setting, settings);
        SaveSettingsFile(ini);
    } catch (const EProfileError& e) {
        error = e.what();
        return false;
    }
    return true;
}

std::vector<std::string> SettingsLines(const std::string& fileName) {
    const TSiteSettings settings = ReadSiteSettings(fileName);
    std::vector<std::string> lines;
    for (const TSetting& s : SettingKeys) {
        const TSettingValue stored = s.Place.Get(settings);
        std::string value;
        if (&s == FindSetting("FTP.password"))
            value = stored.text.empty() ? "(not set)" : "(set)";
        else if (!stored.stored)
            value.clear(); // Options.maxDelete absent: the default rule, which no number is
        else if (s.Type == Text)
            value = stored.text;
        else
            value = std::to_string(stored.number);
        lines.push_back(std::string(s.Section) + "." + s.Key + "=" + EscapeControls(value));
    }
    return lines;
}

} // namespace pelmora
