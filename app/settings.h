#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelmora {

enum class TSettingType { Text, Integer, Boolean };

struct TSiteSettings;

// A key's value as the settings file holds it, before a text is encoded: the text of a
// Text key, the number of an Integer or a Boolean key (1 or 0). `stored` false: the file
// lacks the key, or is to lack it, where its absence means something no number says
// (Options.maxDelete: the default rule).
struct TSettingValue {
    std::string text;
    long number = 0;
    bool stored = true;
};

// Where a key's value lives in TSiteSettings: read out in the file's form, and put back.
struct TSettingPlace {
    TSettingValue (*Get)(const TSiteSettings& settings);
    void (*Set)(TSiteSettings& settings, const TSettingValue& value);
};

// One key of the settings file.
struct TSetting {
    const char* Section;
    const char* Key;
    TSettingType Type;
    long Default; // integers and booleans
    long Min;     // integers: the range a value is kept in
    long Max;
    TSettingPlace Place;
};

// Every key, in the order the window reads and writes them. Reading and writing a site's
// settings (ReadSiteSettings, WriteSiteSettings), --configure and --show all go by it.
extern const std::array<TSetting, 33> SettingKeys;

// A host key fingerprint as the settings keep it ("SHA256:" and 43 characters of base64,
// as ssh-keygen -lf prints it) from one typed with or without "SHA256:" and padding;
// empty for anything else.
std::string SshFingerprint(const std::string& text);

// The key named "Section.key" (without regard to case), or nullptr.
const TSetting* FindSetting(std::string_view dottedName);

// The settings file used when none is named: PELMORA.INI in the user's configuration
// directory.
std::string DefaultSettingsPath();

// Writes the given "Section.key=VALUE" assignments into the settings file, texts
// encoded, every other key (and every line Pelmora does not know) left as it is. On an unknown key
// or a value the file cannot hold, nothing is written and `error` says why.
bool ConfigureSettings(const std::string& fileName, const std::vector<std::string>& assignments,
                       std::string& error);

// The settings of the file as a run would use them, one "Section.key=value" for each key
// in the order of SettingKeys: texts decoded, a key the file lacks with its default.
// The password is told only as "(set)" or "(not set)": neither it nor its stored form.
std::vector<std::string> SettingsLines(const std::string& fileName);

} // namespace pelmora
