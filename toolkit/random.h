#pragma once

#include <cstdint>

namespace pelmora {

// The program-wide pseudo-random source: a 32-bit linear congruential generator seeded
// with 0 at start and never reseeded, so a run draws one fixed sequence.
// Random(range) is a value in 0..range-1.
uint32_t Random(uint32_t range);

// Tests start the sequence again with this.
void SetRandomSeed(uint32_t seed);

} // namespace pelmora
