#include "net/connection_settings.h"

#include "toolkit/text.h"

namespace pelmora {

const char* ProtocolName(TProtocol protocol) {
    return protocol == TProtocol::Sftp ? "sftp" : "ftp";
}

std::optional<TProtocol> ParseProtocol(const std::string& text) {
    if (text.empty())
        return TProtocol::Ftp;
    for (const TProtocol protocol : {TProtocol::Ftp, TProtocol::Sftp})
        if (SameText(text, ProtocolName(protocol)))
            return protocol;
    return std::nullopt;
}

uint16_t DefaultPort(TProtocol protocol) {
    return protocol == TProtocol::Sftp ? 22 : 21;
}

const char* TlsModeName(TTlsMode mode) {
    switch (mode) {
    case TTlsMode::Auto:
        return "auto";
    case TTlsMode::Require:
        return "require";
    case TTlsMode::Off:
        return "off";
    }
    return "auto";
}

std::optional<TTlsMode> ParseTlsMode(const std::string& text) {
    if (text.empty())
        return TTlsMode::Auto;
    for (const TTlsMode mode : {TTlsMode::Auto, TTlsMode::Require, TTlsMode::Off})
        if (SameText(text, TlsModeName(mode)))
            return mode;
    return std::nullopt;
}

const char* DataModeName(TDataMode mode) {
    switch (mode) {
    case TDataMode::Auto:
        return "auto";
    case TDataMode::Passive:
        return "passive";
    case TDataMode::Active:
        return "active";
    }
    return "auto";
}

std::optional<TDataMode> ParseDataMode(const std::string& text) {
    if (text.empty())
        return TDataMode::Auto;
    for (const TDataMode mode : {TDataMode::Auto, TDataMode::Passive, TDataMode::Active})
        if (SameText(text, DataModeName(mode)))
            return mode;
    return std::nullopt;
}
} // namespace pelmora
