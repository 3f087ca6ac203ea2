#include "ftp/line_splitter.h"

namespace pelmora {

size_t TLineSplitter::FindEnd(size_t from, size_t& length) const {
    if (!bareLf_) {
        length = 2;
        return buffer_.find("\r\n", from);
    }
    const size_t lf = buffer_.find('\n', from);
    if (lf == std::string::npos)
        return lf;
    if (lf > start_ && buffer_[lf - 1] == '\r') {
        length = 2;
        return lf - 1;
    }
    length = 1;
    return lf;
}

bool TLineSplitter::Feed(std::string_view piece) {
    if (overflowed_)
        return false;
    // Drop the lines already taken before the buffer grows again.
    if (start_ > 0) {
        buffer_.erase(0, start_);
        scanned_ -= start_;
        start_ = 0;
    }
    buffer_.append(piece);
    const size_t lastEnd = bareLf_ ? buffer_.rfind('\n') : buffer_.rfind("\r\n");
    const size_t endLength = bareLf_ ? 1 : 2;
    const size_t tail =
        lastEnd == std::string::npos ? buffer_.size() : buffer_.size() - (lastEnd + endLength);
    if (tail > cap_) {
        overflowed_ = true;
        buffer_.clear();
        buffer_.shrink_to_fit();
        start_ = scanned_ = 0;
        return false;
    }
    return true;
}

bool TLineSplitter::NextLine(std::string& line) {
    const size_t from = scanned_ > start_ ? scanned_ : start_;
    size_t length = 0;
    const size_t end = FindEnd(from, length);
    if (end == std::string::npos) {
        // A CR at the very end may still be followed by its LF.
        scanned_ = buffer_.empty() ? 0 : buffer_.size() - 1;
        if (scanned_ < start_)
            scanned_ = start_;
        return false;
    }
    line.assign(buffer_, start_, end - start_);
    start_ = end + length;
    scanned_ = start_;
    return true;
}

std::string_view TLineSplitter::Pending() const {
    return std::string_view(buffer_).substr(start_ < buffer_.size() ? start_ : buffer_.size());
}

bool TLineSplitter::TakeLastLine(std::string& line) {
    const std::string_view rest = Pending();
    if (rest.empty())
        return false;
    line.assign(rest);
    buffer_.clear();
    start_ = scanned_ = 0;
    return true;
}

void TLineSplitter::Clear() {
    buffer_.clear();
    start_ = scanned_ = 0;
    overflowed_ = false;
}

std::string ChunkText(const char* bytes, int count) {
    std::string text(bytes, static_cast<size_t>(count > 0 ? count : 0));
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

} // namespace pelmora
