#pragma once

#include "toolkit/controls.h"

class QLabel;
class QAbstractButton;
class QProgressBar;
class QLineEdit;
class QSpinBox;
class QCheckBox;
class QWidget;

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
// Visibility and enabled state only.
void BindState(TControl& model, QWidget* widget);

} // namespace pelmora::ui
