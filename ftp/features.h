#pragma once

#include <string>
#include <vector>

namespace pelmora {

// What a server said it can do in its answer to FEAT. A server that refuses FEAT, or
// predates it, lists nothing: every flag stays false.
struct TServerFeatures {
    bool listed = false; // the server answered FEAT with a list
    bool mlsd = false;   // MLSD (or MLST, which promises both)
    bool mdtm = false;
    bool mfmt = false;
    bool size = false;
    bool utf8 = false;
    bool epsv = false;
    bool authTls = false;
    // The facts after MLST as the server wrote them ("type*;size*;modify*;").
    std::string mlstFacts;

    bool operator==(const TServerFeatures&) const = default;
};

// Reads the lines of a 211 reply to FEAT, the first and the last with their code. Feature
// lines are taken with or without their leading blank and in any case.
TServerFeatures ParseFeatures(const std::vector<std::string>& lines);

} // namespace pelmora
