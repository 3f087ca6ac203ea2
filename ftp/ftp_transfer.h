#pragma once

// The data side of TFtp; for the component's own files only.

#include "ftp/ftp.h"
#include "ftp/line_splitter.h"
#include "ftp/listing_parser.h"

#include <memory>

namespace pelmora {

// One listing or one upload over the data connection. It owns what the data side needs:
// the one connection the server makes to our listener (or that we make to the server's
// passive port), the local file of an upload, the lines and the parser of a listing, the
// counters. It ends when both of its ends have come, in either order: the server's final
// reply to LIST or STOR, and the end of the data connection. Then it tells its TFtp, once
// (TransferEnded).
//
// Its phase says where it stands; it only moves forward, each step traced by name
// ("Transfer VerbSent -> DataEnded"). Beside it stand the facts that come in either order
// with the phase's steps, so no step can hold them: the server's preliminary reply and
// its final one (a server may end the data connection before answering, or answer before
// it has closed), whether the server began a listing, and what the data connection is
// (over TLS or not, writable now or not).
//
// A cancelled transfer tells nothing and no longer touches the data component, whose
// next connection may already belong to the next transfer: whoever cancelled it has
// ended the operation. A loop of ours that is still running below a handler (the send
// loop of an upload, the reading of a listing) finds out through Cancelled and stops.
class TFtp::TTransfer : public std::enable_shared_from_this<TFtp::TTransfer> {
public:
    enum class TKind { Listing, Upload };
    enum class TPhase : uint8_t {
        Preparing,  // the data commands run (TYPE, EPSV, PASV or PORT); no verb yet
        VerbSent,   // LIST or STOR has gone out
        Sending,    // the send loop of an upload runs
        PeerClosed, // the server closed the upload's connection under the send loop
        DataEnded,  // our side of the data connection has ended
        DataFailed, // a listing's data side ended on an error of ours
        Reported,   // both ends have come, and the TFtp has been told
        Cancelled,  // whoever cancelled it has ended the operation
    };
    static const char* PhaseName(TPhase phase);

    // A listing.
    explicit TTransfer(TFtp& ftp);
    // An upload takes over the open `localFile` and closes it when its data side ends.
    TTransfer(TFtp& ftp, int localFile, std::string localPath, std::string remotePath, char type);
    ~TTransfer();

    TKind Kind() const { return kind_; }
    // The representation type it goes in: 'A' for a listing, 'A' or 'I' for an upload.
    char Type() const { return type_; }
    const std::string& RemotePath() const { return remotePath_; }
    int32_t Slot() const { return slot_; }
    int64_t Bytes() const { return bytes_; }

    // The control side, as the replies come.
    // Listening, before PORT goes out: a listing starts afresh here.
    void Arm();
    // LIST or STOR has gone out.
    void VerbSent();
    // A preliminary reply to the verb: an upload whose connection is there starts now.
    void ServerStarted();
    // The final positive reply to the verb.
    void ControlEnded();
    // An upload whose STOR has had no preliminary reply yet: none of the file has gone.
    bool AwaitsPreliminary() const {
        return kind_ == TKind::Upload && !answered_ && phase_ != TPhase::Cancelled;
    }
    // Ends such an upload on the server's final positive reply when the file is empty
    // (nothing was to be sent); false, and nothing done, when it is not.
    bool EndEmptyUpload();
    // A negative reply to the verb that the transfer takes as an end of its own, true
    // then; false when the refusal fails the operation.
    bool TakesRefusal(const std::string& line);
    void Cancel();

    // The data component's notifications.
    void Accepted(int32_t slot);
    void Readable(int32_t slot);
    void Closed(int32_t slot);
    void Writable(int32_t) { writable_ = true; }

private:
    // Moves the phase forward (never back, and never out of Cancelled), traced.
    void SetPhase(TPhase next);
    bool Cancelled() const { return phase_ == TPhase::Cancelled; }
    // Our side of the data connection has ended, and the transfer waits for its report.
    bool DataSideEnded() const {
        return phase_ == TPhase::DataEnded || phase_ == TPhase::DataFailed;
    }
    // Ends a transfer that the server ended before any data: told as `done`.
    void EndWithoutData(FtpInfo done, const std::string& text);
    // Only the server may connect to our data port, and only once per transfer.
    bool TakeConnection(int32_t slot);
    // The data connection, whether the server made it (a slot of the data component) or
    // we did (PassiveDataSlot).
    int32_t Receive(char* buffer, int32_t capacity);
    int32_t Send(int32_t slot, const char* buffer, int32_t count);
    // The bytes on the wire, whatever TLS makes of them.
    int32_t RawReceive(char* buffer, int32_t capacity);
    int32_t RawSend(int32_t slot, const char* buffer, int32_t count);

    // TLS on the data connection, when the session protects its data: begun once the
    // connection is there and the server has answered the verb with its preliminary
    // reply.
    void StartTlsWhenDue();
    void StartTls();
    // Waits, messages pumped, for the handshake. Raises ESockError when it fails.
    void AwaitTls();
    // Takes what the socket holds into the TLS stream, answers the handshake and sends
    // what cipher text it can; true once the handshake is done. Raises ESockError when
    // the connection or the handshake broke.
    bool PumpTls();
    // Sends the close notice and every byte still queued; false when that failed.
    bool FinishTls();
    bool Running() const { return phase_ < TPhase::DataEnded; }
    void DataEnded();
    void ReportIfBothEnded();
    // Closes our end of the data connection, the listener and the local file.
    void CloseDataSide();

    // Listing.
    // False when nothing more came or the listing has ended.
    bool ReadListing();
    bool AddListingLine(const std::string& line);
    void EndListing();
    void FailListing(FtpInfo code, const std::string& reason);

    // Upload.
    // Starts the send loop once the connection is there and the server has answered STOR
    // with its preliminary reply.
    void SendFileWhenDue();
    void SendFile();
    // Our end says it has sent all; the socket stays open for the server's answer.
    void HalfClose();
    // The code the upload failed with, ftpNoError when it did not.
    FtpInfo SendBlocks(int64_t size);
    bool SendAll(const char* buffer, int32_t count);
    void EndUpload(FtpInfo failure);

    TFtp& ftp_;
    TKind kind_;
    int localFile_;
    std::string localPath_;
    std::string remotePath_;
    char type_;
    TListingParser parser_;
    TLineSplitter lines_{TLineSplitter::DefaultCap, true};
    int32_t slot_ = 0;
    int64_t bytes_ = 0;
    TPhase phase_ = TPhase::Preparing;
    // The server's preliminary reply to the verb came. The server may end the data
    // connection before it: an upload that ended so has sent nothing the server took.
    bool answered_ = false;
    // A listing: the server began it (its preliminary reply, or its connection to our
    // port); a refusal after that is a failure, not an empty directory. Not `answered_`,
    // since TLS on the data connection still waits for the reply.
    bool started_ = false;
    // The server's final reply to the verb came, before or after our side ended.
    bool controlEnded_ = false;
    bool protected_ = false; // the data connection is to run over TLS
    bool writable_ = false;  // the socket said it takes more
    std::unique_ptr<TTlsStream> tls_;
    std::string tlsOut_; // cipher text not yet taken by the socket
};

} // namespace pelmora
