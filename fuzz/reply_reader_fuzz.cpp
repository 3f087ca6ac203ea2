// Control-connection bytes, cut into pieces anywhere, through the line splitter and the
// reply reader.
#include "ftp/line_splitter.h"
#include "ftp/reply_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the size of the pieces, as a server's sends would.
    const size_t piece = 1 + data[0] % 64;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    pelmora::TLineSplitter splitter(4096);
    pelmora::TReplyReader reader;
    std::string line;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        if (!splitter.Feed(bytes.substr(at, piece))) {
            splitter.Clear();
            reader.Reset();
            continue;
        }
        while (splitter.NextLine(line)) {
            if (line.find("\r\n") != std::string::npos)
                std::abort();
            if (reader.TakeLine(line) && line.empty())
                std::abort(); // an empty line is never a final reply
        }
        if (splitter.Pending().size() > 4096)
            std::abort();
    }
    return 0;
}
