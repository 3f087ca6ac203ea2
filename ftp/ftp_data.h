#pragma once

#include "ftp/line_splitter.h"
#include "net/serv_sock.h"

namespace pelmora {

// The data connection of TFtp: it listens afresh for each listing or upload, and the
// server connects to it after PORT. It also carries the unfinished last line of a
// listing between two pieces; listing lines may end with a bare LF.
class TFtpData : public TServSock {
public:
    explicit TFtpData(TObject* owner = nullptr);
    ~TFtpData() override;

    TLineSplitter ListingLines{TLineSplitter::DefaultCap, true};
};

} // namespace pelmora
