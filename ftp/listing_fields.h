#pragma once

#include <string_view>

// Readers of the small fields that listing lines of every form are made of. Each takes the
// field's bytes exactly and says no to anything else.
namespace pelmora::listing {

bool IsDigit(char c);
bool AllDigits(std::string_view text);

// The value of a short run of digits (callers check the length first).
int Number(std::string_view digits);

// A byte count of at most 18 digits.
bool ToSize(std::string_view digits, long long& size);

// 1-12 for "Jan".."Dec" in any case, 0 for anything else.
int MonthOf(std::string_view word);

// "9:05" or "23:59".
bool ClockTime(std::string_view word, int& hour, int& minute);

// A year written with two digits, taken the way the servers that write them mean it.
int FullYear(int year, size_t digits);

} // namespace pelmora::listing
