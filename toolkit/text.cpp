#include "toolkit/text.h"

#include <QString>

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

} // namespace pelmora
