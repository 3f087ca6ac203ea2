#include "app/settings_codec.h"

#include "toolkit/profile.h"
#include "toolkit/random.h"

namespace pelmora {

namespace {

constexpr std::string_view hexDigits = "0123456789ABCDEF";

int HexValue(char c) {
    const size_t at = hexDigits.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The byte stored for the byte `code` at the 1-based `position`, and back.
uint8_t Transformed(uint8_t code, size_t position) {
    return static_cast<uint8_t>(255u - code - static_cast<unsigned>(position % 256));
}

std::string DecodeLongForm(std::string_view digits) {
    if (digits.size() % 2 != 0)
        return {};
    std::string result;
    result.reserve(digits.size() / 2);
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int h = HexValue(digits[i]);
        const int l = HexValue(digits[i + 1]);
        if (h < 0 || l < 0)
            return {};
        // The transform is its own inverse for a given position.
        result += static_cast<char>(Transformed(static_cast<uint8_t>(h * 16 + l), i / 2 + 1));
    }
    return result;
}

} // namespace

std::string ByteToHex(uint8_t b) {
    return {hexDigits[b / 16], hexDigits[b % 16]};
}

bool FitsClassicForm(std::string_view plain, std::string* why) {
    if (plain.size() > MaxEncodedTextLength) {
        if (why)
            *why = "it is longer than " + std::to_string(MaxEncodedTextLength) + " characters";
        return false;
    }
    for (size_t i = 0; i < plain.size(); ++i) {
        const int code = static_cast<unsigned char>(plain[i]);
        if (code + static_cast<int>(i + 1) > 255) {
            if (why)
                *why = "its character at position " + std::to_string(i + 1) +
                       " cannot be stored there";
            return false;
        }
    }
    return true;
}

std::string EncodeValue(std::string_view plain) {
    std::string result;
    if (!FitsClassicForm(plain)) {
        result.reserve(1 + plain.size() * 2);
        result += LongFormMark;
        for (size_t i = 0; i < plain.size(); ++i)
            result += ByteToHex(Transformed(static_cast<uint8_t>(plain[i]), i + 1));
        return result;
    }
    result.reserve(plain.size() * 3);
    for (size_t i = 0; i < plain.size(); ++i) {
        result += ByteToHex(Transformed(static_cast<uint8_t>(plain[i]), i + 1));
        result += hexDigits[Random(15)];
    }
    return result;
}

std::string DecodeValue(std::string_view coded) {
    if (!coded.empty() && coded.front() == LongFormMark)
        return DecodeLongForm(coded.substr(1));
    std::string result;
    int k = 1;
    // Groups of three, the third a filler; a trailing pair still counts, a single
    // trailing character does not.
    for (size_t i = 0; i + 1 < coded.size(); i += 3, ++k) {
        const int h = HexValue(coded[i]);
        const int l = HexValue(coded[i + 1]);
        if (h < 0 || l < 0)
            return {};
        const int v = (h * 16 + l + k) ^ 255;
        if (v < 0 || v > 255)
            return {};
        result += static_cast<char>(v);
    }
    return result;
}

std::string ReadEncodedValue(const TIniFile& ini, std::string_view section, std::string_view key) {
    const std::string stored = ini.ReadWholeString(section, key, "");
    if (!stored.empty() && stored.front() == LongFormMark)
        return DecodeValue(stored);
    return DecodeValue(std::string_view(stored).substr(0, TIniFile::MaxValueLength));
}

} // namespace pelmora
