#include "ftp/features.h"

#include <string_view>

namespace pelmora {

namespace {

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

// "211-Features:", "211 End": the lines that carry the reply's code, not a feature.
bool CodeLine(std::string_view line) {
    if (line.size() < 3)
        return false;
    for (size_t i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9')
            return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '-';
}

} // namespace

TServerFeatures ParseFeatures(const std::vector<std::string>& lines) {
    TServerFeatures features;
    if (lines.empty() || lines.back().compare(0, 3, "211") != 0)
        return features;
    features.listed = true;
    for (const std::string& line : lines) {
        if (CodeLine(line))
            continue;
        const size_t begin = line.find_first_not_of(" \t");
        if (begin == std::string::npos)
            continue;
        const size_t end = line.find_first_of(" \t", begin);
        const std::string word = Upper(std::string_view(line).substr(begin, end - begin));
        std::string rest;
        if (end != std::string::npos) {
            const size_t from = line.find_first_not_of(" \t", end);
            if (from != std::string::npos)
                rest = line.substr(from);
            while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t'))
                rest.pop_back();
        }
        if (word == "MLSD") {
            features.mlsd = true;
        } else if (word == "MLST") {
            features.mlsd = true;
            features.mlstFacts = rest;
        } else if (word == "MDTM") {
            features.mdtm = true;
        } else if (word == "MFMT") {
            features.mfmt = true;
        } else if (word == "SIZE") {
            features.size = true;
        } else if (word == "UTF8") {
            features.utf8 = true;
        } else if (word == "EPSV") {
            features.epsv = true;
        } else if (word == "AUTH") {
            // "AUTH TLS", "AUTH SSL TLS", "AUTH TLS;TLS-C;SSL".
            const std::string methods = Upper(rest);
            size_t at = 0;
            while (at < methods.size()) {
                const size_t stop = methods.find_first_of(" \t;,", at);
                if (methods.substr(at, stop - at) == "TLS")
                    features.authTls = true;
                if (stop == std::string::npos)
                    break;
                at = stop + 1;
            }
        }
    }
    return features;
}

} // namespace pelmora
