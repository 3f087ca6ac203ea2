// Listing text as the remote load reads it: every line parsed, sorted and dated.
#include "ftp/listing_entry.h"
#include "sync/remote_entries.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<pelmora::TListedEntry> entries;
    size_t start = 0;
    for (int lines = 0; start <= text.size() && lines < 2000; ++lines) {
        const size_t end = text.find('\n', start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (auto entry = pelmora::ParseListedEntry(line))
            entries.push_back(std::move(*entry));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    pelmora::SortEntries(entries);
    for (const pelmora::TListedEntry& listed : entries) {
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
