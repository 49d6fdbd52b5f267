#include "discovery/device_tree.h"

#include <cstdio>
#include <utility>

#include "base/text.h"

namespace mox3 {

std::u16string UsbIdPrefix(std::uint16_t vendorId, std::uint16_t productId) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X", vendorId, productId);
    return Utf8ToUtf16(buf);
}

}  // namespace mox3
