#include "toolkit/controls.h"

#include <algorithm>
#include <charconv>

namespace pelmora {

void TControl::Changed() {
    for (const auto& listener : listeners_)
        listener();
}

void TControl::SetVisible(bool visible) {
    if (visible_ == visible)
        return;
    visible_ = visible;
    Changed();
}

void TControl::SetEnabled(bool enabled) {
    if (enabled_ == enabled)
        return;
    enabled_ = enabled;
    Changed();
}

void TCaptionControl::SetCaption(const std::string& caption) {
    if (caption_ == caption)
        return;
    caption_ = caption;
    Changed();
}

void TCheckBox::SetChecked(bool checked) {
    if (checked_ == checked)
        return;
    checked_ = checked;
    Changed();
}

void TEdit::SetText(const std::string& text) {
    if (text_ == text)
        return;
    text_ = text;
    Changed();
}

TSpinEdit::TSpinEdit(long minValue, long maxValue, long value)
    : TEdit(std::to_string(std::clamp(value, minValue, maxValue))), min_(minValue), max_(maxValue) {
}

long TSpinEdit::Value() const {
    const std::string& text = Text();
    const char* first = text.data();
    const char* last = first + text.size();
    while (first != last && *first == ' ')
        ++first;
    long value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (end == first)
        return min_;
    for (const char* p = end; p != last; ++p)
        if (*p != ' ')
            return min_;
    if (ec == std::errc::result_out_of_range)
        return *first == '-' ? min_ : max_;
    return std::clamp(value, min_, max_);
}

void TSpinEdit::SetValue(long value) {
    SetText(std::to_string(std::clamp(value, min_, max_)));
}

void TProgressBar::SetPosition(int position) {
    position = std::clamp(position, 0, 100);
    if (position_ == position)
        return;
    position_ = position;
    Changed();
}

void TMemo::Add(const std::string& line) {
    lines_.push_back(line);
    if (max_ > 0 && lines_.size() > max_) {
        lines_.erase(lines_.begin());
        ++dropped_;
    }
    Changed();
}

void TMemo::Clear() {
    lines_.clear();
    dropped_ = 0;
    ++clears_;
    Changed();
}

} // namespace pelmora
