#include "tests/ui/window_driver.h"

#include "app/ui/tree_adapter.h"
#include "toolkit/services.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>

// The window tests need widgets, so this program runs under a QApplication.
std::unique_ptr<QCoreApplication> MakeTestApplication(int& argc, char** argv) {
    return std::make_unique<QApplication>(argc, argv);
}

namespace pelmora::testing {

void Pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

namespace {

void SendMouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(at), QPointF(widget->mapToGlobal(at)), Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

} // namespace

void Click(QWidget* widget, QPoint at) {
    SendMouse(widget, QEvent::MouseButtonPress, at, Qt::LeftButton);
    SendMouse(widget, QEvent::MouseButtonRelease, at, Qt::NoButton);
    QCoreApplication::processEvents();
}

void Click(QWidget* widget) {
    Click(widget, widget->rect().center());
}

void DoubleClick(QWidget* widget, QPoint at) {
    Click(widget, at);
    SendMouse(widget, QEvent::MouseButtonDblClick, at, Qt::LeftButton);
    SendMouse(widget, QEvent::MouseButtonRelease, at, Qt::NoButton);
    QCoreApplication::processEvents();
}

void PressKey(QWidget* widget, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

TWindowFixture::TWindowFixture(const std::string& localRoot) {
    Form.Label5.SetCaption(localRoot);
    Window = std::make_unique<ui::TMainWindow>(Form);
    Services().ShowMessage = [this](const std::string& text) { Messages.push_back(text); };
    Window->show();
    Pump(20); // the activation runs just after the window appears
}

TWindowFixture::~TWindowFixture() {
    Window.reset();
}

void TWindowFixture::FlushTrees() {
    Window->LocalModel()->Flush();
    Window->RemoteModel()->Flush();
    QCoreApplication::processEvents();
}

} // namespace pelmora::testing
