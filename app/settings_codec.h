#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora {

class TIniFile;

// Text values in the settings file are stored encoded, in one of two forms.
//
// The classic form: three characters per byte of the text, two hexadecimal digits of a
// transformed byte and one random filler. It holds at most 84 bytes, and only where every
// byte's code plus its 1-based position is at most 255, so a long path or a non-ASCII
// letter past the first few characters does not fit. Every text that fits is stored this
// way, exactly as earlier versions stored it, so that they read such files as they wrote
// them.
//
// The long form, for every other text: "~", then two hexadecimal digits per byte,
// transformed as in the classic form but modulo 256 and without fillers. Any length and
// any bytes fit. The classic decoder takes the "~" for a digit that is not one and reads
// the whole value as empty, so an earlier version keeps its default for that setting.

// The longest text the classic form can hold.
constexpr size_t MaxEncodedTextLength = 84;
// The first character of a value in the long form.
constexpr char LongFormMark = '~';

std::string ByteToHex(uint8_t b);

// Whether the text fits the classic form. When not, `why` says why.
bool FitsClassicForm(std::string_view plain, std::string* why = nullptr);

// The stored form of any text: the classic form when it fits, else the long form.
std::string EncodeValue(std::string_view plain);

// The text of a stored value, in either form. A value holding anything but the digits
// 0-9 and A-F where a digit belongs, or a classic group that decodes out of range, reads
// as empty.
std::string DecodeValue(std::string_view coded);

// The text stored under a key: a long-form value whole, however long; a classic one cut
// as TIniFile cuts every value, as earlier versions read it.
std::string ReadEncodedValue(const TIniFile& ini, std::string_view section, std::string_view key);

} // namespace pelmora
