#pragma once

#include <string>
#include <string_view>

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

} // namespace pelmora
