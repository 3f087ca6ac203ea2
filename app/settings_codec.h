#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora {

// Text values in the settings file are stored encoded: three characters per character
// of the text, two hexadecimal digits of a transformed byte and one random filler.

// The longest text the encoding can hold.
constexpr size_t MaxEncodedTextLength = 84;

std::string ByteToHex(uint8_t b);

// Whether the text can be stored: at most 84 characters, and every character's code
// plus its 1-based position at most 255. When not, `why` says what is wrong.
bool CanEncode(std::string_view plain, std::string* why = nullptr);

// The stored form of a text; the text must pass CanEncode (std::invalid_argument if not).
std::string EncodeValue(std::string_view plain);

// The text of a stored value. A value holding anything but the digits 0-9 and A-F where
// a digit belongs, or a group that decodes out of range, reads as empty.
std::string DecodeValue(std::string_view coded);

} // namespace pelmora
