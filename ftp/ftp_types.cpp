#include "ftp/ftp_types.h"

#include <array>

namespace pelmora {

const char* FtpInfoName(FtpInfo code) {
    // In the order of the ordinals.
    static constexpr std::array<const char*, ftpListingLine + 1> names = {
        "Available",       "Connected",         "Disconnected",    "GreetingError",
        "ReplyLine",       "CommandSent",       "HostNotFound",    "Busy",
        "TransactionBusy", "WinsockNotStarted", "NoServerName",    "SocketError",
        "SocketReadError", "SocketWriteError",  "UnexpectedReply", "AccessDenied",
        "TransferAborted", "LocalOpenError",    "LocalWriteError", "LocalReadError",
        "BadURL",          "NoRemoteFile",      "Progress",        "CommandReady",
        "TransferDone",    "ListingReady",      "LoggedIn",        "FileSize",
        "TimeOut",         "OperationFailed",   "NoError",         "ListingLine",
    };
    const auto index = static_cast<size_t>(code);
    return index < names.size() ? names[index] : "Unknown";
}

} // namespace pelmora
