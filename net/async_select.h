#pragma once

// Asynchronous selection: Qt socket notifiers watch the descriptor and the library
// posts the notification message to the chosen window, re-enabled as the interface
// does it: one FD_READ until the next recv, FD_ACCEPT until the next accept, FD_WRITE
// after a connect and after a send that would block, FD_CONNECT once with the connect
// error in the high word, FD_CLOSE once and only after the buffered data was read.
// Nothing here waits or polls: the notifiers wake the event loop.

#include "net/socket_table.h"

namespace pelmora {

// WSAAsyncSelect's work on a socket already switched to non-blocking mode.
void SelectEvents(TSocket handle, TSocketRecord& record, HWND window, uint32_t msg, int32_t events);
// A socket accepted from a selecting listener selects the same events.
void InheritSelection(TSocket handle, TSocketRecord& record, const TSocketRecord& listener);

// Hooks the entry points call after the matching operation.
void AfterConnectStarted(TSocket handle, TSocketRecord& record);
void AfterRecv(TSocket handle, TSocketRecord& record);
void AfterAccept(TSocket handle, TSocketRecord& record);
void AfterListen(TSocket handle, TSocketRecord& record);
void AfterSendBlocked(TSocket handle, TSocketRecord& record);

} // namespace pelmora
