#include "app/settings.h"

#include "app/settings_codec.h"
#include "ftp/ftp.h"
#include "toolkit/profile.h"
#include "toolkit/text.h"

#include <QStandardPaths>

#include <algorithm>
#include <filesystem>

namespace pelmora {

using enum TSettingType;

const std::array<TSetting, 30> SettingKeys = {{
    {"FTP", "server", Text, 0, 0, 0},
    {"FTP", "userName", Text, 0, 0, 0},
    {"FTP", "password", Text, 0, 0, 0},
    {"FTP", "port", Integer, 21, 0, 65535},
    {"Firewall", "server", Text, 0, 0, 0},
    {"Firewall", "port", Integer, 21, 0, 65535},
    {"Firewall", "active", Boolean, 0, 0, 1},
    {"List", "local", Text, 0, 0, 0},
    {"List", "remote", Text, 0, 0, 0},
    {"Options", "compare", Boolean, 1, 0, 1},
    {"Options", "load", Boolean, 1, 0, 1},
    {"Options", "update", Boolean, 0, 0, 1},
    {"Options", "exit", Boolean, 0, 0, 1},
    {"Options", "delete", Boolean, 0, 0, 1},
    {"Options", "timeout", Integer, 30, 5, 300},
    {"Screen", "width", Integer, 600, -100000, 100000},
    {"Screen", "height", Integer, 438, -100000, 100000},
    {"Screen", "top", Integer, 20, -100000, 100000},
    {"Screen", "left", Integer, 20, -100000, 100000},
    // "auto", "passive" or "active"; a file without it means auto.
    {"FTP", "dataMode", Text, 0, 0, 0},
    // Learnt from the server: the zone its listing prints times in (minutes east of UTC),
    // and whether it keeps the times Pelmora gives the files it uploads.
    {"FTP", "listingZone", Integer, 0, -840, 840},
    {"FTP", "keepsTimes", Boolean, 0, 0, 1},
    // The zone above was learnt from the files Pelmora uploaded, so no MDTM answer overrules it.
    {"FTP", "zoneProven", Boolean, 0, 0, 1},
    // The most deletions one run without a window may make; -1: no cap. A file without
    // it means the default rule (more than 20 and more than half the server's entries).
    {"Options", "maxDelete", Integer, -1, -1, 2000000000},
    // "auto", "require" or "off"; a file without it means auto.
    {"FTP", "tls", Text, 0, 0, 0},
    // "SHA256:..." of the one certificate trusted although its chain does not check out.
    {"FTP", "trustedCertificate", Text, 0, 0, 0},
    // Uploads go to a temporary name and are renamed over the old file once whole.
    {"Options", "atomic", Boolean, 1, 0, 1},
    // The password lives in the desktop's keyring, not in this file, when a keyring answers.
    {"FTP", "passwordInKeyring", Boolean, 0, 0, 1},
    // How many sessions the walk and the update may run at once; a file without it means 4.
    {"Options", "connections", Integer, 4, 1, 10},
    // Learnt: TLS has worked with this site, so auto no longer goes on in clear.
    {"FTP", "tlsSeen", Boolean, 0, 0, 1},
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

bool ConfigureSettings(const std::string& fileName, const std::vector<std::string>& assignments,
                       std::string& error) {
    TIniFile ini(fileName);
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
        const std::string value = assignment.substr(eq + 1);
        const std::string where = std::string(setting->Section) + "." + setting->Key;
        if (setting == FindSetting("FTP.dataMode")) {
            const auto mode = ParseDataMode(value);
            if (!mode || value.empty()) {
                error = "The value of " + where + " must be auto, passive or active";
                return false;
            }
            ini.WriteString(setting->Section, setting->Key, EncodeValue(DataModeName(*mode)));
            continue;
        }
        if (setting == FindSetting("FTP.tls")) {
            const auto mode = ParseTlsMode(value);
            if (!mode || value.empty()) {
                error = "The value of " + where + " must be auto, require or off";
                return false;
            }
            ini.WriteString(setting->Section, setting->Key, EncodeValue(TlsModeName(*mode)));
            continue;
        }
        if (setting == FindSetting("FTP.trustedCertificate")) {
            const std::string fingerprint = CompactFingerprint(value);
            if (fingerprint.empty() && !value.empty()) {
                error = "The value of " + where +
                        " must be a SHA-256 fingerprint (SHA256: and 64 hex digits)";
                return false;
            }
            ini.WriteString(setting->Section, setting->Key, EncodeValue(fingerprint));
            continue;
        }
        switch (setting->Type) {
        case Text:
            // Any text fits: a long or non-ASCII one in the long form.
            ini.WriteString(setting->Section, setting->Key, EncodeValue(value));
            break;
        case Integer: {
            long number = 0;
            if (!TIniFile::ParseInteger(value, number) || number < setting->Min ||
                number > setting->Max) {
                error = "The value of " + where + " must be a whole number from " +
                        std::to_string(setting->Min) + " to " + std::to_string(setting->Max);
                return false;
            }
            ini.WriteInteger(setting->Section, setting->Key, number);
            break;
        }
        case Boolean: {
            bool flag = false;
            if (!ParseBoolean(value, flag)) {
                error = "The value of " + where + " must be 1 or 0 (true or false)";
                return false;
            }
            ini.WriteBool(setting->Section, setting->Key, flag);
            break;
        }
        }
    }
    std::error_code ec;
    const auto parent = std::filesystem::path(fileName).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    try {
        ini.UpdateFile();
    } catch (const EProfileError& e) {
        error = e.what();
        return false;
    }
    return true;
}

std::vector<std::string> SettingsLines(const std::string& fileName) {
    const TIniFile ini(fileName);
    std::vector<std::string> lines;
    for (const TSetting& s : SettingKeys) {
        std::string value;
        if (&s == FindSetting("FTP.password")) {
            value = ReadEncodedValue(ini, s.Section, s.Key).empty() ? "(not set)" : "(set)";
        } else if (&s == FindSetting("FTP.dataMode")) {
            // What the run makes of it: a file without it, or with a word we do not know,
            // means auto.
            value = DataModeName(
                ParseDataMode(ReadEncodedValue(ini, s.Section, s.Key)).value_or(TDataMode::Auto));
        } else if (&s == FindSetting("FTP.tls")) {
            value = TlsModeName(
                ParseTlsMode(ReadEncodedValue(ini, s.Section, s.Key)).value_or(TTlsMode::Auto));
        } else if (&s == FindSetting("Options.maxDelete")) {
            // Absent is the default rule, which no number stands for.
            long cap = 0;
            value = TIniFile::ParseInteger(ini.ReadString(s.Section, s.Key, ""), cap)
                        ? std::to_string(std::max(cap, -1L))
                        : std::string();
        } else {
            switch (s.Type) {
            case Text:
                value = ReadEncodedValue(ini, s.Section, s.Key);
                break;
            case Integer:
                value = std::to_string(ini.ReadInteger(s.Section, s.Key, s.Default));
                break;
            case Boolean:
                value = ini.ReadBool(s.Section, s.Key, s.Default != 0) ? "1" : "0";
                break;
            }
        }
        lines.push_back(std::string(s.Section) + "." + s.Key + "=" + EscapeControls(value));
    }
    return lines;
}

} // namespace pelmora
