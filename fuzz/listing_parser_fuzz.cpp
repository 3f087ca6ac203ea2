// Listing lines through the component's own parser, for every server type, one parser for
// the whole input as for one real listing, so a lone VMS name is carried between lines.
// The first byte picks the server type (low four bits) and MLSD facts (0x10).
#include "ftp/listing_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool mlsd = (data[0] & 0x10) != 0;
    pelmora::TListingParser parser(static_cast<pelmora::TFTPServerType>(data[0] % 16), mlsd);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const auto entry = parser.Parse(line);
        // An exact time and the date parts beside it never disagree.
        if (entry && entry->utcSeconds) {
            const pelmora::TListedDate date = pelmora::DateOfUtcSeconds(*entry->utcSeconds);
            if (date.year != entry->year || date.month != entry->month || date.day != entry->day ||
                date.hour != entry->hour || date.minute != entry->minute)
                std::abort();
        }
        // MLSD names are checked like every other form's.
        if (mlsd && entry &&
            (entry->name.empty() || entry->name == "." || entry->name == ".." ||
             entry->name.find_first_of(std::string("\r\n/\0", 4)) != std::string::npos))
            std::abort();
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return 0;
}
