// Listing lines through the component's own parser, for every server type, one parser for
// the whole input as for one real listing, so a lone VMS name is carried between lines.
#include "ftp/listing_parser.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    pelmora::TListingParser parser(static_cast<pelmora::TFTPServerType>(data[0] % 16));
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        parser.Parse(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return 0;
}
