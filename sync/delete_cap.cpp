#include "sync/delete_cap.h"

namespace pelmora {

namespace {

// Below this many, deletions are never refused by the default rule: a small site that
// loses two of its three pages is an ordinary edit.
constexpr std::int64_t defaultFloor = 20;

} // namespace

std::string DeleteCapRefusal(std::int64_t deletions, std::int64_t remoteEntries,
                             std::optional<std::int64_t> explicitCap) {
    std::string why;
    if (explicitCap) {
        if (*explicitCap < 0 || deletions <= *explicitCap)
            return {};
        why = "the limit is " + std::to_string(*explicitCap);
    } else {
        if (deletions <= defaultFloor || deletions * 2 <= remoteEntries)
            return {};
        why = "more than half";
    }
    return "Refused to delete " + std::to_string(deletions) + " of " +
           std::to_string(remoteEntries) + " entries on the server (" + why +
           "); allow it with --max-delete " + std::to_string(deletions);
}

} // namespace pelmora
