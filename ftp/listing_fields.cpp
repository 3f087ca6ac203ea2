#include "ftp/listing_fields.h"

#include <array>
#include <string>

namespace pelmora::listing {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view text) {
    if (text.empty())
        return false;
    for (const char c : text)
        if (!IsDigit(c))
            return false;
    return true;
}

int Number(std::string_view digits) {
    int value = 0;
    for (const char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

bool ToSize(std::string_view digits, long long& size) {
    if (!AllDigits(digits) || digits.size() > 18)
        return false;
    size = 0;
    for (const char c : digits)
        size = size * 10 + (c - '0');
    return true;
}

int MonthOf(std::string_view word) {
    static constexpr std::array<std::string_view, 12> months = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    if (word.size() != 3)
        return 0;
    std::string lower(word);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    for (size_t i = 0; i < months.size(); ++i)
        if (lower == months[i])
            return static_cast<int>(i) + 1;
    return 0;
}

bool ClockTime(std::string_view word, int& hour, int& minute) {
    const size_t colon = word.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || word.size() != colon + 3)
        return false;
    const auto h = word.substr(0, colon);
    const auto m = word.substr(colon + 1);
    if (!AllDigits(h) || !AllDigits(m))
        return false;
    hour = Number(h);
    minute = Number(m);
    return hour < 24 && minute < 60;
}

int FullYear(int year, size_t digits) {
    if (digits != 2)
        return year;
    return year + (year < 70 ? 2000 : 1900);
}

} // namespace pelmora::listing
