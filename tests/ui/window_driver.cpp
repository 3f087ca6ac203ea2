#include "tests/ui/window_driver.h"

#include "app/ui/tree_adapter.h"
#include "tests/support/ftp_script_server.h"
#include "toolkit/services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <ctime>

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

void PostClick(QWidget* widget) {
    const QPoint at = widget->rect().center();
    for (auto [type, buttons] : {std::pair{QEvent::MouseButtonPress, Qt::LeftButton},
                                 std::pair{QEvent::MouseButtonRelease, Qt::NoButton}})
        QCoreApplication::postEvent(
            widget, new QMouseEvent(type, QPointF(at), QPointF(widget->mapToGlobal(at)),
                                    Qt::LeftButton, buttons, Qt::NoModifier));
}

TWindowFixture::TWindowFixture(const std::string& localRoot) {
    Form.SetLocalRoot(localRoot);
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

std::string Listing(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines)
        text += l + "\r\n";
    return text;
}

std::string FileLine(const std::string& name, long long size, const std::string& date) {
    return "-rw-r--r--   1 web  web  " + std::to_string(size) + " " + date + " " + name;
}

std::string RecentListedDate(int secondsAgo) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t when = std::time(nullptr) - secondsAgo;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::snprintf(text, sizeof text, "%s %2d %02d:%02d", months[utc.tm_mon], utc.tm_mday,
                  utc.tm_hour, utc.tm_min);
    return text;
}

void UseScriptServer(TWindowFixture& f, const TFtpScriptServer& server, bool load, bool compare) {
    f.Form.setup.serverEdit.SetText("127.0.0.1");
    f.Form.setup.userEdit.SetText("web");
    f.Form.setup.passwordEdit.SetText("pw");
    f.Form.setup.ftpPortSpin.SetValue(server.Port());
    f.Form.remoteRootEdit.SetText("/");
    f.Form.timeOutSpin.SetValue(5);
    f.Form.onConnect.loadOnConnectCheck.SetChecked(load);
    f.Form.onConnect.compareOnConnectCheck.SetChecked(compare);
    f.Form.onConnect.updateOnConnectCheck.SetChecked(false);
}

struct TConfirmAnswer::TPoll {
    QTimer timer;
};

TConfirmAnswer::TConfirmAnswer(bool accept) : poll_(std::make_unique<TPoll>()) {
    QObject::connect(&poll_->timer, &QTimer::timeout, [this, accept] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box->objectName() != "confirmDeletes")
            return;
        appeared_ = true;
        text_ = box->text();
        list_ = box->detailedText();
        QAbstractButton* answer =
            accept ? box->findChild<QAbstractButton*>("confirmUpdate")
                   : static_cast<QAbstractButton*>(box->button(QMessageBox::Cancel));
        answer->click();
    });
    poll_->timer.start(10);
}

TConfirmAnswer::~TConfirmAnswer() = default;

std::ostream& operator<<(std::ostream& os, const TButtons& b) {
    return os << "connect " << b.connect << " compare " << b.compare << " update " << b.update
              << " stop " << b.stop << " refresh " << b.refresh << " change " << b.change;
}

TButtons Enabled(const TWindowFixture& f) {
    auto on = [&](const char* name) { return f.Find(name)->isEnabled(); };
    return {on("connectBtn"), on("compareBtn"), on("updateBtn"),
            on("stopBtn"),    on("refreshBtn"), on("changeLocalBtn")};
}

} // namespace pelmora::testing
