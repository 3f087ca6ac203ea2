#include "net/sock_errors.h"

#include <gtest/gtest.h>

using namespace pelmora;

TEST(ErrorName, HoldsExactlyTheFortyNineCodes) {
    std::vector<int32_t> named;
    for (int32_t code = -1; code <= 12000; ++code)
        if (!ErrorName(code).empty())
            named.push_back(code);
    std::vector<int32_t> expected = {10004, 10009, 10014, 10022, 10024};
    for (int32_t code = 10035; code <= 10071; ++code)
        expected.push_back(code);
    for (int32_t code : {10091, 10092, 10093, 11001, 11002, 11003, 11004})
        expected.push_back(code);
    EXPECT_EQ(named, expected);
}

TEST(ErrorName, GivesTheSymbolicNames) {
    const std::pair<int32_t, const char*> cases[] = {
        {10035, "WSAEWOULDBLOCK"},
        {11004, "WSANO_DATA"},
        {10061, "WSAECONNREFUSED"},
        {10049, "WSAEADDRNOTAVAIL"},
        {10048, "WSAEADDRINUSE"},
        {10093, "WSANOTINITIALISED"},
        {11001, "WSAHOST_NOT_FOUND"},
        {10004, "WSAEINTR"},
        {10071, "WSAEREMOTE"},
        {10013, ""},
        {0, ""},
        {-10035, ""},
    };
    for (const auto& [code, name] : cases)
        EXPECT_EQ(ErrorName(code), name) << code;
}
