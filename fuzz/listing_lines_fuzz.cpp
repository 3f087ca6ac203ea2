// Listing text as the remote load reads it: every line rewritten, sorted, split into
// fields and dated.
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
    pelmora::PrepareWorkList(list, memo);
    for (int i = 0; i < list.Count(); ++i) {
        const std::string& line = list.Strings(i);
        const pelmora::TSkipped field = pelmora::EntryOfLine(line);
        if (field.rest.size() > 255)
            std::abort();
        pelmora::TDetail entry;
        pelmora::FillRemoteDetail(entry, pelmora::kindFile, field.rest, line, "/dir");
        // Whatever the line says, an entry never carries a name that would break a
        // command or climb out of its directory.
        if (!line.empty() && !field.rest.empty() &&
            (field.rest == "." || field.rest == ".." ||
             field.rest.find_first_of("\r\n/") != std::string::npos))
            std::abort();
    }
    return 0;
}
