#include "transport/passthrough.h"

#include <mutex>

namespace mox3 {

namespace {

std::mutex& BackendMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<PassThroughBackend>& BackendSlot() {
    static std::shared_ptr<PassThroughBackend> backend;
    return backend;
}

}  // namespace

std::vector<std::uint8_t> FixedSense(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq) {
    std::vector<std::uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = senseKey & 0x0F;
    sense[7] = 10;  // additional length
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

std::shared_ptr<PassThroughBackend> CurrentPassThroughBackend() {
    std::lock_guard lock(BackendMutex());
    if (!BackendSlot()) BackendSlot() = PlatformPassThroughBackend();
    return BackendSlot();
}

void SetPassThroughBackend(std::shared_ptr<PassThroughBackend> backend) {
    std::lock_guard lock(BackendMutex());
    BackendSlot() = std::move(backend);
}

}  // namespace mox3
