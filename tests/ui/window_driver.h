#pragma once

#include "app/main_form.h"
#include "app/ui/main_window.h"
#include "sync/ftp_session.h"
#include "sync/protocol_session.h"
#include "tests/support/temp_tree.h"

#include <QCoreApplication>
#include <QPoint>
#include <QString>

#include <memory>
#include <string>
#include <vector>

#include <ostream>

class QWidget;

namespace pelmora::testing {

class TFtpScriptServer;

// The FTP component under the window's main session, for tests that watch its state.
inline const TFtp& FtpOf(const TForm1& form) {
    const auto& engine = static_cast<const TProtocolSession&>(form.engine.session);
    return static_cast<const TFtpSession&>(engine.Inner()).Component();
}

// Lets the event loop run for `ms` milliseconds (timers, repaints, deferred work).
void Pump(int ms);

// Real mouse and key input on a widget, as the window system would deliver it.
void Click(QWidget* widget, QPoint at);
void Click(QWidget* widget);
void DoubleClick(QWidget* widget, QPoint at);
void PressKey(QWidget* widget, int key);
// A click queued behind whatever runs now, as a second click of a double click is while
// the first one's handler is still busy.
void PostClick(QWidget* widget);

// A shown main window over a form of its own, with messages collected instead of shown.
class TWindowFixture {
public:
    // `localRoot` goes into localRootLabel before the window appears, so its activation loads it.
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

// Listing text for the script server: UNIX lines, each ended by CR LF.
std::string Listing(const std::vector<std::string>& lines);
std::string FileLine(const std::string& name, long long size, const std::string& date);
// The date of a listing line (UTC, to the minute, as the script server lists) for the
// minute `secondsAgo` before now: newer than a file written before that minute, and never
// in the future, which no compare takes for newer.
std::string RecentListedDate(int secondsAgo);

// The fields of the Setup page for the script server, with the after-connect steps given.
void UseScriptServer(TWindowFixture& f, const TFtpScriptServer& server, bool load, bool compare);

// Answers the confirmation before an update that deletes, once it appears: with Update
// when `accept`, else with Cancel. Keeps what it showed.
class TConfirmAnswer {
public:
    explicit TConfirmAnswer(bool accept);
    ~TConfirmAnswer();
    bool Appeared() const { return appeared_; }
    QString Text() const { return text_; }
    QString List() const { return list_; } // the steps behind "Show Details..."

private:
    struct TPoll;
    std::unique_ptr<TPoll> poll_;
    bool appeared_ = false;
    QString text_, list_;
};

// Which of the transfer buttons the window lets the user press.
struct TButtons {
    bool connect, compare, update, stop, refresh, change;
    bool operator==(const TButtons&) const = default;
};
std::ostream& operator<<(std::ostream& os, const TButtons& b);
TButtons Enabled(const TWindowFixture& f);

} // namespace pelmora::testing
