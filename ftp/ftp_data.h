#pragma once

#include "net/serv_sock.h"

namespace pelmora {

// The data connection of TFtp: it listens afresh for each listing or upload, and the
// server connects to it after PORT.
class TFtpData : public TServSock {
public:
    explicit TFtpData(TObject* owner = nullptr);
    ~TFtpData() override;
};

} // namespace pelmora
