#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// Compares two texts without regard to letter case: negative, zero or positive.
// ASCII is folded to lower case, so punctuation sorts before letters as users expect;
// other UTF-8 text is compared by Unicode case folding.
int CompareText(std::string_view a, std::string_view b);
inline bool SameText(std::string_view a, std::string_view b) {
    return CompareText(a, b) == 0;
}

// Upper-cases the ASCII letters a to z and nothing else.
std::string UpperAscii(std::string_view text);

// A text folded so that two texts are SameText exactly when their folds are equal.
std::string FoldCase(std::string_view text);

// A text made safe to print on a terminal or in mail: control bytes (below 0x20 and
// 0x7F), the C1 controls U+0080 to U+009F and bytes that are not well-formed UTF-8 become
// \xNN (two lower-case hex digits), a backslash becomes \\, and every other character,
// UTF-8 included, stays as it is. Names from a server or a disk may hold anything; printed
// raw they could clear the screen or fake a line of our own.
std::string EscapeControls(std::string_view text);

// The secrets of a run (the password given for it, the one stored) and every text that
// leaves the program with them replaced by "***": the status, standard output and error,
// the log. A server's reply may repeat what it was sent, and each of those outputs ends
// up somewhere others read (cron's mail, a CI log, a screen share).
class TSecretMask {
public:
    // Hides `secret` from now on, raw and in its escaped form (as printed); "" hides
    // nothing.
    void Hide(const std::string& secret);
    std::string Apply(std::string_view text) const;
    bool Empty() const { return secrets_.empty(); }

private:
    std::vector<std::string> secrets_; // longest first
};

} // namespace pelmora
