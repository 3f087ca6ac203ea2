#pragma once

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <QTimer>

#include <functional>

namespace pelmora::testing {

// Waits for something another thread (a test server) does: looks again every few
// milliseconds until it holds or `ms` pass.
inline bool Eventually(const std::function<bool()>& done, uint32_t ms = 5000) {
    QTimer tick;
    tick.start(5);
    return WaitUntil(done, GetTickCount() + ms);
}

} // namespace pelmora::testing
