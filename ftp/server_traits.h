#pragma once

#include "ftp/features.h"
#include "ftp/ftp_types.h"

#include <array>
#include <cstdint>
#include <string>

namespace pelmora {

// The command that set up a data connection: EPSV or PASV (we connect to the server's
// passive port) or PORT (the server connects back to us).
enum class TDataCommand : uint8_t { None, Epsv, Pasv, Port };
// "EPSV", "PASV" or "PORT"; "" for None.
const char* DataCommandVerb(TDataCommand command);
// How data connections are made, as a run shows it: "passive (EPSV)", "passive (PASV)" or
// "active (PORT)"; "" for None.
std::string DataModeText(TDataCommand command);
inline bool IsPassive(TDataCommand command) {
    return command == TDataCommand::Epsv || command == TDataCommand::Pasv;
}

// The forms of setting a file's time, in the order they are tried.
enum class TTimeForm : uint8_t { Mfmt, MdtmSet, SiteUtime, SiteUtimeFull, None };

// What a session learns about its server: what it says it can do, what it turned down, and
// what is in force on it. Each session starts from nothing (what the last server could do
// says nothing about this one); a refusal holds until the session ends, so a refused
// command is not tried again.
struct TServerTraits {
    // What the server listed in its answer to FEAT at the login.
    TServerFeatures features;
    // The words of the SYST reply, upper case, and what they mean for its listings.
    std::string systemType;
    TFTPServerType serverType = ftpstDefault;

    bool epsvRefused = false;
    // Auto mode gave passive up: the rest of the session is active.
    bool passiveRefused = false;
    bool mlsdRefused = false;
    // RNFR or RNTO was answered as unknown: the server has no rename.
    bool renameRefused = false;
    std::array<bool, static_cast<size_t>(TTimeForm::None)> timeFormRefused{};
    // Some form has set a time in this session.
    bool timeFormWorks = false;

    // The representation type the server has taken ('A' or 'I'; 0 when none or unsure):
    // it holds until changed, so it is sent only when it changes.
    char typeInForce = 0;
    // How the latest data connection was made; None until the session has made one.
    TDataCommand dataModeInUse = TDataCommand::None;
    // How the control connection is secured, for display: "TLS 1.3, certificate
    // verified", "TLS 1.3, trusted by fingerprint" or "not encrypted" (with what the data
    // connections got, or why TLS was given up); empty until that is settled.
    std::string securityInUse;
    // The control connection is secured, its certificate accepted.
    bool controlSecured = false;
    // The data connections run over TLS (PROT P was accepted).
    bool dataProtected = false;

    // The first form of setting a time that is neither refused nor unoffered; None when
    // none is left.
    TTimeForm NextTimeForm() const;
    // Some way of setting a file's time is still untried or known to work here.
    bool FileTimeSettable() const { return NextTimeForm() != TTimeForm::None; }
    // No rename of this session has been answered as unknown.
    bool RenameOffered() const { return !renameRefused; }
};

} // namespace pelmora
