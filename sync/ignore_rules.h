#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// Which entries of a site are left alone on both sides: never uploaded, never deleted on
// the server. The patterns read as in a .gitignore file, so a site kept under version
// control can say what it means in the words it already knows:
//   *  ?  [a-z] [!a-z] [^a-z] [[:digit:]]  any run of bytes, one byte, one of a set,
//                                          none of them crossing a '/'
//   **           a whole level "**/" at the start or "/**/" inside matches any number of
//                directories (none too); "/**" at the end matches everything inside
//   trailing /   directories only
//   leading or inner /   anchored at the site's root; otherwise the name is matched at any
//                depth
//   !            re-includes what an earlier pattern excluded; the last matching pattern
//                wins, but nothing comes back from inside an excluded directory
//   \            takes the next byte literally
// Names are bytes and are matched as such, letter case included: '?' is one byte, and a
// name that is not UTF-8 matches its own bytes.
class TIgnoreRules {
public:
    // ".git" (a repository or a link to one) and ".pelmoraignore" at any depth. Call this
    // first: patterns added later can then re-include them.
    void AddDefaults();
    // The text of an ignore file: one pattern a line (LF or CR LF); blank lines and lines
    // starting with '#' say nothing, and blanks at the end of a line are dropped unless the
    // last one is escaped with '\'.
    void AddLines(std::string_view text);
    // One pattern as given on the command line: taken whole, so a leading '#' and blanks at
    // either end belong to it.
    void Add(std::string_view pattern);

    bool Empty() const { return rules_.empty(); }

    // Whether the entry at `relativePath` ("/a/b.html"; the leading '/' may be left out) is
    // excluded, by its own name or by a directory above it.
    bool Excluded(std::string_view relativePath, bool isDirectory) const;
    // The verdict on the entry itself, for a walk that never enters an excluded directory
    // and so has already asked about every directory above it.
    bool ExcludedItself(std::string_view relativePath, bool isDirectory) const;

private:
    enum class TTokenKind : uint8_t { Byte, AnyByte, Set, Star };
    struct TToken {
        TTokenKind kind;
        uint8_t byte = 0;
        uint16_t set = 0; // index into TRule::sets
    };
    // One level of a pattern, matched against one level of a path. The common shapes are
    // told apart once, here, so most checks are a comparison of bytes.
    enum class TLevelKind : uint8_t { Literal, AnyName, Suffix, Prefix, Glob, AnyLevels };
    struct TLevel {
        TLevelKind kind = TLevelKind::Literal;
        std::string text; // Literal, Suffix and Prefix
        std::vector<TToken> tokens;
    };
    struct TRule {
        std::vector<TLevel> levels;
        std::vector<std::bitset<256>> sets;
        bool negated = false;
        bool directoryOnly = false;
        bool anchored = false;
    };
    using TLevels = std::vector<std::string_view>;
    // A pattern read into pieces before it is cut into levels at its slashes.
    enum class TPiece : uint8_t { Byte, AnyByte, Set, Star, AnyLevels, Slash };
    struct TRawToken {
        TPiece piece;
        uint8_t byte = 0;
        uint16_t set = 0; // index into TRule::sets
    };

    void AddPattern(std::string_view pattern);
    static std::vector<TRawToken> ReadPieces(std::string_view pattern,
                                             std::vector<std::bitset<256>>& sets);
    // The level of the pieces [start, end), which hold no slash.
    static TLevel LevelOf(const std::vector<TRawToken>& raw, size_t start, size_t end);
    // Tells the common shapes of a level's tokens apart (see TLevelKind).
    static void ShapeLevel(TLevel& level);
    bool Verdict(const TLevels& path, size_t depth, bool isDirectory) const;
    static bool Matches(const TRule& rule, const TLevels& path, size_t depth);
    static bool LevelMatches(const TRule& rule, const TLevel& level, std::string_view name);
    static bool GlobMatches(const TRule& rule, const std::vector<TToken>& tokens,
                            std::string_view name);

    std::vector<TRule> rules_;
};

} // namespace pelmora
