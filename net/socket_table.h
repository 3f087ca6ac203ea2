#pragma once

// Inside the socket library: what it keeps about each socket it has handed out.

#include "net/winsock_types.h"
#include "toolkit/messages.h"

#include <memory>

class QSocketNotifier;

namespace pelmora {

struct TSocketRecord {
    TSocketRecord();
    ~TSocketRecord();
    TSocketRecord(const TSocketRecord&) = delete;
    TSocketRecord& operator=(const TSocketRecord&) = delete;

    int fd = -1;
    bool nonBlocking = false;
    bool listening = false;
    bool connecting = false; // a non-blocking connect is under way
    bool connected = false;  // connect completed, or accepted

    // Asynchronous selection, see async_select.h.
    HWND window = NoWindow;
    uint32_t msg = 0;
    int32_t events = 0;
    bool readPending = false;   // FD_READ or FD_ACCEPT reported, no recv or accept since
    bool writeWanted = false;   // FD_WRITE due once the socket can take data
    bool closeReported = false; // FD_CLOSE posted; nothing more is read from the socket
    std::unique_ptr<QSocketNotifier> reader;
    std::unique_ptr<QSocketNotifier> writer;
};

// Registers an open descriptor and returns the handle for it.
TSocket AddSocket(int fd);
// The record of a handle, or nullptr.
TSocketRecord* FindSocket(TSocket handle);
// Forgets the handle; its notifiers go with it. The descriptor is not closed here.
void RemoveSocket(TSocket handle);
int SocketCount();

} // namespace pelmora
