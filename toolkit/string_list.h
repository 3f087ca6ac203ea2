#pragma once

#include "toolkit/object.h"

#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// A list of text lines, each with an object beside it. A sorted list keeps its lines in
// CompareText order: setting it sorted sorts what it holds, and Add inserts in order
// (after lines that compare equal, so equal lines keep their arrival order).
// An owning list deletes its objects when lines are deleted or the list is cleared.
class TStringList {
public:
    explicit TStringList(bool sorted = false, bool ownsObjects = false)
        : sorted_(sorted), ownsObjects_(ownsObjects) {}
    TStringList(const TStringList&) = delete;
    TStringList& operator=(const TStringList&) = delete;
    ~TStringList();

    int Count() const { return static_cast<int>(lines_.size()); }
    const std::string& Strings(int index) const { return At(index).text; }
    TObject* Objects(int index) const { return At(index).object; }
    void SetString(int index, const std::string& text);
    // Takes the object out of the list without deleting it.
    TObject* Extract(int index);

    int Add(const std::string& text, TObject* object = nullptr);
    void Delete(int index);
    void Clear();

    bool Sorted() const { return sorted_; }
    void SetSorted(bool sorted);
    bool OwnsObjects() const { return ownsObjects_; }

    // The first line equal to `text` without regard to case, or -1.
    int IndexOf(std::string_view text) const;

    void Reserve(size_t n) { lines_.reserve(n); }

private:
    struct TLine {
        std::string text;
        TObject* object = nullptr;
    };
    const TLine& At(int index) const { return lines_.at(static_cast<size_t>(index)); }
    TLine& At(int index) { return lines_.at(static_cast<size_t>(index)); }

    std::vector<TLine> lines_;
    bool sorted_;
    bool ownsObjects_;
};

} // namespace pelmora
