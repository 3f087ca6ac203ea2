#include "app/site_settings.h"

#include "app/settings.h"
#include "app/settings_codec.h"
#include "toolkit/profile.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

namespace pelmora {

TIniFile ReadSettingsFile(const std::string& fileName) {
    // One that is there and cannot be read is no empty file: the defaults read from it
    // would be written over the user's settings.
    // A folder on its path that is a file holds no settings file either.
    errno = 0;
    if (!std::ifstream(fileName, std::ios::binary) && errno != ENOENT && errno != ENOTDIR)
        throw EProfileError("Unable to read " + fileName);
    return TIniFile(fileName);
}

void ReadSetting(const TIniFile& ini, const TSetting& key, TSiteSettings& settings) {
    TSettingValue value;
    switch (key.Type) {
    case TSettingType::Text:
        value.text = ReadEncodedValue(ini, key.Section, key.Key);
        break;
    case TSettingType::Integer:
        // Not there, or no number: the default; a number out of range: the nearest end.
        value.stored =
            TIniFile::ParseInteger(ini.ReadString(key.Section, key.Key, ""), value.number);
        value.number = value.stored ? std::clamp(value.number, key.Min, key.Max) : key.Default;
        break;
    case TSettingType::Boolean:
        value.number = ini.ReadBool(key.Section, key.Key, key.Default != 0) ? 1 : 0;
        break;
    }
    key.Place.Set(settings, value);
}

void WriteSetting(TIniFile& ini, const TSetting& key, const TSiteSettings& settings) {
    const TSettingValue value = key.Place.Get(settings);
    if (!value.stored)
        return; // what the file holds, if anything, reads as this value again
    switch (key.Type) {
    case TSettingType::Text:
        ini.WriteString(key.Section, key.Key, EncodeValue(value.text));
        break;
    case TSettingType::Integer:
        ini.WriteInteger(key.Section, key.Key, value.number);
        break;
    case TSettingType::Boolean:
        ini.WriteBool(key.Section, key.Key, value.number != 0);
        break;
    }
}

void SaveSettingsFile(const TIniFile& ini) {
    std::error_code ec;
    const auto parent = std::filesystem::path(ini.FileName()).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    ini.UpdateFile();
}

TSiteSettings ReadSiteSettings(const std::string& fileName) {
    const TIniFile ini = ReadSettingsFile(fileName);
    TSiteSettings settings;
    for (const TSetting& key : SettingKeys)
        ReadSetting(ini, key, settings);
    // A file that names no port: the protocol's own.
    if (ini.ReadString("FTP", "port", "").empty())
        settings.connection.port = DefaultPort(settings.connection.protocol);
    long number = 0;
    settings.screen.sizeStored =
        TIniFile::ParseInteger(ini.ReadString("Screen", "width", ""), number) &&
        TIniFile::ParseInteger(ini.ReadString("Screen", "height", ""), number);
    return settings;
}

void WriteSiteSettings(const std::string& fileName, const TSiteSettings& settings) {
    // Every line the file holds that is not one of our keys stays as it is.
    TIniFile ini = ReadSettingsFile(fileName);
    for (const TSetting& key : SettingKeys)
        WriteSetting(ini, key, settings);
    SaveSettingsFile(ini);
}

} // namespace pelmora
