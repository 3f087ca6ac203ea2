#include "net/socket_table.h"

#include <QSocketNotifier>

#include <unordered_map>

namespace pelmora {

TSocketRecord::TSocketRecord() = default;
TSocketRecord::~TSocketRecord() = default;

namespace {

std::unordered_map<TSocket, std::unique_ptr<TSocketRecord>>& Sockets() {
    static std::unordered_map<TSocket, std::unique_ptr<TSocketRecord>> sockets;
    return sockets;
}

TSocket nextHandle = 1;

} // namespace

TSocket AddSocket(int fd) {
    // Handles are not reused, so a notification still queued for a closed socket
    // cannot be taken for one of a newer socket.
    TSocket handle = nextHandle++;
    while (handle == INVALID_SOCKET || handle == 0 || Sockets().count(handle) != 0)
        handle = nextHandle++;
    auto record = std::make_unique<TSocketRecord>();
    record->fd = fd;
    Sockets().emplace(handle, std::move(record));
    return handle;
}

TSocketRecord* FindSocket(TSocket handle) {
    const auto it = Sockets().find(handle);
    return it == Sockets().end() ? nullptr : it->second.get();
}

void RemoveSocket(TSocket handle) {
    Sockets().erase(handle);
}

int SocketCount() {
    return static_cast<int>(Sockets().size());
}

} // namespace pelmora
