#pragma once

// Run-time loading of a library and lookup of its entry points by ordinal. Libraries
// are not files here: each is a table of exports registered under a name, so a test
// can put a library of its own (an incomplete one, say) in place of the real one.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace pelmora {

using TProc = void (*)();
using TExports = std::map<uint16_t, TProc>;

// Module handles of 32 and above are valid; a smaller value is the reason a load failed.
using HMODULE = uintptr_t;
constexpr HMODULE ModuleNotFound = 2;

// Puts a library under `name` (matched without regard to case), replacing what was
// there. Modules loaded earlier keep the exports they were loaded with.
void RegisterLibrary(const std::string& name, TExports exports);
void UnregisterLibrary(const std::string& name);
// What is registered under `name` now, if anything.
std::optional<TExports> RegisteredLibrary(const std::string& name);

// A new handle for the library registered under `name`, or ModuleNotFound.
HMODULE LoadLibrary(const std::string& name);
// The entry point with that ordinal, or nullptr (also for a handle not loaded).
TProc GetProcAddress(HMODULE module, uint16_t ordinal);
// Releases one load; false for a handle that is not loaded.
bool FreeLibrary(HMODULE module);
// Loads not yet released, over all libraries.
int LoadedModuleCount();

} // namespace pelmora
