#include "sync/ignore_rules.h"

#include <algorithm>
#include <cctype>

namespace pelmora {

namespace {

// The named classes inside brackets, in the C locale: a name is bytes, not letters of
// whatever language the user runs.
bool AddNamedClass(std::string_view name, std::bitset<256>& set) {
    static const struct {
        const char* name;
        int (*test)(int);
    } classes[] = {{"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank},
                   {"cntrl", iscntrl}, {"digit", isdigit}, {"graph", isgraph},
                   {"lower", islower}, {"print", isprint}, {"punct", ispunct},
                   {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit}};
    for (const auto& c : classes) {
        if (name != c.name)
            continue;
        for (int b = 0; b < 128; ++b)
            if (c.test(b))
                set.set(static_cast<size_t>(b));
        return true;
    }
    return false;
}

// Reads "[...]" whose '[' is at `open`. Returns the index after the closing ']', or 0 when
// the bracket is not closed (it is then an ordinary byte).
size_t ReadSet(std::string_view p, size_t open, std::bitset<256>& set) {
    size_t j = open + 1;
    bool negated = false;
    if (j < p.size() && (p[j] == '!' || p[j] == '^')) {
        negated = true;
        ++j;
    }
    bool first = true;
    while (j < p.size()) {
        if (p[j] == ']' && !first) {
            if (negated)
                set.flip();
            set.reset('/');
            return j + 1;
        }
        first = false;
        if (p[j] == '[' && j + 1 < p.size() && p[j + 1] == ':') {
            const size_t close = p.find(":]", j + 2);
            if (close != std::string_view::npos &&
                AddNamedClass(p.substr(j + 2, close - j - 2), set)) {
                j = close + 2;
                continue;
            }
        }
        if (p[j] == '\\' && j + 1 < p.size())
            ++j;
        const auto low = static_cast<unsigned char>(p[j++]);
        unsigned char high = low;
        if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
            ++j;
            if (p[j] == '\\' && j + 1 < p.size())
                ++j;
            high = static_cast<unsigned char>(p[j++]);
        }
        for (unsigned b = low; b <= high; ++b)
            set.set(b);
    }
    set.reset();
    return 0;
}

} // namespace

void TIgnoreRules::AddDefaults() {
    AddPattern(".git");
    AddPattern(".pelmoraignore");
}

void TIgnoreRules::AddLines(std::string_view text) {
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        // Trailing blanks are invisible in an editor, so they only count when escaped.
        while (!line.empty() && line.back() == ' ') {
            size_t backslashes = 0;
            while (backslashes + 1 < line.size() && line[line.size() - 2 - backslashes] == '\\')
                ++backslashes;
            if (backslashes % 2 == 1)
                break;
            line.remove_suffix(1);
        }
        AddPattern(line);
    }
}

void TIgnoreRules::Add(std::string_view pattern) {
    AddPattern(pattern);
}

void TIgnoreRules::AddPattern(std::string_view p) {
    TRule rule;
    if (!p.empty() && p.front() == '!') {
        rule.negated = true;
        p.remove_prefix(1);
    }
    std::vector<TRawToken> raw = ReadPieces(p, rule.sets);
    if (!raw.empty() && raw.back().piece == TPiece::Slash) {
        rule.directoryOnly = true;
        while (!raw.empty() && raw.back().piece == TPiece::Slash)
            raw.pop_back();
    }
    rule.anchored = std::any_of(raw.begin(), raw.end(),
                                [](const TRawToken& t) { return t.piece == TPiece::Slash; });
    for (size_t start = 0; start < raw.size();) {
        size_t end = start;
        while (end < raw.size() && raw[end].piece != TPiece::Slash)
            ++end;
        if (end > start) {
            TLevel level = LevelOf(raw, start, end);
            const bool repeated = level.kind == TLevelKind::AnyLevels && !rule.levels.empty() &&
                                  rule.levels.back().kind == TLevelKind::AnyLevels;
            if (!repeated)
                rule.levels.push_back(std::move(level));
        }
        start = end + 1;
    }
    if (rule.levels.empty())
        return;
    if (!rule.anchored) {
        // A name alone matches at any depth, so "**" there is any name.
        if (rule.levels[0].kind == TLevelKind::AnyLevels)
            rule.levels[0].kind = TLevelKind::AnyName;
    } else if (rule.levels.back().kind == TLevelKind::AnyLevels) {
        // "dir/**" is what is inside dir, not dir itself, so that "!dir/keep" can still
        // bring an entry back.
        rule.levels.insert(rule.levels.end() - 1, TLevel{TLevelKind::AnyName, {}, {}});
    }
    rules_.push_back(std::move(rule));
}

std::vector<TIgnoreRules::TRawToken> TIgnoreRules::ReadPieces(std::string_view p,
                                                              std::vector<std::bitset<256>>& sets) {
    std::vector<TRawToken> raw;
    for (size_t i = 0; i < p.size();) {
        const char c = p[i];
        if (c == '\\' && i + 1 < p.size()) {
            const auto escaped = static_cast<uint8_t>(p[i + 1]);
            raw.push_back({escaped == '/' ? TPiece::Slash : TPiece::Byte, escaped, 0});
            i += 2;
        } else if (c == '*') {
            const size_t run = std::min(p.find_first_not_of('*', i), p.size()) - i;
            raw.push_back({run >= 2 ? TPiece::AnyLevels : TPiece::Star, 0, 0});
            i += run;
        } else if (c == '?') {
            raw.push_back({TPiece::AnyByte, 0, 0});
            ++i;
        } else if (c == '/') {
            raw.push_back({TPiece::Slash, 0, 0});
            ++i;
        } else if (c == '[') {
            std::bitset<256> set;
            const size_t next = ReadSet(p, i, set);
            if (next == 0) {
                raw.push_back({TPiece::Byte, '[', 0});
                ++i;
            } else {
                raw.push_back({TPiece::Set, 0, static_cast<uint16_t>(sets.size())});
                sets.push_back(set);
                i = next;
            }
        } else {
            raw.push_back({TPiece::Byte, static_cast<uint8_t>(c), 0});
            ++i;
        }
    }
    return raw;
}

TIgnoreRules::TLevel TIgnoreRules::LevelOf(const std::vector<TRawToken>& raw, size_t start,
                                           size_t end) {
    TLevel level;
    if (end - start == 1 && raw[start].piece == TPiece::AnyLevels) {
        level.kind = TLevelKind::AnyLevels;
        return level;
    }
    for (size_t i = start; i < end; ++i) {
        const TRawToken& t = raw[i];
        // "**" that is not a whole level is a plain '*'.
        const bool star = t.piece == TPiece::Star || t.piece == TPiece::AnyLevels;
        if (star && !level.tokens.empty() && level.tokens.back().kind == TTokenKind::Star)
            continue;
        TToken token{TTokenKind::Byte, t.byte, t.set};
        if (star)
            token.kind = TTokenKind::Star;
        else if (t.piece == TPiece::AnyByte)
            token.kind = TTokenKind::AnyByte;
        else if (t.piece == TPiece::Set)
            token.kind = TTokenKind::Set;
        level.tokens.push_back(token);
    }
    ShapeLevel(level);
    return level;
}

void TIgnoreRules::ShapeLevel(TLevel& level) {
    auto isByte = [](const TToken& t) { return t.kind == TTokenKind::Byte; };
    const auto& tk = level.tokens;
    auto bytes = [&](size_t from, size_t to) {
        std::string s;
        for (size_t i = from; i < to; ++i)
            s += static_cast<char>(tk[i].byte);
        return s;
    };
    const size_t n = tk.size();
    if (std::all_of(tk.begin(), tk.end(), isByte)) {
        level.kind = TLevelKind::Literal;
        level.text = bytes(0, n);
    } else if (n == 1 && tk[0].kind == TTokenKind::Star) {
        level.kind = TLevelKind::AnyName;
    } else if (tk[0].kind == TTokenKind::Star && std::all_of(tk.begin() + 1, tk.end(), isByte)) {
        level.kind = TLevelKind::Suffix;
        level.text = bytes(1, n);
    } else if (tk[n - 1].kind == TTokenKind::Star &&
               std::all_of(tk.begin(), tk.end() - 1, isByte)) {
        level.kind = TLevelKind::Prefix;
        level.text = bytes(0, n - 1);
    } else {
        level.kind = TLevelKind::Glob;
    }
    if (level.kind != TLevelKind::Glob)
        level.tokens.clear();
}

bool TIgnoreRules::GlobMatches(const TRule& rule, const std::vector<TToken>& tokens,
                               std::string_view name) {
    // A '*' never crosses a level, so going back to the last one is enough: what an
    // earlier '*' took can be left to the later one.
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < name.size()) {
        if (p < tokens.size() && tokens[p].kind == TTokenKind::Star) {
            starP = p++;
            starT = t;
            continue;
        }
        if (p < tokens.size()) {
            const TToken& k = tokens[p];
            const auto b = static_cast<unsigned char>(name[t]);
            const bool one = k.kind == TTokenKind::AnyByte ||
                             (k.kind == TTokenKind::Byte && k.byte == b) ||
                             (k.kind == TTokenKind::Set && rule.sets[k.set].test(b));
            if (one) {
                ++p;
                ++t;
                continue;
            }
        }
        if (starP == std::string_view::npos)
            return false;
        p = starP + 1;
        t = ++starT;
    }
    while (p < tokens.size() && tokens[p].kind == TTokenKind::Star)
        ++p;
    return p == tokens.size();
}

bool TIgnoreRules::LevelMatches(const TRule& rule, const TLevel& level, std::string_view name) {
    switch (level.kind) {
    case TLevelKind::Literal:
        return name == level.text;
    case TLevelKind::AnyName:
    case TLevelKind::AnyLevels:
        return true;
    case TLevelKind::Suffix:
        return name.size() >= level.text.size() &&
               name.substr(name.size() - level.text.size()) == level.text;
    case TLevelKind::Prefix:
        return name.substr(0, level.text.size()) == level.text;
    case TLevelKind::Glob:
        return GlobMatches(rule, level.tokens, name);
    }
    return false;
}

bool TIgnoreRules::Matches(const TRule& rule, const TLevels& path, size_t depth) {
    if (!rule.anchored)
        return LevelMatches(rule, rule.levels[0], path[depth - 1]);
    // The same walk as within a level, one level at a time, with "**" as the star.
    const std::vector<TLevel>& levels = rule.levels;
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < depth) {
        if (p < levels.size() && levels[p].kind == TLevelKind::AnyLevels) {
            starP = p++;
            starT = t;
            continue;
        }
        if (p < levels.size() && LevelMatches(rule, levels[p], path[t])) {
            ++p;
            ++t;
            continue;
        }
        if (starP == std::string_view::npos)
            return false;
        p = starP + 1;
        t = ++starT;
    }
    while (p < levels.size() && levels[p].kind == TLevelKind::AnyLevels)
        ++p;
    return p == levels.size();
}

bool TIgnoreRules::Verdict(const TLevels& path, size_t depth, bool isDirectory) const {
    for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule) {
        if (rule->directoryOnly && !isDirectory)
            continue;
        if (Matches(*rule, path, depth))
            return !rule->negated;
    }
    return false;
}

namespace {

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> levels;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            levels.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return levels;
}

} // namespace

bool TIgnoreRules::Excluded(std::string_view relativePath, bool isDirectory) const {
    if (rules_.empty())
        return false;
    const TLevels path = SplitPath(relativePath);
    if (path.empty())
        return false;
    for (size_t depth = 1; depth < path.size(); ++depth)
        if (Verdict(path, depth, true))
            return true;
    return Verdict(path, path.size(), isDirectory);
}

bool TIgnoreRules::ExcludedItself(std::string_view relativePath, bool isDirectory) const {
    if (rules_.empty())
        return false;
    const TLevels path = SplitPath(relativePath);
    return !path.empty() && Verdict(path, path.size(), isDirectory);
}

} // namespace pelmora
