#pragma once

#include <functional>
#include <string>

namespace pelmora {

class TObject;

// The one code set of the FTP component: what OnFtpInfo and OnFtpError carry and
// what Status and LastError hold. The ordinals are part of the interface.
enum FtpInfo {
    ftpAvailable = 0,
    ftpConnected,
    ftpDisconnected,
    ftpGreetingError,
    ftpReplyLine,
    ftpCommandSent,
    ftpHostNotFound,
    ftpBusy,
    ftpTransactionBusy,
    ftpWinsockNotStarted,
    ftpNoServerName,
    ftpSocketError,
    ftpSocketReadError,
    ftpSocketWriteError,
    ftpUnexpectedReply,
    ftpAccessDenied,
    ftpTransferAborted,
    ftpLocalOpenError,
    ftpLocalWriteError,
    ftpLocalReadError,
    ftpBadURL,
    ftpNoRemoteFile,
    ftpProgress,
    ftpCommandReady,
    ftpTransferDone,
    ftpListingReady,
    ftpLoggedIn,
    ftpFileSize,
    ftpTimeOut,
    ftpOperationFailed,
    ftpNoError,
    ftpListingLine,
};

// The code's name without its prefix ("AccessDenied"), for logs and transcripts; "Unknown"
// for a number that is no code.
const char* FtpInfoName(FtpInfo code);

enum TFTPServerType {
    ftpstDefault = 0,
    ftpstAutoDetect,
    ftpstUNIX,
    ftpstULTRIX,
    ftpstU5000,
    ftpstSINTFTPD,
    ftpstVmsMultinet,
    ftpstVmsUcx,
    ftpstMVS,
    ftpstMacFtpd,
    ftpstClix,
    ftpstQVT,
    ftpstNCSA,
    ftpstChameleon,
    ftpstVM,
    ftpstVMVPS,
};

enum TTransferType { BinaryTransfer = 0, AsciiTransfer = 1 };

enum TFtpInfoNeeded { ftpniServer = 0, ftpniUserName, ftpniPassword, ftpniAccount };

// Events are callbacks bound by their owner; an unassigned one is skipped.
using TNotifyEvent = std::function<void(TObject* sender)>;
using TFtpInfoEvent =
    std::function<void(TObject* sender, FtpInfo info, const std::string& addInfo)>;
using TFtpInfoNeededEvent =
    std::function<void(TObject* sender, TFtpInfoNeeded need, std::string& value)>;

} // namespace pelmora
