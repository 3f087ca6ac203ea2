#include "ftp/ftp_transfer.h"

#include "net/sock_errors.h"
#include "net/socket_library.h"
#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>
#include <vector>

namespace pelmora {

namespace {

// An upload reads the file a block at a time and hands the socket as much of it as the
// socket takes per call; the event loop runs once per call, so a block this large keeps
// its cost small against the copying while Stop and the time-out still come promptly.
constexpr int32_t BlockSize = 256 * 1024;
// A listing reads what has come in one piece of this size per notification.
constexpr int32_t ListingChunk = 64 * 1024;

// Reads exactly `count` bytes unless the file ends or fails first.
ssize_t ReadFull(int fd, char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, buffer + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

TFtp::TTransfer::TTransfer(TFtp& ftp)
    : ftp_(ftp), kind_(TKind::Listing), localFile_(-1), type_('A'),
      parser_(ftp.traits_.serverType, ftp.listing_.byMlsd) {}

TFtp::TTransfer::TTransfer(TFtp& ftp, int localFile, std::string localPath, std::string remotePath,
                           char type)
    : ftp_(ftp), kind_(TKind::Upload), localFile_(localFile), localPath_(std::move(localPath)),
      remotePath_(std::move(remotePath)), type_(type),
      parser_(ftp.traits_.serverType, ftp.listing_.byMlsd) {}

const char* TFtp::TTransfer::PhaseName(TPhase phase) {
    static constexpr std::array<const char*, 8> names = {"Preparing",  "VerbSent",  "Sending",
                                                         "PeerClosed", "DataEnded", "DataFailed",
                                                         "Reported",   "Cancelled"};
    static_assert(static_cast<size_t>(TPhase::Cancelled) + 1 == names.size());
    const auto index = static_cast<size_t>(phase);
    return index < names.size() ? names[index] : "Unknown";
}

void TFtp::TTransfer::SetPhase(TPhase next) {
    if (next <= phase_)
        return;
    ftp_.Trace("Transfer", PhaseName(phase_), PhaseName(next));
    phase_ = next;
}

TFtp::TTransfer::~TTransfer() {
    if (localFile_ >= 0)
        ::close(localFile_);
}

// ---------------------------------------------------------------------------------
// Both kinds

void TFtp::TTransfer::Arm() {
    if (kind_ != TKind::Listing)
        return;
    TListingResult& listing = ftp_.listing_;
    listing.lines.Clear();
    listing.endedMidLine = false;
    listing.entries.clear();
    listing.files.Clear();
    listing.directories.Clear();
}

void TFtp::TTransfer::VerbSent() {
    SetPhase(TPhase::VerbSent);
    SendFileWhenDue();
}

void TFtp::TTransfer::ServerStarted() {
    started_ = true;
    answered_ = true;
    StartTlsWhenDue();
    SendFileWhenDue();
}

void TFtp::TTransfer::ControlEnded() {
    controlEnded_ = true;
    // The server has read the whole upload: our end of its connection may go now.
    if (kind_ == TKind::Upload && DataSideEnded())
        CloseDataSide();
    ReportIfBothEnded();
}

bool TFtp::TTransfer::TakesRefusal(const std::string& line) {
    if (kind_ != TKind::Listing)
        return false;
    if (phase_ == TPhase::DataFailed) {
        // Our own end of the listing has been reported; this answers it.
        ControlEnded();
        return true;
    }
    // Many servers answer LIST in an empty (or missing) directory with 450 or 550 at
    // once, never starting a transfer; some answer so a directory they will not list. The
    // listing ends empty, and the caller is told it was refused. Once the server has said
    // it is opening the data connection, or has connected, a refusal is a failure.
    const std::string code = line.substr(0, 3);
    if (started_ || (code != "450" && code != "550"))
        return false;
    ftp_.listing_.refused = true;
    EndWithoutData(ftpListingReady, "Listing ready");
    return true;
}

void TFtp::TTransfer::Cancel() {
    // A transfer that has reported has closed its data side already.
    if (phase_ >= TPhase::Reported)
        return;
    CloseDataSide();
    SetPhase(TPhase::Cancelled);
}

bool TFtp::TTransfer::TakeConnection(int32_t slot) {
    if (slot == PassiveDataSlot) {
        // Ours, made to the control connection's peer.
        if (slot_ != 0 || !Running())
            return false;
        slot_ = slot;
        protected_ = ftp_.traits_.dataProtected;
        ftp_.DataConnectionMade();
        StartTlsWhenDue();
        return true;
    }
    if (slot <= 0 || slot > SlotCount)
        return false;
    // Anyone else on the network who guesses the port is shown the door before a byte
    // moves.
    const bool fromServer =
        ftp_.data_->Slot(slot).Address.sin_addr == ftp_.Socket->Address.sin_addr;
    if (!fromServer || slot_ != 0 || !Running()) {
        ftp_.data_->CloseClient(slot);
        return false;
    }
    slot_ = slot;
    protected_ = ftp_.traits_.dataProtected;
    ftp_.DataConnectionMade();
    StartTlsWhenDue();
    return true;
}

int32_t TFtp::TTransfer::Receive(char* buffer, int32_t capacity) {
    if (!protected_)
        return RawReceive(buffer, capacity);
    if (!tls_)
        return 0; // nothing of the listing can come before our handshake
    if (!PumpTls())
        return 0;
    const int32_t got = tls_->ReadPlain(buffer, capacity);
    if (got == 0 && !tls_->Failure().empty())
        throw ESockError("TLS: " + tls_->Failure());
    // Our answer to the server's close notice goes out now.
    if (tls_->HasCipher())
        PumpTls();
    return got;
}

int32_t TFtp::TTransfer::Send(int32_t slot, const char* buffer, int32_t count) {
    if (!protected_)
        return RawSend(slot, buffer, count);
    AwaitTls();
    // Cipher text the socket could not take last time goes first.
    if (!tlsOut_.empty())
        return 0;
    if (!tls_->WritePlain(buffer, count))
        throw ESockError("TLS: " + tls_->Failure());
    tlsOut_ += tls_->TakeCipher();
    PumpTls();
    return count;
}

void TFtp::TTransfer::AwaitTls() {
    // The handshake comes first, once the server has answered the verb; it answers the
    // handshake at once, so this wait is short.
    std::string failure;
    const bool ready = WaitUntil(
        [&] {
            try {
                if (!tls_ && !Cancelled() && slot_ == 0)
                    throw ESockError("Data connection closed");
                return (tls_ && PumpTls()) || Cancelled();
            } catch (const ESockError& error) {
                failure = error.what();
                return true;
            }
        },
        GetTickCount() + 30000);
    if (!failure.empty() || !ready || Cancelled())
        throw ESockError(failure.empty() ? "TLS handshake on the data connection timed out"
                                         : failure);
}

void TFtp::TTransfer::StartTlsWhenDue() {
    // A server may take bytes that come before it has read the verb for the end of the
    // connection (pyftpdlib closes it then, and waits for a new one that never comes),
    // and a server may connect back as soon as it reads PORT: the handshake waits for the
    // server's preliminary reply to the verb, in either mode.
    if (protected_ && !tls_ && slot_ != 0 && answered_ && Running())
        StartTls();
}

void TFtp::TTransfer::StartTls() {
    tls_ = std::make_unique<TTlsStream>();
    tlsOut_.clear();
    // The server wants to see the control connection's session again: proof that the
    // data connection comes from the client that logged in.
    tls_->Begin(ftp_.HostText(), ftp_.tls_.control.get());
    PumpTls();
}

bool TFtp::TTransfer::PumpTls() {
    if (slot_ == 0)
        throw ESockError("Data connection closed");
    char bytes[ReceiveChunk];
    int32_t got = 0;
    while (!tls_->Closed() && (got = RawReceive(bytes, ReceiveChunk)) > 0)
        tls_->FeedCipher(bytes, static_cast<size_t>(got));
    if (!tls_->Established() && tls_->Handshake() == TTlsStep::Failed)
        throw ESockError("TLS handshake on the data connection failed: " + tls_->Failure());
    tlsOut_ += tls_->TakeCipher();
    while (!tlsOut_.empty()) {
        const int32_t sent = RawSend(slot_, tlsOut_.data(),
                                     static_cast<int32_t>(std::min<size_t>(tlsOut_.size(), 65536)));
        if (sent <= 0)
            break;
        tlsOut_.erase(0, static_cast<size_t>(sent));
    }
    return tls_->Established();
}

bool TFtp::TTransfer::FinishTls() {
    if (!protected_)
        return true;
    try {
        // Even an empty file has its handshake: the server waits for it.
        AwaitTls();
        // Whatever the server sent (a session for the next connection) is taken in.
        char scratch[256];
        const auto takeIn = [&] {
            PumpTls();
            while (tls_->ReadPlain(scratch, sizeof scratch) > 0) {
            }
            return tls_->UnusedSessions() > 0 || Cancelled() || tls_->Closed();
        };
        // Under TLS 1.3 the server sends it just after the handshake, and a server that
        // takes each session once refuses the next connection without it: a short wait,
        // where the session was resumed (so the server does hand out more).
        if (!takeIn() && tls_->SessionReused() && tls_->Version() == "TLS 1.3")
            WaitUntil(takeIn, GetTickCount() + 500);
        tls_->Shutdown();
        PumpTls();
        while (!tlsOut_.empty()) {
            const int32_t slot = slot_;
            writable_ = false;
            WaitUntil([&] { return writable_ || Cancelled() || slot_ != slot; },
                      GetTickCount() + 1000);
            if (Cancelled() || slot_ != slot)
                return false;
            PumpTls();
        }
    } catch (const ESockError&) {
        return false;
    }
    return true;
}

int32_t TFtp::TTransfer::RawReceive(char* buffer, int32_t capacity) {
    if (slot_ == PassiveDataSlot)
        return ftp_.passive_->Socket->Receive(buffer, capacity);
    return ftp_.data_->Receive(slot_, buffer, capacity);
}

int32_t TFtp::TTransfer::RawSend(int32_t slot, const char* buffer, int32_t count) {
    if (slot == PassiveDataSlot)
        return ftp_.passive_->Socket->Send(buffer, count);
    return ftp_.data_->Send(slot, buffer, count);
}

void TFtp::TTransfer::Accepted(int32_t slot) {
    if (!TakeConnection(slot))
        return;
    if (kind_ == TKind::Upload)
        return SendFileWhenDue();
    ftp_.lastActivity_ = GetTickCount();
    // Our own connection to a passive port says nothing of whether the server will list:
    // only its 1xx does.
    if (slot != PassiveDataSlot)
        started_ = true;
    ftp_.abortRequested_ = false;
}

void TFtp::TTransfer::Readable(int32_t slot) {
    if (kind_ == TKind::Listing && slot != 0 && slot == slot_ && Running()) {
        const auto self = shared_from_this();
        // TLS may hold more plain text than one read takes, and the socket will not
        // say so again.
        while (ReadListing() && protected_) {
        }
    }
}

void TFtp::TTransfer::Closed(int32_t slot) {
    if (slot != 0 && slot == slot_ && kind_ == TKind::Upload && DataSideEnded())
        return CloseDataSide(); // the server has finished with the upload we half closed
    if (slot == 0 || slot != slot_ || !Running())
        return;
    if (kind_ == TKind::Listing) {
        // A reset may have dropped lines the server sent: the part that came is no listing.
        const int32_t error =
            slot == PassiveDataSlot ? ftp_.passive_->CloseError : ftp_.data_->CloseError;
        if (error != 0)
            return FailListing(ftpSocketReadError, "Listing connection broken");
        return EndListing();
    }
    if (phase_ == TPhase::Sending || phase_ == TPhase::PeerClosed) {
        // The send loop below us finds out and finishes the upload itself.
        return SetPhase(TPhase::PeerClosed);
    }
    CloseDataSide();
    ftp_.Info(ftpTransferDone, "Transfer done");
    DataEnded();
}

void TFtp::TTransfer::DataEnded() {
    SetPhase(TPhase::DataEnded);
    ReportIfBothEnded();
}

void TFtp::TTransfer::ReportIfBothEnded() {
    if (!controlEnded_ || !DataSideEnded())
        return;
    SetPhase(TPhase::Reported);
    ftp_.TransferEnded();
}

void TFtp::TTransfer::CloseDataSide() {
    if (slot_ != 0 && slot_ != PassiveDataSlot)
        ftp_.data_->CloseClient(slot_);
    ftp_.data_->Close();
    // Also a passive connection still on its way.
    ftp_.passive_->Close();
    slot_ = 0;
    if (localFile_ >= 0)
        ::close(localFile_);
    localFile_ = -1;
}

// ---------------------------------------------------------------------------------
// Listing

bool TFtp::TTransfer::ReadListing() {
    std::string text;
    try {
        // No more than one byte past the cap is ever taken in.
        const auto room = static_cast<int32_t>(
            std::clamp<int64_t>(ftp_.Options.listingByteCap - bytes_ + 1, 1, ListingChunk));
        std::vector<char> bytes(static_cast<size_t>(room));
        text = ChunkText(bytes.data(), Receive(bytes.data(), room));
    } catch (const ESockError&) {
        // The data connection broke; the control connection may well be fine.
        FailListing(ftpSocketReadError, "Listing connection broken");
        return false;
    }
    if (text.empty())
        return false;
    ftp_.lastActivity_ = GetTickCount();
    bytes_ += static_cast<int64_t>(text.size());
    if (bytes_ > ftp_.Options.listingByteCap) {
        FailListing(ftpOperationFailed, "Listing too long");
        return false;
    }
    if (!lines_.Feed(text)) {
        FailListing(ftpSocketReadError, "Listing line too long");
        return false;
    }
    std::string line;
    while (lines_.NextLine(line))
        if (!AddListingLine(line))
            return false;
    return true;
}

// False when the line ended the listing (a cap) or a handler ended the transfer.
bool TFtp::TTransfer::AddListingLine(const std::string& line) {
    TListingResult& listing = ftp_.listing_;
    if (listing.lines.Count() >= ftp_.Options.listingLineCap) {
        FailListing(ftpOperationFailed, "Listing too long");
        return false;
    }
    try {
        ftp_.Info(ftpProgress, line);
        listing.lines.Add(line);
        ftp_.Info(ftpListingLine, line);
        if (auto entry = parser_.Parse(line)) {
            if (entry->kind == TListedKind::File)
                listing.files.Add(entry->name);
            else if (entry->kind != TListedKind::Other)
                // A link may lead to a directory; taking it as one lets a walk look inside.
                listing.directories.Add(entry->name);
            listing.entries.push_back(std::move(*entry));
        }
    } catch (...) {
        // One bad line, or a handler that threw on it, must not cost the listing.
    }
    // A handler may have ended the transfer (an abort, a quit).
    return Running();
}

void TFtp::TTransfer::EndListing() {
    const auto self = shared_from_this();
    // Whatever is still buffered belongs to the listing, and so does a last line that
    // has no line end.
    while (ReadListing()) {
    }
    if (!Running())
        return; // the listing ended on an error while draining
    if (protected_ && (!tls_ || !tls_->Established()))
        return FailListing(ftpSocketReadError,
                           "Listing connection closed before its TLS handshake was done");
    std::string line;
    if (lines_.TakeLastLine(line)) {
        ftp_.listing_.endedMidLine = true;
        if (!AddListingLine(line))
            return;
    }
    CloseDataSide();
    ftp_.Info(ftpListingReady, "Listing ready");
    ftp_.Info(ftpTransferDone, "Transfer done");
    DataEnded();
}

void TFtp::TTransfer::FailListing(FtpInfo code, const std::string& reason) {
    // The server finds its data connection gone and answers LIST; that answer, or the
    // one it already gave, completes the operation.
    CloseDataSide();
    SetPhase(TPhase::DataFailed);
    ftp_.ReportError(code, reason);
    ftp_.success_ = false;
    ReportIfBothEnded();
}

// ---------------------------------------------------------------------------------
// Upload

void TFtp::TTransfer::SendFileWhenDue() {
    // The file goes out once the server has answered STOR with its preliminary reply, in
    // either mode and with or without TLS: a server may not read its data connection
    // before it has taken the command (pyftpdlib drops bytes that come before and then
    // waits for them until its time-out, which a little delay on the control connection
    // is enough for), and a server that refuses STOR must get none of the file.
    if (kind_ != TKind::Upload || phase_ != TPhase::VerbSent || !answered_ || slot_ == 0)
        return;
    SendFile();
}

bool TFtp::TTransfer::EndEmptyUpload() {
    struct stat info {};
    if (localFile_ < 0 || ::fstat(localFile_, &info) != 0 || info.st_size != 0)
        return false;
    EndWithoutData(ftpTransferDone, "Transfer done");
    return true;
}

void TFtp::TTransfer::EndWithoutData(FtpInfo done, const std::string& text) {
    CloseDataSide();
    ftp_.Info(done, text);
    SetPhase(TPhase::DataEnded);
    ControlEnded();
}

void TFtp::TTransfer::HalfClose() {
    if (slot_ == PassiveDataSlot)
        ftp_.passive_->Socket->ShutdownSend();
    else
        ftp_.data_->Slot(slot_).ShutdownSend();
    ftp_.data_->Close();
    if (localFile_ >= 0)
        ::close(localFile_);
    localFile_ = -1;
}

void TFtp::TTransfer::SendFile() {
    const auto self = shared_from_this();
    bytes_ = 0;
    SetPhase(TPhase::Sending);
    struct stat info {};
    const int64_t size =
        localFile_ >= 0 && ::fstat(localFile_, &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
    ftp_.Info(ftpFileSize, std::to_string(size));
    FtpInfo failure = SendBlocks(size);
    if (failure == ftpNoError && !Cancelled() && !ftp_.abortRequested_ && !FinishTls())
        failure = ftpSocketWriteError;
    EndUpload(failure);
}

FtpInfo TFtp::TTransfer::SendBlocks(int64_t size) {
    std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(size, BlockSize)));
    for (int64_t left = size; left > 0;) {
        if (ftp_.abortRequested_) {
            ftp_.Info(ftpTransferAborted, "Transfer aborted");
            ftp_.success_ = false;
            return ftpNoError;
        }
        if (Cancelled())
            return ftpNoError;
        const auto count = static_cast<int32_t>(std::min<int64_t>(left, BlockSize));
        const ssize_t got = localFile_ >= 0 ? ReadFull(localFile_, buffer.data(), count) : -1;
        if (got != count)
            return ftpLocalReadError;
        if (!SendAll(buffer.data(), count)) {
            if (ftp_.abortRequested_) {
                ftp_.Info(ftpTransferAborted, "Transfer aborted");
                ftp_.success_ = false;
                return ftpNoError;
            }
            return Cancelled() ? ftpNoError : ftpSocketWriteError;
        }
        left -= count;
        ftp_.Info(ftpProgress, "");
    }
    return ftpNoError;
}

bool TFtp::TTransfer::SendAll(const char* buffer, int32_t count) {
    const int32_t slot = slot_;
    const auto stopped = [&] {
        // Not sending any more: cancelled, or the server closed the connection.
        return ftp_.abortRequested_ || phase_ != TPhase::Sending || slot_ != slot;
    };
    int32_t sent = 0;
    while (sent < count) {
        if (stopped())
            return false;
        writable_ = false;
        int32_t n = 0;
        try {
            n = Send(slot, buffer + sent, count - sent);
        } catch (const ESockError&) {
            return false;
        }
        sent += n;
        bytes_ += n;
        if (n > 0) {
            ftp_.lastActivity_ = GetTickCount();
            ProcessMessages();
            continue;
        }
        // Full socket buffer: sleep until the socket can take more (or we must stop).
        WaitUntil([&] { return writable_ || stopped(); }, GetTickCount() + 1000);
    }
    return true;
}

void TFtp::TTransfer::EndUpload(FtpInfo failure) {
    // Once the transfer was cancelled its data side is no longer ours: the slot may
    // already carry the next one. A TLS upload that went well is only half closed until
    // the server answers or closes: closing a socket that holds unread bytes (the
    // server's session tickets, its close notice) resets the connection, and a reset
    // throws away whatever of the file the server has not read yet.
    if (!Cancelled() && protected_ && failure == ftpNoError && !controlEnded_ && slot_ != 0 &&
        !ftp_.abortRequested_)
        HalfClose();
    else if (!Cancelled())
        CloseDataSide();
    if (failure == ftpLocalReadError) {
        ftp_.Info(ftpLocalReadError, "File read");
        ftp_.SetStatus(ftpLocalReadError);
    } else if (failure == ftpSocketWriteError) {
        ftp_.Info(ftpSocketWriteError, "Write error");
    } else {
        ftp_.Info(ftpTransferDone, "Transfer done");
    }
    if (Cancelled())
        return; // whoever cancelled it has ended the operation
    // A failed upload still ends with one ready, through the same meeting of the two
    // ends as a good one: the server answers STOR once the data connection is gone.
    if (failure == ftpLocalReadError)
        ftp_.ReportError(failure, "Cannot read " + localPath_);
    else if (failure == ftpSocketWriteError)
        ftp_.ReportError(failure, "Upload connection broken");
    DataEnded();
}

} // namespace pelmora
