#include "net/async_select.h"

#include "net/sock_errors.h"

#include <QSocketNotifier>

#include <cerrno>
#include <sys/socket.h>

namespace pelmora {

namespace {

void Post(TSocket handle, const TSocketRecord& record, int32_t event, int32_t error) {
    if ((record.events & event) == 0)
        return;
    // A window destroyed meanwhile drops the message.
    PostMessage(record.window, record.msg, handle, WSAMakeSelectReply(event, error));
}

void OnReadable(TSocket handle);
void OnWritable(TSocket handle);

// Enables the read watcher exactly when there is something it may report.
void ArmReader(TSocket handle, TSocketRecord& record) {
    bool wanted = false;
    if (record.window != NoWindow && !record.readPending && !record.closeReported) {
        if (record.listening)
            wanted = (record.events & FD_ACCEPT) != 0;
        else if (record.connected)
            wanted = (record.events & (FD_READ | FD_CLOSE)) != 0;
    }
    if (!wanted) {
        if (record.reader)
            record.reader->setEnabled(false);
        return;
    }
    if (!record.reader) {
        record.reader = std::make_unique<QSocketNotifier>(record.fd, QSocketNotifier::Read);
        QObject::connect(record.reader.get(), &QSocketNotifier::activated,
                         [handle] { OnReadable(handle); });
    }
    record.reader->setEnabled(true);
}

void ArmWriter(TSocket handle, TSocketRecord& record) {
    const bool wanted = record.window != NoWindow && (record.connecting || record.writeWanted);
    if (!wanted) {
        if (record.writer)
            record.writer->setEnabled(false);
        return;
    }
    if (!record.writer) {
        record.writer = std::make_unique<QSocketNotifier>(record.fd, QSocketNotifier::Write);
        QObject::connect(record.writer.get(), &QSocketNotifier::activated,
                         [handle] { OnWritable(handle); });
    }
    record.writer->setEnabled(true);
}

void OnReadable(TSocket handle) {
    TSocketRecord* record = FindSocket(handle);
    if (record == nullptr)
        return;
    if (record->listening) {
        record->readPending = true;
        ArmReader(handle, *record);
        Post(handle, *record, FD_ACCEPT, 0);
        return;
    }
    // Readable means data, the peer's orderly close, or an error; a peek tells which
    // without taking anything.
    char probe;
    const ssize_t n = ::recv(record->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        record->readPending = true;
        ArmReader(handle, *record);
        Post(handle, *record, FD_READ, 0);
    } else if (n == 0) {
        record->closeReported = true;
        ArmReader(handle, *record);
        Post(handle, *record, FD_CLOSE, 0);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        const int32_t error = WinsockErrorFromErrno(errno);
        record->closeReported = true;
        ArmReader(handle, *record);
        Post(handle, *record, FD_CLOSE, error);
    }
}

void OnWritable(TSocket handle) {
    TSocketRecord* record = FindSocket(handle);
    if (record == nullptr)
        return;
    if (record->connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(record->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        record->connecting = false;
        record->connected = error == 0;
        record->writeWanted = false;
        ArmWriter(handle, *record);
        ArmReader(handle, *record);
        Post(handle, *record, FD_CONNECT, error == 0 ? 0 : WinsockErrorFromErrno(error));
        if (error == 0)
            Post(handle, *record, FD_WRITE, 0);
        return;
    }
    record->writeWanted = false;
    ArmWriter(handle, *record);
    Post(handle, *record, FD_WRITE, 0);
}

} // namespace

void SelectEvents(TSocket handle, TSocketRecord& record, HWND window, uint32_t msg,
                  int32_t events) {
    record.window = events == 0 ? NoWindow : window;
    record.msg = msg;
    record.events = events;
    if (record.window == NoWindow) {
        record.reader.reset();
        record.writer.reset();
        return;
    }
    // A new selection reports afresh what holds now: waiting data, a waiting
    // connection, and room to write on a connected socket.
    record.readPending = false;
    record.writeWanted = record.connected;
    ArmReader(handle, record);
    ArmWriter(handle, record);
}

void InheritSelection(TSocket handle, TSocketRecord& record, const TSocketRecord& listener) {
    record.connected = true;
    if (listener.window == NoWindow)
        return;
    SelectEvents(handle, record, listener.window, listener.msg, listener.events);
}

void AfterConnectStarted(TSocket handle, TSocketRecord& record) {
    record.connecting = true;
    record.connected = false;
    ArmWriter(handle, record);
    ArmReader(handle, record);
}

void AfterRecv(TSocket handle, TSocketRecord& record) {
    record.readPending = false;
    ArmReader(handle, record);
}

void AfterAccept(TSocket handle, TSocketRecord& record) {
    record.readPending = false;
    ArmReader(handle, record);
}

void AfterListen(TSocket handle, TSocketRecord& record) {
    record.listening = true;
    record.readPending = false;
    ArmReader(handle, record);
}

void AfterSendBlocked(TSocket handle, TSocketRecord& record) {
    record.writeWanted = true;
    ArmWriter(handle, record);
}

} // namespace pelmora
