#include "toolkit/tick.h"

#include <atomic>
#include <chrono>

namespace pelmora {

namespace {
std::atomic<uint32_t> tickOffset{0};
}

uint32_t GetTickCount() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms) + tickOffset.load(std::memory_order_relaxed);
}

void SetTickOffset(uint32_t offset) {
    tickOffset.store(offset, std::memory_order_relaxed);
}

} // namespace pelmora
