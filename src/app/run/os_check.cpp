#include "app/run/os_check.h"

namespace mox3 {

bool OsVersionAccepted(const OsVersionRecord& v) {
    if (v.platformId != kPlatformNt || v.major < 5) return false;
    if (v.productType != kProductWorkstation) return false;
    if (v.major == 5) return v.minor == 1 && v.servicePackMajor >= 2;
    if (v.major == 6 && v.minor == 0) return v.servicePackMajor >= 2;
    return true;
}

}  // namespace mox3
