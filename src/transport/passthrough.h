// One SCSI request in, SCSI status and sense out: the narrow interface every way of reaching
// a drive implements (the platform's pass-through, the emulated bridge drive).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mox3 {

// Data directions, numbered as the pass-through request numbers them.
enum class DataDirection : std::uint8_t { Out = 0, In = 1, None = 2 };

inline constexpr std::uint8_t kScsiStatusGood = 0x00;
inline constexpr std::uint8_t kScsiStatusCheckCondition = 0x02;
inline constexpr std::uint8_t kScsiStatusBusy = 0x08;

// Sense keys and the additional sense codes the emulated drive answers with.
inline constexpr std::uint8_t kSenseNotReady = 0x02;
inline constexpr std::uint8_t kSenseMediumError = 0x03;
inline constexpr std::uint8_t kSenseHardwareError = 0x04;
inline constexpr std::uint8_t kSenseIllegalRequest = 0x05;
inline constexpr std::uint8_t kAscInvalidOpcode = 0x20;
inline constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;

// One SCSI request as every layer above the platform's backend speaks it. Each backend packs
// it once, in its own way (SG_IO on Linux, the pass-through block on Windows, the emulated
// bridge in process).
struct ScsiRequest {
    std::array<std::uint8_t, 16> cdb{};
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;
    std::uint8_t* data = nullptr;  // `length` bytes, read for Out, written for In
    std::uint32_t length = 0;
    std::uint32_t timeoutSeconds = 0;
    // The target the Windows pass-through block names (the direct senders name 1); the port
    // driver of an opened disk, SG_IO and the emulator go by the handle alone.
    std::uint8_t targetId = 0;
};

struct ScsiReply {
    std::uint8_t status = kScsiStatusGood;
    std::vector<std::uint8_t> sense;  // empty when the device returned none
    std::uint32_t transferred = 0;
};

// How a request ended: not delivered at all (the device gone, the system or the adapter
// failed it), sense data came back (whatever the status said), a status other than GOOD
// without sense, or GOOD.
enum class ScsiResult : std::uint8_t { kGood, kStatus, kSense, kNotDelivered };
ScsiResult ResultOf(bool delivered, const ScsiReply& reply);

// Fixed-format sense data (response code 0x70) of `senseKey`, `asc` and `ascq`, 18 bytes.
std::vector<std::uint8_t> FixedSense(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq);

// An open device. Requests are synchronous.
class PassThroughDevice {
  public:
    virtual ~PassThroughDevice() = default;
    // Sends one request. False when it could not be delivered at all (the device is gone, an
    // I/O error, a time-out); then `reply` says nothing. A delivered request may still carry
    // CHECK CONDITION and sense data.
    virtual bool Send(const ScsiRequest& request, ScsiReply& reply) = 0;
    // Why the last request was not delivered (the system's error text), empty when unknown.
    virtual std::string LastError() const { return {}; }
    // A name for traces: the path the device was opened with.
    virtual std::u16string Name() const = 0;
    // Which device node was opened, in the terms the device tree lists it with
    // (DeviceTree::NodeIdentity); nothing when the backend cannot tell. A path names a node
    // only at the moment it is opened: this is how a caller makes sure that the node opened is
    // the one it listed, not another device that took its name since.
    virtual std::optional<std::uint64_t> NodeIdentity() const { return std::nullopt; }
};

// Opens devices by interface path.
class PassThroughBackend {
  public:
    virtual ~PassThroughBackend() = default;
    // Nothing when the path does not open; `error` (when given) says why.
    virtual std::unique_ptr<PassThroughDevice> Open(std::u16string_view path,
                                                    std::string* error) = 0;
};

// The platform's own backend (SCSI generic on Linux, the pass-through on Windows).
std::shared_ptr<PassThroughBackend> PlatformPassThroughBackend();

}  // namespace mox3
