#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelmora {

// How many deletions one run may make on the server. A local directory that was emptied,
// renamed or mounted wrong looks exactly like a site whose pages were all removed on
// purpose; the cap is what stops a run from carrying that mistake over to the server.
//
// `explicitCap`: none = the default rule (refused when more than 20 and more than half of
// the server's entries would go); a negative value = no cap at all; otherwise the most
// deletions allowed. Returns why the deletions are refused, or an empty text when they may
// go ahead.
std::string DeleteCapRefusal(std::int64_t deletions, std::int64_t remoteEntries,
                             std::optional<std::int64_t> explicitCap);

} // namespace pelmora
