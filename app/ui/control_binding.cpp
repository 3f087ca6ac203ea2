#include "app/ui/control_binding.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimer>
#include <algorithm>

#include <memory>

namespace pelmora::ui {

namespace {

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

// A button's caption with its Alt key. The letters are chosen so that no two controls
// that can be on screen together share one (the page tabs take T, E, P, O, L and I).
QString ButtonText(const std::string& caption) {
    static const std::pair<const char*, const char*> mnemonics[] = {
        {"Connect", "&Connect"},
        {"Disconnect", "&Disconnect"},
        {"Compare", "Co&mpare"},
        {"Update", "&Update"},
        {"Stop", "&Stop"},
        {"Refresh", "&Refresh"},
        {"Change", "C&hange"},
        {"Load directory", "Load &directory"},
        {"Update remote FTP", "Update remote &FTP"},
        {"Exit pelmora when complete", "E&xit pelmora when complete"},
        {"Delete Remote Files", "Delete Remote File&s"},
        {"Use Firewall", "Use Fire&wall"},
        {"New", "&New"},
        {"Rename", "Ren&ame"},
        {"Delete", "&Delete"},
        {"Keep the password in the desktop's keyring",
         "&Keep the password in the desktop's keyring"},
    };
    for (const auto& [plain, marked] : mnemonics)
        if (caption == plain)
            return QString::fromLatin1(marked);
    return Text(caption);
}

template <typename W, typename Update>
void Follow(TControl& model, W* widget, Update update) {
    QPointer<W> guard(widget);
    auto apply = [guard, &model, update] {
        if (!guard)
            return;
        guard->setVisible(model.Visible());
        guard->setEnabled(model.Enabled());
        update(guard.data());
    };
    apply();
    model.Subscribe(apply);
}

// Applies a model to its widget no more often than every `intervalMs`: the first
// change after a quiet spell at once, later ones when the interval has passed.
template <typename W, typename Update>
void FollowThrottled(TControl& model, W* widget, int intervalMs, Update update) {
    struct TState {
        QElapsedTimer sinceApplied;
        QTimer pending;
    };
    auto state = std::make_shared<TState>();
    state->pending.setSingleShot(true);
    QPointer<W> guard(widget);
    auto apply = [guard, &model, update, state] {
        state->pending.stop();
        state->sinceApplied.start();
        if (!guard)
            return;
        guard->setVisible(model.Visible());
        guard->setEnabled(model.Enabled());
        update(guard.data());
    };
    QObject::connect(&state->pending, &QTimer::timeout, widget, apply);
    apply();
    model.Subscribe([guard, &model, intervalMs, state, apply] {
        if (!guard)
            return;
        const bool stateChanged =
            guard->isHidden() == model.Visible() || guard->isEnabled() != model.Enabled();
        const qint64 waited = state->sinceApplied.elapsed();
        if (stateChanged || waited >= intervalMs) {
            apply();
            return;
        }
        if (!state->pending.isActive())
            state->pending.start(static_cast<int>(intervalMs - waited));
    });
}

// Keeps the memo's lines in a widget while it is shown; a pane that is hidden catches
// up when it appears.
class TMemoFollower final : public QObject {
public:
    TMemoFollower(TMemo& model, QPlainTextEdit* memo) : QObject(memo), model_(model), memo_(memo) {
        memo->installEventFilter(this);
    }
    void Sync() {
        if (!memo_->isVisible())
            return;
        // Counted from the last Clear, dropped lines included: the widget drops its
        // oldest lines at the same limit.
        if (model_.Clears() != clears_) {
            memo_->clear();
            clears_ = model_.Clears();
            shown_ = 0;
        }
        const auto& lines = model_.Lines();
        const size_t first = model_.Dropped();
        for (shown_ = std::max(shown_, first); shown_ < first + lines.size(); ++shown_)
            memo_->appendPlainText(QString::fromStdString(lines[shown_ - first]));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == memo_ && event->type() == QEvent::Show)
            Sync();
        return false;
    }

private:
    TMemo& model_;
    QPlainTextEdit* memo_;
    size_t shown_ = 0;
    size_t clears_ = 0;
};

} // namespace

void BindThrottled(TCaptionControl& model, QLabel* label, int intervalMs) {
    FollowThrottled(model, label, intervalMs,
                    [&model](QLabel* l) { l->setText(Text(model.Caption())); });
}

void BindThrottled(TProgressBar& model, QProgressBar* bar, int intervalMs) {
    bar->setRange(0, 100);
    FollowThrottled(model, bar, intervalMs,
                    [&model](QProgressBar* b) { b->setValue(model.Position()); });
}

void Bind(TMemo& model, QPlainTextEdit* memo) {
    memo->setReadOnly(true);
    if (model.MaxLines() > 0)
        memo->setMaximumBlockCount(static_cast<int>(model.MaxLines()));
    auto* follower = new TMemoFollower(model, memo);
    QPointer<TMemoFollower> guard(follower);
    BindState(model, memo);
    model.Subscribe([guard] {
        if (guard)
            guard->Sync();
    });
}

void BindState(TControl& model, QWidget* widget) {
    Follow(model, widget, [](QWidget*) {});
}

void Bind(TCaptionControl& model, QLabel* label) {
    Follow(model, label, [&model](QLabel* l) { l->setText(Text(model.Caption())); });
}

void Bind(TCaptionControl& model, QAbstractButton* button) {
    Follow(model, button,
           [&model](QAbstractButton* b) { b->setText(ButtonText(model.Caption())); });
}

void Bind(TCheckBox& model, QCheckBox* box) {
    Follow(model, box, [&model](QCheckBox* b) {
        b->setText(ButtonText(model.Caption()));
        b->setChecked(model.Checked());
    });
    QObject::connect(box, &QCheckBox::toggled, [&model](bool on) { model.SetChecked(on); });
}

void Bind(TProgressBar& model, QProgressBar* bar) {
    bar->setRange(0, 100);
    Follow(model, bar, [&model](QProgressBar* b) { b->setValue(model.Position()); });
}

void Bind(TEdit& model, QLineEdit* edit) {
    Follow(model, edit, [&model](QLineEdit* e) {
        if (e->text() != Text(model.Text()))
            e->setText(Text(model.Text()));
    });
    QObject::connect(edit, &QLineEdit::textEdited,
                     [&model](const QString& t) { model.SetText(t.toStdString()); });
}

void Bind(TSpinEdit& model, QSpinBox* spin) {
    spin->setRange(static_cast<int>(model.MinValue()), static_cast<int>(model.MaxValue()));
    Follow(model, spin, [&model](QSpinBox* s) {
        if (s->value() != model.Value())
            s->setValue(static_cast<int>(model.Value()));
    });
    QObject::connect(spin, &QSpinBox::valueChanged, [&model](int v) { model.SetValue(v); });
}

void Bind(TEdit& model, QComboBox* combo) {
    Follow(model, combo, [&model](QComboBox* c) {
        const int index = c->findText(Text(model.Text()), Qt::MatchFixedString);
        c->setCurrentIndex(index < 0 ? 0 : index);
    });
    QObject::connect(combo, &QComboBox::activated, [&model, combo](int index) {
        model.SetText(combo->itemText(index).toStdString());
    });
}

} // namespace pelmora::ui
