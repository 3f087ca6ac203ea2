#pragma once

#include "toolkit/controls.h"

class QLabel;
class QAbstractButton;
class QProgressBar;
class QLineEdit;
class QSpinBox;
class QComboBox;
class QCheckBox;
class QWidget;
class QPlainTextEdit;

namespace pelmora::ui {

// Each binding shows a control model in a widget and keeps it up to date; the input
// widgets also write what the user does back into the model. A binding outlives
// neither: a widget that is gone is simply no longer updated.
void Bind(TCaptionControl& model, QLabel* label);
void Bind(TCaptionControl& model, QAbstractButton* button);
void Bind(TCheckBox& model, QCheckBox* box);
void Bind(TProgressBar& model, QProgressBar* bar);
void Bind(TEdit& model, QLineEdit* edit);
void Bind(TSpinEdit& model, QSpinBox* spin);
// The model's text is one of the combo's items (without regard to case); a text that is
// none of them shows the first.
void Bind(TEdit& model, QComboBox* combo);
// Texts that change with every block of a transfer: the widget follows at most every
// `intervalMs`, and always ends on the model's last value. Showing or hiding is at once.
void BindThrottled(TCaptionControl& model, QLabel* label, int intervalMs);
void BindThrottled(TProgressBar& model, QProgressBar* bar, int intervalMs);
// The memo's lines are copied into the widget only while it is visible: a hidden pane
// costs nothing however much is written to it.
void Bind(TMemo& model, QPlainTextEdit* memo);
// Visibility and enabled state only.
void BindState(TControl& model, QWidget* widget);

} // namespace pelmora::ui
