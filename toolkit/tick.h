#pragma once

#include <cstdint>

namespace pelmora {

// Milliseconds of a monotonic clock, cut to 32 bits like the classic tick count:
// it wraps after about 49.7 days. Compare ticks only through TickReached.
uint32_t GetTickCount();

// True when `now` has reached or passed `deadline`, also across a wrap of the count.
// Valid for deadlines less than about 24.8 days away.
inline bool TickReached(uint32_t now, uint32_t deadline) {
    return static_cast<int32_t>(now - deadline) >= 0;
}

// Milliseconds from `now` to `deadline`, 0 once reached.
inline uint32_t TicksLeft(uint32_t now, uint32_t deadline) {
    return TickReached(now, deadline) ? 0 : deadline - now;
}

// Tests move the tick count near a wrap with this; it shifts every later reading.
void SetTickOffset(uint32_t offset);

} // namespace pelmora
