#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora::testing {

// A port that nothing on 127.0.0.1 holds now, below the range the system hands out for
// port 0: the tests' own data listeners take ports from that range all the time, and one
// of them could take a port between our look and a server's bind. A clash with another
// program in between shows as a server that never greets. 0 when none was found.
uint16_t FreeServerPort();

// True once something listening on the port sends bytes that start with `greeting`
// ("220" for FTP, "SSH-" for SSH) within two seconds.
bool Greets(uint16_t port, std::string_view greeting);

// Where scripts/setup unpacks the servers the tests run: $PELMORA_SERVER_CACHE, else
// ~/.cache/pelmora-servers.
std::string ServerCache();

} // namespace pelmora::testing
