#include "toolkit/text.h"

#include <QString>

#include <algorithm>

namespace pelmora {

namespace {

constexpr unsigned char LowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

QString FromBytes(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

int CompareText(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca >= 0x80 || cb >= 0x80) {
            // Everything before i is ASCII, so i starts a character in both texts.
            return FromBytes(a.substr(i)).compare(FromBytes(b.substr(i)), Qt::CaseInsensitive);
        }
        const unsigned char la = LowerAscii(ca);
        const unsigned char lb = LowerAscii(cb);
        if (la != lb)
            return la < lb ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string UpperAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return result;
}

std::string FoldCase(std::string_view text) {
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (!ascii)
        return FromBytes(text).toCaseFolded().toStdString();
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(LowerAscii(static_cast<unsigned char>(c)));
    return result;
}

namespace {

// The length of the well-formed UTF-8 sequence that starts `text` (at least two bytes),
// or 0 when none does. Overlong forms, surrogates and code points past U+10FFFF are
// not well-formed.
size_t Utf8SequenceLength(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

void AppendHexEscape(std::string& out, unsigned char c) {
    static constexpr char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 0x0F];
}

} // namespace

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            AppendHexEscape(out, c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = Utf8SequenceLength(text.substr(i)); n == 0) {
            AppendHexEscape(out, c);
            ++i;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: controls that some terminals obey.
            AppendHexEscape(out, c);
            AppendHexEscape(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

void TSecretMask::Hide(const std::string& secret) {
    if (secret.empty())
        return;
    for (std::string form : {secret, EscapeControls(secret)})
        if (std::find(secrets_.begin(), secrets_.end(), form) == secrets_.end())
            secrets_.push_back(std::move(form));
    // The longer first, so one secret inside another is not left half shown.
    std::stable_sort(
        secrets_.begin(), secrets_.end(),
        [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string TSecretMask::Apply(std::string_view text) const {
    std::string clean(text);
    for (const std::string& secret : secrets_)
        for (size_t at = clean.find(secret); at != std::string::npos;
             at = clean.find(secret, at + 3))
            clean.replace(at, secret.size(), "***");
    return clean;
}

} // namespace pelmora
