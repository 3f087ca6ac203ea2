#include "ftp/server_traits.h"

namespace pelmora {

const char* DataCommandVerb(TDataCommand command) {
    switch (command) {
    case TDataCommand::Epsv:
        return "EPSV";
    case TDataCommand::Pasv:
        return "PASV";
    case TDataCommand::Port:
        return "PORT";
    case TDataCommand::None:
        break;
    }
    return "";
}

std::string DataModeText(TDataCommand command) {
    if (command == TDataCommand::None)
        return {};
    return std::string(IsPassive(command) ? "passive (" : "active (") + DataCommandVerb(command) +
           ")";
}

TTimeForm TServerTraits::NextTimeForm() const {
    for (const TTimeForm form :
         {TTimeForm::Mfmt, TTimeForm::MdtmSet, TTimeForm::SiteUtime, TTimeForm::SiteUtimeFull}) {
        if (timeFormRefused[static_cast<size_t>(form)])
            continue;
        // MFMT only where offered; the other forms are nobody's standard, so no FEAT
        // line promises them and each is found out by trying it.
        if (form == TTimeForm::Mfmt && !features.mfmt)
            continue;
        return form;
    }
    return TTimeForm::None;
}

} // namespace pelmora
