#include "sync/delete_cap.h"

#include <gtest/gtest.h>

using namespace pelmora;

TEST(DeleteCap, RefusesAboveTheCapOrMostOfALargeSite) {
    const std::optional<std::int64_t> none;
    const struct {
        std::int64_t deletions, remote;
        std::optional<std::int64_t> cap;
        const char* refusal;
    } cases[] = {
        // The default rule: more than 20 and more than half, both.
        {35, 50, none,
         "Refused to delete 35 of 50 entries on the server (more than half); allow it with "
         "--max-delete 35"},
        {20, 20, none, ""},
        {21, 42, none, ""},
        {21, 41, none,
         "Refused to delete 21 of 41 entries on the server (more than half); allow it with "
         "--max-delete 21"},
        {400, 1000, none, ""},
        {0, 0, none, ""},
        // An explicit cap replaces the default rule either way.
        {5, 100, 4,
         "Refused to delete 5 of 100 entries on the server (the limit is 4); allow it with "
         "--max-delete 5"},
        {4, 100, 4, ""},
        {1, 100, 0,
         "Refused to delete 1 of 100 entries on the server (the limit is 0); allow it with "
         "--max-delete 1"},
        {0, 100, 0, ""},
        {50, 50, 50, ""},
        {50, 50, -1, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DeleteCapRefusal(c.deletions, c.remote, c.cap), c.refusal)
            << c.deletions << " of " << c.remote << ", cap "
            << (c.cap ? std::to_string(*c.cap) : "unset");
}
