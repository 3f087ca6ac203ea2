#pragma once

#include "net/connection_settings.h"

#include <cstdint>
#include <string>

namespace pelmora::testing {

// The settings of a session with a test server on this machine, in the modes the FTP
// component has alone: active data connections and no TLS.
inline TConnectionSettings LocalSettings(uint16_t port = 21, const std::string& user = "web",
                                         const std::string& password = "secret",
                                         TDataMode dataMode = TDataMode::Active) {
    TConnectionSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.user = user;
    settings.password = password;
    settings.dataMode = dataMode;
    settings.tlsMode = TTlsMode::Off;
    return settings;
}

} // namespace pelmora::testing
