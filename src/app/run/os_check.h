// Which Windows versions the update is made for, judged from the platform's version records.
#pragma once

#include <cstdint>

namespace mox3 {

struct OsVersionRecord {
    std::uint32_t platformId = 0;  // 2: NT-based
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint8_t productType = 0;  // 1: workstation
    std::uint16_t servicePackMajor = 0;
};

inline constexpr std::uint32_t kPlatformNt = 2;
inline constexpr std::uint8_t kProductWorkstation = 1;

// XP from service pack 2, Vista from service pack 2, 7 and every later workstation version.
bool OsVersionAccepted(const OsVersionRecord& v);

}  // namespace mox3
