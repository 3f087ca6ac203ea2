#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmora {

// Cuts a byte stream into CR LF lines. What follows the last CR LF waits for the next
// piece, so a line may be split anywhere, even between its CR and its LF. A peer that
// never ends its line cannot make us hold more than `cap` bytes of it.
class TLineSplitter {
public:
    static constexpr size_t DefaultCap = 64 * 1024;

    explicit TLineSplitter(size_t cap = DefaultCap) : cap_(cap) {}

    // Takes the next piece. False once the unfinished line has grown past the cap;
    // the splitter then holds nothing until it is cleared.
    bool Feed(std::string_view piece);
    // The next complete line without its CR LF; false when none is complete.
    bool NextLine(std::string& line);
    // The text after the last CR LF.
    std::string_view Pending() const;
    bool Overflowed() const { return overflowed_; }
    void Clear();

private:
    std::string buffer_;
    size_t start_ = 0;   // where the first line not yet taken begins
    size_t scanned_ = 0; // no CR LF begins before this point (past start_)
    size_t cap_;
    bool overflowed_ = false;
};

} // namespace pelmora
