#pragma once

#include <string>

namespace pelmora {

// Tells the final line of a reply from the lines before it. A reply "220-..." goes on
// until a line that begins with the same code and a blank; only that line is final.
class TReplyReader {
public:
    // True when the line is a final reply, to be acted on. Empty lines, the first line
    // of a multi-line reply and the lines inside one are not.
    bool TakeLine(const std::string& line);
    void Reset();

    bool MultiLine() const { return multiLine_; }
    const std::string& MultiLineCode() const { return multiLineCode_; }

private:
    bool multiLine_ = false;
    std::string multiLineCode_;
};

} // namespace pelmora
