// The device side of a usbredir connection: an emulated drive presented to a virtual
// machine's USB controller as a high-speed mass-storage device on the Bulk-Only Transport.
//
// The peer (the machine's redirection device) and this side exchange packets of a 16-byte
// header (type, length of what follows, id; 12 bytes with a 32-bit id before both sides have
// said hello and whenever one of them lacks 64-bit ids) and a type-specific part, all numbers
// little-endian. This side says hello first, connects the device once the peer has said
// hello (interface info, endpoint info, then the connect), answers control and bulk packets,
// and follows the drive: when the bridge leaves the bus (a restart, a pulled cable) the
// device disconnects, and when the drive is back it connects again with whatever identity
// the flash now gives.
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "emulator/bulk_only.h"
#include "emulator/emulator_backend.h"
#include "emulator/usb_descriptors.h"

namespace mox3 {

// Packet types and capability bits of the protocol that this side uses.
namespace usbredir {
enum Type : std::uint32_t {
    kHello = 0,
    kDeviceConnect = 1,
    kDeviceDisconnect = 2,
    kReset = 3,
    kInterfaceInfo = 4,
    kEpInfo = 5,
    kSetConfiguration = 6,
    kGetConfiguration = 7,
    kConfigurationStatus = 8,
    kSetAltSetting = 9,
    kGetAltSetting = 10,
    kAltSettingStatus = 11,
    kControlPacket = 100,
    kBulkPacket = 101,
    kIsoPacket = 102,
    kInterruptPacket = 103,
};
enum Status : std::uint8_t {
    kSuccess = 0,
    kCancelled = 1,
    kInval = 2,
    kIoError = 3,
    kStall = 4,
    kTimeout = 5,
    kBabble = 6,
};
enum Capability : std::uint32_t {
    kCapConnectDeviceVersion = 1u << 1,
    kCapEpInfoMaxPacketSize = 1u << 4,
    kCapIds64 = 1u << 5,
    kCapBulkLength32 = 1u << 6,
};
inline constexpr std::uint8_t kSpeedHigh = 2;
inline constexpr std::uint8_t kTypeControl = 0;
inline constexpr std::uint8_t kTypeBulk = 2;
inline constexpr std::uint8_t kTypeInvalid = 255;
inline constexpr std::size_t kHelloVersionSize = 64;
}  // namespace usbredir

class UsbRedirDevice {
  public:
    // Writes bytes to the peer; false when the connection is gone.
    using Sender = std::function<bool(std::span<const std::uint8_t>)>;

    UsbRedirDevice(std::filesystem::path folder, std::shared_ptr<EmulatorClock> clock, Sender send);
    ~UsbRedirDevice();

    // Says hello.
    bool Start();
    // Bytes from the peer, any amount; the complete packets among them are answered. False
    // on a malformed stream or a failed send (error() says which).
    bool Receive(std::span<const std::uint8_t> bytes);
    // Looks at the drive: disconnects a device whose drive left the bus, connects one whose
    // drive is (back) on it. The drive-clock milliseconds until it wants to look again.
    std::uint64_t Poll();

    bool connected() const { return connected_; }
    const UsbDescriptorSet& descriptors() const { return descriptors_; }
    const std::string& error() const { return error_; }

  private:
    bool Handle(std::uint32_t type, std::uint64_t id, std::span<const std::uint8_t> payload);
    bool HandleControl(std::uint64_t id, std::span<const std::uint8_t> payload);
    bool HandleBulk(std::uint64_t id, std::span<const std::uint8_t> payload);
    bool Connect();
    bool Disconnect();
    bool SendPacket(std::uint32_t type, std::uint64_t id, std::span<const std::uint8_t> header,
                    std::span<const std::uint8_t> data = {});
    std::size_t HeaderSize() const { return ids64_ ? 16 : 12; }
    bool Fail(std::string why);

    std::filesystem::path folder_;
    std::shared_ptr<EmulatorClock> clock_;
    std::shared_ptr<PassThroughBackend> backend_;
    Sender send_;

    std::vector<std::uint8_t> pending_;  // received bytes of an incomplete packet
    bool helloReceived_ = false;
    bool ids64_ = false;
    bool bulkLength32_ = false;
    bool epMaxPacketSize_ = false;
    bool connectVersion_ = false;

    bool connected_ = false;
    std::uint64_t session_ = 0;  // the drive's bus session the device was connected in
    std::uint64_t goneSinceMs_ = 0;
    std::unique_ptr<PassThroughDevice> device_;
    UsbDescriptorSet descriptors_;
    BulkOnlyTransport bot_{nullptr};
    std::uint8_t configuration_ = 0;
    std::string error_;
};

// Linux only. Serves the drive in `folder` on the connected socket `fd` until the peer
// closes it, the stream breaks, or `*stop` becomes nonzero (set from a signal handler).
bool ServeUsbRedir(int fd, const std::filesystem::path& folder,
                   std::shared_ptr<EmulatorClock> clock, const volatile std::sig_atomic_t* stop,
                   std::string* error);

// Linux only. Listens on the unix socket `path` (replacing a stale socket file) and serves
// the first peer that connects; with `connect`, connects to a listening peer instead. Stops
// on SIGTERM or SIGINT. `onReady` is called once the socket listens or is connected.
bool ServeUsbRedirSocket(const std::string& path, bool connect, const std::filesystem::path& folder,
                         std::shared_ptr<EmulatorClock> clock,
                         const std::function<void(const std::string&)>& onReady,
                         std::string* error);

}  // namespace mox3
