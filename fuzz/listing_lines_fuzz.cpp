// Listing text as the remote load reads it: every line parsed, sorted and dated.
#include "sync/listing_lines.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    pelmora::TStringList list;
    size_t start = 0;
    while (start <= text.size() && list.Count() < 2000) {
        const size_t end = text.find('\n', start);
        list.Add(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    pelmora::TMemo memo;
    for (const pelmora::TListedEntry& listed : pelmora::ReadListing(list, memo)) {
        // Whatever the line says, an entry never carries a name that would break a
        // command or climb out of its directory.
        const std::string& name = listed.name;
        if (name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string("\r\n/\0", 4)) != std::string::npos)
            std::abort();
        pelmora::TDetail entry;
        pelmora::FillRemoteDetail(entry, listed, "/dir");
    }
    return 0;
}
