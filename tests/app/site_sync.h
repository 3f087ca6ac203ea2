// What the tests that publish a site with a run nobody watches share: the settings of
// such a run and the run itself.
#pragma once

#include "app/headless.h"
#include "app/settings.h"
#include "tests/support/real_ftp_servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace pelmora::testing {

// A run that loads both sides, compares, updates with deletes, and ends: `site` against
// the server's site directory, reached at `port` (a relay's, or the server's own).
inline std::vector<std::string> SiteSyncSettings(const std::filesystem::path& site,
                                                 const TRealFtpServer& server, uint16_t port) {
    return {"List.local=" + site.string(),
            "FTP.server=127.0.0.1",
            "FTP.port=" + std::to_string(port),
            "FTP.userName=" + server.User(),
            "FTP.password=" + server.Password(),
            "List.remote=" + server.SiteDir(),
            "Options.load=1",
            "Options.compare=1",
            "Options.update=1",
            "Options.delete=1",
            "Options.exit=1",
            "Options.timeout=20"};
}

inline std::vector<std::string> SiteSyncSettings(const std::filesystem::path& site,
                                                 const TRealFtpServer& server) {
    return SiteSyncSettings(site, server, server.Port());
}

// Writes the settings of such a run, then `extra` (which wins over them), into `ini`.
inline void ConfigureSiteSync(const std::string& ini, const std::filesystem::path& site,
                              const TRealFtpServer& server,
                              const std::vector<std::string>& extra = {}) {
    std::vector<std::string> settings = SiteSyncSettings(site, server);
    settings.insert(settings.end(), extra.begin(), extra.end());
    std::string why;
    ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;
}

// One run as `pelmora --headless` makes it; what it printed, and its exit status.
inline std::string Sync(const std::string& ini, int& status, const THeadlessOptions& options = {}) {
    std::ostringstream out, err;
    status = RunHeadless(ini, options, out, err);
    return out.str() + err.str();
}

// Sets a file's time `age` back from now.
inline void Age(const std::filesystem::path& p, std::chrono::minutes age) {
    std::filesystem::last_write_time(p, std::filesystem::file_time_type::clock::now() - age);
}

} // namespace pelmora::testing
