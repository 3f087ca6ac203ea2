#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmora {

// Cuts a byte stream into lines. What follows the last line end waits for the next
// piece, so a line may be split anywhere, even between its CR and its LF. A peer that
// never ends its line cannot make us hold more than `cap` bytes of it.
//
// Replies end their lines with CR LF and nothing else. Listings come from every kind of
// server, and many end their lines with a bare LF: with `bareLf` an LF ends a line
// too, and a CR right before it belongs to the line end. A CR followed by anything
// else stays part of the line either way.
class TLineSplitter {
public:
    static constexpr size_t DefaultCap = 64 * 1024;

    explicit TLineSplitter(size_t cap = DefaultCap, bool bareLf = false)
        : cap_(cap), bareLf_(bareLf) {}

    // Takes the next piece. False once the unfinished line has grown past the cap;
    // the splitter then holds nothing until it is cleared.
    bool Feed(std::string_view piece);
    // The next complete line without its line end; false when none is complete.
    bool NextLine(std::string& line);
    // The text after the last line end.
    std::string_view Pending() const;
    // At the end of the stream: the unfinished last line, if there is one, still
    // counts. False when nothing was left.
    bool TakeLastLine(std::string& line);
    bool Overflowed() const { return overflowed_; }
    void Clear();

private:
    // Where the next line end begins at or after `from`, and its length.
    size_t FindEnd(size_t from, size_t& length) const;

    std::string buffer_;
    size_t start_ = 0;   // where the first line not yet taken begins
    size_t scanned_ = 0; // no line end begins before this point (past start_)
    size_t cap_;
    bool bareLf_;
    bool overflowed_ = false;
};

// Received bytes as text for a splitter. The socket layer's text ends at a zero byte and
// drops the rest of the chunk, which would cost a reply its line end (the session then
// waits out its time-out) or glue two listing lines together; so replies and listings are
// read as bytes, a zero standing as a blank.
std::string ChunkText(const char* bytes, int count);

} // namespace pelmora
