#include "sync/temporary_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using namespace pelmora;

TEST(TemporaryNames, AreHiddenOursAndRecognisedWhateverTheName) {
    EXPECT_EQ(TemporaryNameFor("index.html", 0x0123abcd), ".pelmora-upload.index.html.0123abcd");
    for (const std::string& name : std::vector<std::string>{
             "a", "index.html", ".htaccess", " blank ", "na\xefve.html", std::string(300, 'x')}) {
        SCOPED_TRACE(name.substr(0, 20));
        const std::string temporary = TemporaryNameFor(name);
        EXPECT_TRUE(IsTemporaryName(temporary)) << temporary;
        EXPECT_LE(temporary.size(), MaxRemoteNameLength);
        EXPECT_EQ(temporary.front(), '.');
    }
}

TEST(TemporaryNames, LongNamesAreCutButStayApart) {
    const std::string longName(255, 'n');
    const std::string first = TemporaryNameFor(longName, 1);
    const std::string second = TemporaryNameFor(longName, 2);
    EXPECT_EQ(first.size(), MaxRemoteNameLength);
    EXPECT_NE(first, second);
    // Random digits: a run's uploads of one name never share a temporary file.
    std::set<std::string> drawn;
    for (int i = 0; i < 200; ++i)
        drawn.insert(TemporaryNameFor("page.html"));
    EXPECT_GT(drawn.size(), 195u);
}

TEST(TemporaryNames, OnlyOurShapeIsTakenForOurs) {
    for (const char* name : {
             "index.html",
             ".pelmora-upload.",                // nothing after the prefix
             ".pelmora-upload..0123abcd",       // no name between
             ".pelmora-upload.a.0123abc",       // seven digits
             ".pelmora-upload.a.0123abcg",      // not hexadecimal
             ".pelmora-upload.a.0123ABCD",      // we write lower case
             ".pelmora-upload.a-0123abcd",      // no dot before the digits
             "pelmora-upload.a.0123abcd",       // not hidden
             ".Pelmora-upload.a.0123abcd",      // bytes, not letters without case
             "x.pelmora-upload.a.0123abcd",     // the prefix elsewhere
             ".pelmora-upload.a.0123abcd.html", // a name of the user's
         })
        EXPECT_FALSE(IsTemporaryName(name)) << name;
    EXPECT_FALSE(IsTemporaryName(".pelmora-upload." + std::string(240, 'x') + ".0123abcd"));
    EXPECT_TRUE(IsTemporaryName(".pelmora-upload.a.0123abcd"));
}

TEST(TemporaryNames, APathKeepsItsDirectory) {
    for (const auto& [path, dir] : {std::pair<std::string, std::string>{"/www/a/b.html", "/www/a/"},
                                    {"b.html", ""},
                                    {"/b.html", "/"},
                                    {"www//b.html", "www//"}}) {
        const std::string temporary = TemporaryPathFor(path);
        ASSERT_EQ(temporary.compare(0, dir.size(), dir), 0) << temporary;
        const std::string name = temporary.substr(dir.size());
        EXPECT_TRUE(IsTemporaryName(name)) << temporary;
        EXPECT_EQ(name.find("b.html"), 16u) << temporary;
    }
}

// A long name is cut between characters, never inside one: a server that checks its
// names for UTF-8 would refuse the temporary name where it takes the whole one.
TEST(TemporaryNames, ALongNameIsCutBetweenCharacters) {
    for (size_t lead : {0u, 1u, 2u}) {
        const std::string name = std::string(lead, 'x') + [] {
            std::string letters;
            for (int i = 0; i < 120; ++i)
                letters += "\xc3\xbc"; // ü
            return letters;
        }();
        SCOPED_TRACE(lead);
        const std::string temporary = TemporaryNameFor(name, 5);
        EXPECT_TRUE(IsTemporaryName(temporary));
        EXPECT_LE(temporary.size(), MaxRemoteNameLength);
        const std::string kept = temporary.substr(16, temporary.size() - 16 - 9);
        EXPECT_EQ(name.compare(0, kept.size(), kept), 0);
        // What is kept ends where a character ends.
        EXPECT_EQ((kept.size() - lead) % 2, 0u) << kept.size();
        EXPECT_GE(kept.size(), 229u);
    }
}
