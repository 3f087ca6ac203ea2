#include "net/sock_errors.h"

#include "net/winsock_types.h"

#include <gtest/gtest.h>

#include <cerrno>

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

TEST(WinsockErrorFromErrno, MapsHostErrorsToTheInterfaceCodes) {
    const std::pair<int, int32_t> cases[] = {
        {0, 0},
        {EINTR, WSAEINTR},
        {EPERM, WSAEACCES},
        {EACCES, WSAEACCES},
        {ENFILE, WSAEMFILE},
        {EAGAIN, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEWOULDBLOCK},
        {EALREADY, WSAEALREADY},
        {ECONNREFUSED, WSAECONNREFUSED},
        {ECONNRESET, WSAECONNRESET},
        {EPIPE, WSAECONNRESET},
        {ENOMEM, WSAENOBUFS},
        {ETIMEDOUT, WSAETIMEDOUT},
        {EHOSTUNREACH, WSAEHOSTUNREACH},
        {EADDRINUSE, WSAEADDRINUSE},
        {EREMOTE, WSAEREMOTE},
        // Without a counterpart: the generic code.
        {ENOENT, WSAEINVAL},
        {EIO, WSAEINVAL},
        {-1, WSAEINVAL},
    };
    for (const auto& [error, code] : cases)
        EXPECT_EQ(WinsockErrorFromErrno(error), code) << error;
}

// Every code the table gives must read as a name in messages; the one exception is
// the access code, which the message table has never held.
TEST(WinsockErrorFromErrno, EveryCodeItGivesHasAName) {
    for (int error = 1; error < 200; ++error) {
        const int32_t code = WinsockErrorFromErrno(error);
        if (code != WSAEACCES) {
            EXPECT_FALSE(ErrorName(code).empty()) << "errno " << error << " gives " << code;
        }
    }
}
