#include "app/settings_codec.h"

#include "toolkit/random.h"

#include <stdexcept>

namespace pelmora {

namespace {

constexpr std::string_view hexDigits = "0123456789ABCDEF";

int HexValue(char c) {
    const size_t at = hexDigits.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

} // namespace

std::string ByteToHex(uint8_t b) {
    return {hexDigits[b / 16], hexDigits[b % 16]};
}

bool CanEncode(std::string_view plain, std::string* why) {
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
    std::string why;
    if (!CanEncode(plain, &why))
        throw std::invalid_argument("the text cannot be stored: " + why);
    std::string result;
    result.reserve(plain.size() * 3);
    for (size_t i = 0; i < plain.size(); ++i) {
        const int code = static_cast<unsigned char>(plain[i]);
        result += ByteToHex(static_cast<uint8_t>((255 - code) - static_cast<int>(i + 1)));
        result += hexDigits[Random(15)];
    }
    return result;
}

std::string DecodeValue(std::string_view coded) {
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

} // namespace pelmora
