#pragma once

#include "net/listed_entry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelmora {

// The entry one listing line describes, in either form; nothing for lines that describe
// none ("total 12", blank lines, a header) and for names that must never be sent back
// to the server: "." and "..", and names holding "/" or NUL, which would reach outside
// the directory being listed.
// A line of MLSD facts ("type=file;size=12;modify=20240101120000; name") is read as
// ParseMlsdEntry reads it, so a caller that reads the raw lines of any listing gets the
// same entries as the component does.
std::optional<TListedEntry> ParseListedEntry(std::string_view line);

// One line of an MLSD listing: facts, case-blind, up to the first blank, and the name,
// every byte after that blank. Nothing for the directory itself and its parent (cdir,
// pdir), for lines without a blank, and for names that ParseListedEntry refuses. An entry
// whose type is missing or unknown is Other: nothing is done to what we cannot tell.
std::optional<TListedEntry> ParseMlsdEntry(std::string_view line);

} // namespace pelmora
