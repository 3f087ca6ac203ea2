#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

using namespace pelmora;

namespace {

uint32_t ElapsedSince(uint32_t start) {
    return GetTickCount() - start;
}

} // namespace

TEST(Messages, PostedMessagesArriveInOrderAfterTheHandlerReturns) {
    std::vector<uint32_t> seen;
    bool inHandler = false;
    HWND self = NoWindow;
    TNotifyWindow window([&](TMessage& m) {
        EXPECT_FALSE(inHandler) << "a posted message ran inside the handler that posted it";
        inHandler = true;
        seen.push_back(m.Msg);
        if (m.Msg == 1025) {
            PostMessage(self, 1027, 0, 0);
            PostMessage(self, 1028, 0, 0);
        }
        inHandler = false;
    });
    self = window.Handle();
    for (uint32_t msg : {1026u, 1025u, 1026u})
        PostMessage(self, msg, 0, 0);
    EXPECT_TRUE(seen.empty());
    for (int i = 0; i < 3 && seen.size() < 5; ++i)
        ProcessMessages();
    EXPECT_EQ(seen, (std::vector<uint32_t>{1026, 1025, 1026, 1027, 1028}));
}

TEST(Messages, MessagesToADestroyedWindowAreDropped) {
    int delivered = 0;
    auto window = std::make_unique<TNotifyWindow>([&](TMessage&) { ++delivered; });
    const HWND handle = window->Handle();
    EXPECT_TRUE(PostMessage(handle, 1025, 0, 0));
    window.reset();
    ProcessMessages();
    EXPECT_EQ(delivered, 0);
    EXPECT_FALSE(PostMessage(handle, 1025, 0, 0));
    EXPECT_EQ(SendMessage(handle, 1025, 0, 0), 0);
}

TEST(Messages, SendMessageRunsTheProcedureAtOnceAndReturnsItsResult) {
    TNotifyWindow window([](TMessage& m) { m.Result = static_cast<intptr_t>(m.WParam) * 2; });
    EXPECT_EQ(SendMessage(window.Handle(), 1030, 21, 0), 42);
}

TEST(Messages, WaitEndsAsSoonAsAPostedMessageSetsTheFlag) {
    bool flag = false;
    TNotifyWindow window([&](TMessage&) { flag = true; });
    // The message is posted from a timer, the way a socket handler would post it.
    QTimer::singleShot(20, [&] { PostMessage(window.Handle(), 1028, 0, 0); });
    const uint32_t start = GetTickCount();
    EXPECT_TRUE(WaitUntil([&] { return flag; }, start + 10000));
    EXPECT_LT(ElapsedSince(start), 5000u) << "the wait slept on after the flag was set";
}

TEST(Messages, WaitEndsAtTheDeadlineWhenNothingHappens) {
    const uint32_t start = GetTickCount();
    EXPECT_FALSE(WaitUntil([] { return false; }, start + 150));
    const uint32_t elapsed = ElapsedSince(start);
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(Messages, WaitWithoutDeadlineEndsOnTheFlag) {
    bool flag = false;
    QTimer::singleShot(10, [&] { flag = true; });
    WaitUntil([&] { return flag; });
    EXPECT_TRUE(flag);
}

TEST(Messages, NestedWaitsEachEndOnTheirOwnFlag) {
    bool outer = false;
    bool inner = false;
    QTimer::singleShot(5, [&] {
        QTimer::singleShot(5, [&] { inner = true; });
        EXPECT_TRUE(WaitUntil([&] { return inner; }, GetTickCount() + 5000));
        QTimer::singleShot(5, [&] { outer = true; });
    });
    const uint32_t start = GetTickCount();
    EXPECT_TRUE(WaitUntil([&] { return outer; }, start + 10000));
    EXPECT_LT(ElapsedSince(start), 5000u);
}

TEST(Tick, DeadlinesHoldAcrossTheWrapOfTheCount) {
    struct Case {
        uint32_t now, deadline;
        bool reached;
    };
    for (const Case& c : {Case{100, 200, false}, Case{200, 200, true}, Case{201, 200, true},
                          Case{0xFFFFFFF0u, 0x10u, false}, Case{0x10u, 0x10u, true},
                          Case{0x20u, 0xFFFFFFF0u, true}}) {
        EXPECT_EQ(TickReached(c.now, c.deadline), c.reached) << c.now << " vs " << c.deadline;
    }
    EXPECT_EQ(TicksLeft(0xFFFFFFF0u, 0x10u), 0x20u);
}

TEST(Tick, AWaitAcrossAWrapStillEndsAtItsTimeOut) {
    const uint32_t now = GetTickCount();
    SetTickOffset(0u - now - 50); // the count wraps 50 ms from now
    const uint32_t start = GetTickCount();
    EXPECT_FALSE(WaitUntil([] { return false; }, start + 200));
    const uint32_t elapsed = GetTickCount() - start;
    SetTickOffset(0);
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 5000u);
}
