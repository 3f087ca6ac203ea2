#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pelmora {

// The state of one control of a window, kept apart from any widget so the logic runs
// and is tested without a display. A view (or the headless printer) subscribes to hear
// of every change.
class TControl {
public:
    using TListener = std::function<void()>;

    TControl() = default;
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;
    virtual ~TControl() = default;

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    void Subscribe(TListener listener) { listeners_.push_back(std::move(listener)); }

protected:
    void Changed();

private:
    bool visible_ = true;
    bool enabled_ = true;
    std::vector<TListener> listeners_;
};

// A control with a caption: labels, buttons, panels, check boxes.
class TCaptionControl : public TControl {
public:
    explicit TCaptionControl(std::string caption = {}) : caption_(std::move(caption)) {}
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);

private:
    std::string caption_;
};

using TLabel = TCaptionControl;
using TButton = TCaptionControl;
using TPanel = TCaptionControl;

class TCheckBox : public TCaptionControl {
public:
    explicit TCheckBox(std::string caption = {}, bool checked = false)
        : TCaptionControl(std::move(caption)), checked_(checked) {}
    bool Checked() const { return checked_; }
    void SetChecked(bool checked);

private:
    bool checked_;
};

class TEdit : public TControl {
public:
    explicit TEdit(std::string text = {}) : text_(std::move(text)) {}
    const std::string& Text() const { return text_; }
    void SetText(const std::string& text);

private:
    std::string text_;
};

// A spin edit holds its value as text; reading it clamps to the range, and a text that
// is not a number reads as the minimum.
class TSpinEdit : public TEdit {
public:
    TSpinEdit(long minValue, long maxValue, long value);
    long MinValue() const { return min_; }
    long MaxValue() const { return max_; }
    long Value() const;
    void SetValue(long value);

private:
    long min_;
    long max_;
};

class TProgressBar : public TControl {
public:
    int Position() const { return position_; }
    void SetPosition(int position);

private:
    int position_ = 0;
};

// Lines of text, the newest last. With a limit, the oldest lines are dropped past it, so
// a long session keeps a bounded log.
class TMemo : public TControl {
public:
    // 0: no limit.
    explicit TMemo(size_t maxLines = 0) : max_(maxLines) {}
    const std::vector<std::string>& Lines() const { return lines_; }
    size_t MaxLines() const { return max_; }
    // Lines dropped from the front since the last Clear: Lines()[0] is line Dropped().
    size_t Dropped() const { return dropped_; }
    // Counts the Clears, so a view that missed one still starts over.
    size_t Clears() const { return clears_; }
    void Add(const std::string& line);
    void Clear();

private:
    std::vector<std::string> lines_;
    size_t max_;
    size_t dropped_ = 0;
    size_t clears_ = 0;
};

} // namespace pelmora
