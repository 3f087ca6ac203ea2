#include "sync/ignore_rules.h"

#include <gtest/gtest.h>

#include <string>

using namespace pelmora;

namespace {

struct TCase {
    std::string file; // the text of an ignore file
    std::string path;
    bool directory;
    bool excluded;
};

const bool Dir = true;
const bool File = false;

} // namespace

TEST(IgnoreRules, FileTextAgainstPaths) {
    const TCase cases[] = {
        // A name alone matches at any depth; '*' and '?' stay within one level.
        {"*.html", "/a/b/index.html", File, true},
        {"*.html", "/index.htm", File, false},
        {"*.HTML", "/a.html", File, false},
        {"a?c", "/abc", File, true},
        {"a?c", "/ac", File, false},
        {"/a?c", "/a/c", File, false},
        {"*a*b*c", "/xaxbxc", File, true},
        {"*a*b*c", "/xaxcxb", File, false},
        {"draft*", "/draft-2.html", File, true},
        {"draft*", "/old-draft", File, false},
        {"foo**bar", "/fooxbar", File, true},
        {"foo**bar", "/foo/x/bar", File, false},
        // Sets, ranges and their negations.
        {"[a-c]at", "/bat", File, true},
        {"[a-c]at", "/dat", File, false},
        {"[!a-c]at", "/bat", File, false},
        {"[^a-c]at", "/dat", File, true},
        {"[]]x", "/]x", File, true},
        {"[\\]]x", "/]x", File, true},
        {"[[:digit:]]*.log", "/7.log", File, true},
        {"[[:digit:]]*.log", "/x.log", File, false},
        {"[abc", "/[abc", File, true},
        // A trailing '/' is for directories; what is inside an excluded one goes with it.
        {"build/", "/build", Dir, true},
        {"build/", "/build", File, false},
        {"build/", "/src/build", Dir, true},
        {"build/", "/build/out/x.o", File, true},
        // A slash at the start or inside anchors at the root.
        {"/top.txt", "/top.txt", File, true},
        {"/top.txt", "/sub/top.txt", File, false},
        {"doc/*.txt", "/doc/a.txt", File, true},
        {"doc/*.txt", "/x/doc/a.txt", File, false},
        {"doc/*.txt", "/doc/sub/a.txt", File, false},
        // "**" as whole levels.
        {"**/cache", "/cache", Dir, true},
        {"**/cache", "/a/b/cache", Dir, true},
        {"a/**/b", "/a/b", File, true},
        {"a/**/b", "/a/x/y/b", File, true},
        {"a/**/b", "/x/a/b", File, false},
        {"logs/**", "/logs/x/y.txt", File, true},
        {"logs/**", "/logs", Dir, false},
        {"**", "/any/thing", File, true},
        // The last matching pattern wins, but not from inside an excluded directory.
        {"*.txt\n!important.txt", "/important.txt", File, false},
        {"*.txt\n!important.txt", "/other.txt", File, true},
        {"!important.txt\n*.txt", "/important.txt", File, true},
        {"logs/**\n!logs/keep.txt", "/logs/keep.txt", File, false},
        {"logs/\n!logs/keep.txt", "/logs/keep.txt", File, true},
        {"logs/\n!logs/", "/logs/keep.txt", File, false},
        // Comments, escapes and lines that say nothing.
        {"# comment", "/# comment", File, false},
        {"\\#hash", "/#hash", File, true},
        {"\\!bang", "/!bang", File, true},
        {"a\\*b", "/a*b", File, true},
        {"a\\*b", "/axb", File, false},
        {"\n\n/\n!\n", "/x", File, false},
        {"a.tmp\r\nb.tmp\r\n", "/b.tmp", File, true},
        // Blanks at either end of a name.
        {"trail   ", "/trail", File, true},
        {"trail   ", "/trail ", File, false},
        {"trail\\ ", "/trail ", File, true},
        {"trail\\ ", "/trail", File, false},
        {" lead", "/ lead", File, true},
        {" lead", "/lead", File, false},
        // Bytes, not characters.
        {"caf\xe9.html", "/caf\xe9.html", File, true},
        {"caf\xe9.html", "/caf\xc3\xa9.html", File, false},
        {"caf?.html", "/caf\xe9.html", File, true},
        {"caf?.html", "/caf\xc3\xa9.html", File, false},
        {"[\xe0-\xef]*", "/\xe9t\xe9", File, true},
        // The path may come without its leading slash.
        {"/doc/a.txt", "doc/a.txt", File, true},
    };
    for (const TCase& c : cases) {
        TIgnoreRules rules;
        rules.AddLines(c.file);
        EXPECT_EQ(rules.Excluded(c.path, c.directory), c.excluded)
            << "patterns \"" << c.file << "\", path \"" << c.path << "\""
            << (c.directory ? " (directory)" : "");
    }
}

TEST(IgnoreRules, ACommandLinePatternIsTakenWhole) {
    TIgnoreRules rules;
    rules.Add("#draft#");
    rules.Add("spaced ");
    rules.Add("private/");
    EXPECT_TRUE(rules.Excluded("/#draft#", false));
    EXPECT_TRUE(rules.Excluded("/spaced ", false));
    EXPECT_FALSE(rules.Excluded("/spaced", false));
    EXPECT_TRUE(rules.Excluded("/a/private/x.html", false));
    rules.Add("!private/");
    EXPECT_FALSE(rules.Excluded("/a/private/x.html", false));
}

TEST(IgnoreRules, RepositoryAndIgnoreFileAreLeftOutUnlessBroughtBack) {
    TIgnoreRules rules;
    rules.AddDefaults();
    EXPECT_TRUE(rules.Excluded("/.git", true));
    EXPECT_TRUE(rules.Excluded("/.git/config", false));
    EXPECT_TRUE(rules.Excluded("/theme/.git", false)) << "a link to a repository elsewhere";
    EXPECT_TRUE(rules.Excluded("/.pelmoraignore", false));
    EXPECT_FALSE(rules.Excluded("/.gitignore", false));
    EXPECT_FALSE(rules.Excluded("/index.html", false));
    rules.AddLines("!.git/\n!/.pelmoraignore\n");
    EXPECT_FALSE(rules.Excluded("/.git/config", false));
    EXPECT_FALSE(rules.Excluded("/.pelmoraignore", false));
    EXPECT_TRUE(rules.Excluded("/sub/.pelmoraignore", false));
}

TEST(IgnoreRules, AWalkThatSkipsExcludedDirectoriesNeedOnlyAskAboutTheEntry) {
    TIgnoreRules rules;
    rules.AddLines("cache/\n");
    EXPECT_TRUE(rules.Excluded("/cache/page.html", false));
    EXPECT_FALSE(rules.ExcludedItself("/cache/page.html", false));
    EXPECT_TRUE(rules.ExcludedItself("/cache", true));
    EXPECT_FALSE(TIgnoreRules().Excluded("/anything", false));
    EXPECT_FALSE(rules.Excluded("/", true)) << "the root itself is never left out";
}
