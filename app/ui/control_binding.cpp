#include "app/ui/control_binding.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QSpinBox>

namespace pelmora::ui {

namespace {

QString Text(const std::string& s) {
    return QString::fromStdString(s);
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

} // namespace

void BindState(TControl& model, QWidget* widget) {
    Follow(model, widget, [](QWidget*) {});
}

void Bind(TCaptionControl& model, QLabel* label) {
    Follow(model, label, [&model](QLabel* l) { l->setText(Text(model.Caption())); });
}

void Bind(TCaptionControl& model, QAbstractButton* button) {
    Follow(model, button, [&model](QAbstractButton* b) { b->setText(Text(model.Caption())); });
}

void Bind(TCheckBox& model, QCheckBox* box) {
    Follow(model, box, [&model](QCheckBox* b) {
        b->setText(Text(model.Caption()));
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

} // namespace pelmora::ui
