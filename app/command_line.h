#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pelmora {

struct TCommandLine {
    enum TMode { Window, Headless, Configure, Help, Version, UsageError };
    TMode Mode = Window;
    std::string SettingsFile; // empty: the default file
    std::vector<std::string> Assignments;
    std::string Error;
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);
void PrintUsage(std::ostream& out);
std::string VersionText();

} // namespace pelmora
