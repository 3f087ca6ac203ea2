#pragma once

#include <cstdint>
#include <string>

namespace pelmora {

// Uploads go to a temporary name beside their target and are renamed over it once whole,
// so a visitor sees the old file or the new one, never a part of either. Such a name is
// hidden (a dot-file), says whose it is, keeps the target's name for whoever finds it,
// and ends in eight hexadecimal digits that keep two runs from meeting:
//     .pelmora-upload.<name>.<8 hex digits>

// The longest name most servers' file systems take, in bytes.
constexpr size_t MaxRemoteNameLength = 255;

// The temporary name for an upload of `name`, with `nonce` as its digits; the target's
// name is cut so the whole stays within MaxRemoteNameLength.
std::string TemporaryNameFor(const std::string& name, uint32_t nonce);
// The same with digits drawn at random.
std::string TemporaryNameFor(const std::string& name);
// `path` with its last component replaced by a temporary name for it (random digits).
std::string TemporaryPathFor(const std::string& path);
// Whether a name is one of ours: a run cut off leaves such files, and the next run
// removes them.
bool IsTemporaryName(const std::string& name);
// The target's name as one of our temporary names keeps it: the whole name, or its start
// where a long one was cut. Empty for a name that is not ours.
std::string TargetNameOf(const std::string& temporaryName);

} // namespace pelmora
