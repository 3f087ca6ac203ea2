#include "toolkit/string_list.h"

#include "toolkit/text.h"

#include <algorithm>

namespace pelmora {

TStringList::~TStringList() {
    Clear();
}

void TStringList::SetString(int index, const std::string& text) {
    At(index).text = text;
}

TObject* TStringList::Extract(int index) {
    TObject* object = At(index).object;
    At(index).object = nullptr;
    return object;
}

int TStringList::Add(const std::string& text, TObject* object) {
    if (!sorted_) {
        lines_.push_back(TLine{text, object});
        return Count() - 1;
    }
    const auto pos = std::upper_bound(
        lines_.begin(), lines_.end(), text,
        [](const std::string& t, const TLine& line) { return CompareText(t, line.text) < 0; });
    const auto at = lines_.insert(pos, TLine{text, object});
    return static_cast<int>(at - lines_.begin());
}

void TStringList::Delete(int index) {
    TLine& line = At(index);
    if (ownsObjects_)
        delete line.object;
    lines_.erase(lines_.begin() + index);
}

void TStringList::Clear() {
    if (ownsObjects_)
        for (TLine& line : lines_)
            delete line.object;
    lines_.clear();
}

void TStringList::SetSorted(bool sorted) {
    if (sorted && !sorted_)
        std::stable_sort(lines_.begin(), lines_.end(), [](const TLine& a, const TLine& b) {
            return CompareText(a.text, b.text) < 0;
        });
    sorted_ = sorted;
}

int TStringList::IndexOf(std::string_view text) const {
    for (size_t i = 0; i < lines_.size(); ++i)
        if (SameText(lines_[i].text, text))
            return static_cast<int>(i);
    return -1;
}

} // namespace pelmora
