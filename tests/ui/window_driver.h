#pragma once

#include "app/main_form.h"
#include "app/ui/main_window.h"
#include "tests/support/temp_tree.h"

#include <QCoreApplication>
#include <QPoint>
#include <QString>

#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace pelmora::testing {

// Lets the event loop run for `ms` milliseconds (timers, repaints, deferred work).
void Pump(int ms);

// Real mouse and key input on a widget, as the window system would deliver it.
void Click(QWidget* widget, QPoint at);
void Click(QWidget* widget);
void DoubleClick(QWidget* widget, QPoint at);
void PressKey(QWidget* widget, int key);

// A shown main window over a form of its own, with messages collected instead of shown.
class TWindowFixture {
public:
    // `localRoot` goes into Label5 before the window appears, so its activation loads it.
    explicit TWindowFixture(const std::string& localRoot = "");
    ~TWindowFixture();

    template <typename W = QWidget>
    W* Find(const char* name) const {
        return Window->findChild<W*>(QString::fromLatin1(name));
    }
    // Hands pending tree changes to the views now.
    void FlushTrees();

    TTempTree Temp;
    TForm1 Form;
    std::unique_ptr<ui::TMainWindow> Window;
    std::vector<std::string> Messages;
};

} // namespace pelmora::testing
