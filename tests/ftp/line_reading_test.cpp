#include "ftp/line_splitter.h"
#include "ftp/reply_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmora {
namespace {

std::vector<std::string> Drain(TLineSplitter& splitter) {
    std::vector<std::string> lines;
    std::string line;
    while (splitter.NextLine(line))
        lines.push_back(line);
    return lines;
}

TEST(LineSplitter, LinesSplitAnywhereComeOutWhole) {
    const std::string text = "220 one\r\n\r\n331 two\rstill two\r\n230 three\r\npartial";
    // Every way of cutting the text in two, including between CR and LF.
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        TLineSplitter splitter;
        ASSERT_TRUE(splitter.Feed(text.substr(0, cut)));
        auto lines = Drain(splitter);
        ASSERT_TRUE(splitter.Feed(text.substr(cut)));
        for (auto& line : Drain(splitter))
            lines.push_back(line);
        EXPECT_EQ(lines,
                  (std::vector<std::string>{"220 one", "", "331 two\rstill two", "230 three"}))
            << "cut at " << cut;
        EXPECT_EQ(splitter.Pending(), "partial");
    }
}

TEST(LineSplitter, OneByteAtATime) {
    const std::string text = "a\r\nbc\r\n\r\nd";
    TLineSplitter splitter;
    std::vector<std::string> lines;
    for (const char c : text) {
        ASSERT_TRUE(splitter.Feed(std::string(1, c)));
        for (auto& line : Drain(splitter))
            lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "bc", ""}));
    EXPECT_EQ(splitter.Pending(), "d");
}

// Listings: an LF ends a line with or without its CR, a CR before anything else stays.
TEST(LineSplitter, ListingLinesEndAtLfAndTheLastLineCountsWithoutEnd) {
    struct TCase {
        std::string text;
        std::vector<std::string> lines;
        std::string last;
    };
    const std::vector<TCase> cases = {
        {"a\nb\n", {"a", "b"}, ""},
        {"a\r\nb\nc\r\n", {"a", "b", "c"}, ""},
        {"one\rtwo\nthree", {"one\rtwo"}, "three"},
        {"x\r\r\n\n\r\n", {"x\r", "", ""}, ""},
        {"no end at all\r", {}, "no end at all\r"},
    };
    for (const auto& c : cases)
        // Every way of cutting the text in two, including between CR and LF.
        for (size_t cut = 0; cut <= c.text.size(); ++cut) {
            TLineSplitter splitter(TLineSplitter::DefaultCap, true);
            ASSERT_TRUE(splitter.Feed(c.text.substr(0, cut)));
            auto lines = Drain(splitter);
            ASSERT_TRUE(splitter.Feed(c.text.substr(cut)));
            for (auto& line : Drain(splitter))
                lines.push_back(line);
            std::string last;
            EXPECT_EQ(splitter.TakeLastLine(last), !c.last.empty());
            EXPECT_EQ(lines, c.lines) << c.text << " cut at " << cut;
            EXPECT_EQ(last, c.last) << c.text << " cut at " << cut;
            EXPECT_FALSE(splitter.TakeLastLine(last));
        }
}

TEST(LineSplitter, RepliesStillNeedCrLf) {
    TLineSplitter splitter;
    ASSERT_TRUE(splitter.Feed("220 a\n220 b\r\n"));
    EXPECT_EQ(Drain(splitter), std::vector<std::string>{"220 a\n220 b"});
}

TEST(LineSplitter, EndlessLineStopsAtTheCap) {
    TLineSplitter splitter(100);
    ASSERT_TRUE(splitter.Feed("ok\r\n" + std::string(100, 'x')));
    EXPECT_FALSE(splitter.Feed("y"));
    EXPECT_TRUE(splitter.Overflowed());
    EXPECT_TRUE(splitter.Pending().empty());
    EXPECT_FALSE(splitter.Feed("\r\n"));
    splitter.Clear();
    EXPECT_TRUE(splitter.Feed("again\r\n"));
    EXPECT_EQ(Drain(splitter), std::vector<std::string>{"again"});
}

TEST(LineSplitter, ManyCompleteLinesInOnePieceAreNoOverflow) {
    TLineSplitter splitter(10);
    std::string text;
    for (int i = 0; i < 100; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(splitter.Feed(text));
    EXPECT_EQ(Drain(splitter).size(), 100u);
}

TEST(ReplyReader, OnlyTheLastLineOfAMultiLineReplyIsFinal) {
    TReplyReader reader;
    struct TStep {
        std::string line;
        bool final;
    };
    const std::vector<TStep> steps = {
        {"220-Welcome", false}, {"220-second", false}, {"230 not ours", false},
        {"  text", false},      {"", false},           {"220 ready", true},
        {"331 password", true}, {"", false},           {"21", true},
        {"250-a", false},       {"250", false},        {"250 done", true},
    };
    for (const auto& step : steps)
        EXPECT_EQ(reader.TakeLine(step.line), step.final) << step.line;
    EXPECT_FALSE(reader.MultiLine());
}

TEST(ReplyReader, ResetForgetsAnOpenReply) {
    TReplyReader reader;
    EXPECT_FALSE(reader.TakeLine("220-x"));
    EXPECT_TRUE(reader.MultiLine());
    EXPECT_EQ(reader.MultiLineCode(), "220");
    reader.Reset();
    EXPECT_TRUE(reader.TakeLine("421 bye"));
}

} // namespace
} // namespace pelmora
