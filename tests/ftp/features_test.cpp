#include "ftp/features.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace pelmora;

namespace {

TServerFeatures With(void (*set)(TServerFeatures&)) {
    TServerFeatures features;
    features.listed = true;
    set(features);
    return features;
}

} // namespace

TEST(ServerFeatures, ReadsWhatRealServersList) {
    struct TCase {
        const char* what;
        std::vector<std::string> lines;
        TServerFeatures features;
    };
    const TCase cases[] = {
        {"vsftpd",
         {"211-Features:", " EPRT", " EPSV", " MDTM", " PASV", " REST STREAM", " SIZE", " TVFS",
          "211 End"},
         With([](TServerFeatures& f) { f.epsv = f.mdtm = f.size = true; })},
        {"pure-ftpd",
         {"211-Extensions supported:",
          " UTF8",
          " EPRT",
          " IDLE",
          " MDTM",
          " SIZE",
          " MFMT",
          " REST STREAM",
          " MLST type*;size*;sizd*;modify*;UNIX.mode*;UNIX.uid*;UNIX.gid*;unique*;",
          " MLSD",
          " PRET",
          " AUTH TLS",
          " PBSZ",
          " PROT",
          " TVFS",
          " ESTA",
          " PASV",
          " EPSV",
          " ESTP",
          "211 End."},
         With([](TServerFeatures& f) {
             f.utf8 = f.mdtm = f.size = f.mfmt = f.mlsd = f.authTls = f.epsv = true;
             f.mlstFacts = "type*;size*;sizd*;modify*;UNIX.mode*;UNIX.uid*;UNIX.gid*;unique*;";
         })},
        // MLST alone promises MLSD as well.
        {"pyftpdlib",
         {"211-Features supported:", " EPRT", " EPSV", " MDTM", " MFMT",
          " MLST type*;perm*;size*;modify*;unique*;unix.mode;unix.uid;unix.gid;", " REST STREAM",
          " SIZE", " TVFS", " UTF8", "211 End FEAT."},
         With([](TServerFeatures& f) {
             f.epsv = f.mdtm = f.mfmt = f.mlsd = f.size = f.utf8 = true;
             f.mlstFacts = "type*;perm*;size*;modify*;unique*;unix.mode;unix.uid;unix.gid;";
         })},
        // Without the leading blank, in lower case, with blanks after.
        {"careless",
         {"211-Features", "mlsd", "mfmt  ", "\tutf8", "Mlst Type*;Modify*;  ", "211 End"},
         With([](TServerFeatures& f) {
             f.mlsd = f.mfmt = f.utf8 = true;
             f.mlstFacts = "Type*;Modify*;";
         })},
        {"auth words", {"211-x", " AUTH SSL TLS", "211 End"}, With([](TServerFeatures& f) {
             f.authTls = true;
         })},
        {"auth list", {"211-x", " AUTH TLS;TLS-C;SSL", "211 End"}, With([](TServerFeatures& f) {
             f.authTls = true;
         })},
        {"auth without TLS",
         {"211-x", " AUTH SSL", " AUTH TLS-C", "211 End"},
         With([](TServerFeatures&) {})},
        // Words that only begin like a feature are not it.
        {"near misses",
         {"211-x", " MLSDX", " SIZES", " MDTM2", "211 End"},
         With([](TServerFeatures&) {})},
        {"one line", {"211 No features"}, With([](TServerFeatures&) {})},
        // A refusal lists nothing.
        {"refused", {"500 Unknown command"}, {}},
        {"not implemented", {"502 FEAT not implemented"}, {}},
        {"nothing", {}, {}},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ParseFeatures(c.lines), c.features) << c.what;
}
