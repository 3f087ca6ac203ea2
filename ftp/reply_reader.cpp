#include "ftp/reply_reader.h"

namespace pelmora {

bool TReplyReader::TakeLine(const std::string& line) {
    if (line.empty())
        return false;
    if (multiLine_ && line.compare(0, 4, multiLineCode_ + " ") != 0)
        return false;
    if (line.size() >= 4 && line[3] == '-') {
        multiLine_ = true;
        multiLineCode_ = line.substr(0, 3);
        return false;
    }
    multiLine_ = false;
    return true;
}

void TReplyReader::Reset() {
    multiLine_ = false;
    multiLineCode_.clear();
}

} // namespace pelmora
