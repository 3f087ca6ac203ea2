#include "ftp/ftp_data.h"

namespace pelmora {

TFtpData::TFtpData(TObject* owner) : TServSock(owner) {
    version_ = "TFtpData 1.4.1";
}

TFtpData::~TFtpData() {
    Close();
}

} // namespace pelmora
