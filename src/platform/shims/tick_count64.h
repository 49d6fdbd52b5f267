// The widening of a 32-bit millisecond count that stands in for GetTickCount64 on Windows XP
// (see get_tick_count64_windows.cpp).
#pragma once

#include <atomic>
#include <cstdint>

namespace mox3 {

// The 32-bit millisecond counter `read` widened to 64 bits: the high half counts the wraps of
// the counter seen so far, a reading lower than the last one's low half being a wrap. `last`
// holds the latest value (start it at 0); several threads may call this at once. The widening
// holds as long as the counter is read at least once per wrap (49.7 days).
std::uint64_t WidenTickCount(std::atomic<std::uint64_t>& last, std::uint32_t (*read)());

}  // namespace mox3
