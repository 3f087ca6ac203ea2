#pragma once

#include <cstdint>
#include <string>

namespace pelmora {

// What the user chose for a sync, as the engine reads it: the window's controls or the
// settings file fill it, never the engine.
struct TSyncOptions {
    std::string localRoot;  // absolute once the local load has resolved it
    std::string remoteRoot; // as typed: absolute, or relative to the login directory
    bool mayDelete = true;  // delete on the server what the disk no longer has
    uint32_t timeoutMs = 30000;
};

} // namespace pelmora
