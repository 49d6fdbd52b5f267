// The Bulk-Only Transport of a USB mass-storage device, as pure code: command block wrappers
// come in on the bulk OUT endpoint, data goes the way and the length the wrapper says, and a
// status wrapper goes out on the bulk IN endpoint. Every SCSI command goes to one
// PassThroughDevice; REQUEST SENSE after a failed command is answered here, with that
// command's sense. Data and status go out in packets of the endpoint's size, as a device
// sends them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "transport/passthrough.h"

namespace mox3 {

inline constexpr std::uint32_t kCbwSignature = 0x43425355;
inline constexpr std::uint32_t kCswSignature = 0x53425355;
inline constexpr std::size_t kCbwSize = 31;
inline constexpr std::size_t kCswSize = 13;
inline constexpr std::uint8_t kCswPassed = 0;
inline constexpr std::uint8_t kCswFailed = 1;
inline constexpr std::uint8_t kCswPhaseError = 2;

class BulkOnlyTransport {
  public:
    // `device` may be null: every command then ends in a phase error. `maxPacket`: the bulk
    // endpoints' packet size (512 at high speed).
    explicit BulkOnlyTransport(PassThroughDevice* device, std::uint32_t maxPacket = 512)
        : device_(device), maxPacket_(maxPacket) {}

    // A transfer the host sent on the bulk OUT endpoint. False: the endpoint stalls.
    bool Out(std::span<const std::uint8_t> data);

    struct InResult {
        bool stall = false;
        // The device sent a packet larger than the room left in the host's buffer: the host
        // got what fit (`data`) and an error; the packet, never acknowledged, is sent again.
        bool babble = false;
        std::vector<std::uint8_t> data;
    };
    // A transfer of at most `length` bytes the host asks for on the bulk IN endpoint. It ends
    // with a short packet or when `length` bytes have come.
    InResult In(std::uint32_t length);

    // The class request Bulk-Only Mass Storage Reset: ready for the next wrapper. Stalled
    // endpoints stay stalled until the host clears them.
    void Reset();
    // CLEAR_FEATURE(ENDPOINT_HALT). After an invalid wrapper the endpoints stall again until
    // a reset.
    void ClearHalt(bool in);
    bool Halted(bool in) const { return in ? inHalted_ : outHalted_; }
    // No command under way: the last status has gone out.
    bool Idle() const { return phase_ == Phase::Command || phase_ == Phase::NeedsReset; }

    void SetDevice(PassThroughDevice* device) { device_ = device; }

  private:
    enum class Phase { Command, DataOut, DataIn, Status, NeedsReset };

    void Execute();
    void Finish(std::uint8_t status, std::uint32_t processed);
    void RequestSense();

    // Takes up to `length` bytes of `pending` from `sent_` on as the device's packets go.
    InResult Send(const std::vector<std::uint8_t>& pending, std::uint32_t length);

    PassThroughDevice* device_;
    std::uint32_t maxPacket_;
    Phase phase_ = Phase::Command;
    bool inHalted_ = false;
    bool outHalted_ = false;

    std::uint32_t tag_ = 0;
    std::uint32_t expected_ = 0;  // dCBWDataTransferLength
    bool toHost_ = false;
    std::vector<std::uint8_t> cdb_;
    std::vector<std::uint8_t> data_;  // collected OUT data, or the IN data to send
    std::size_t sent_ = 0;            // of the IN data or of the status wrapper
    std::uint32_t received_ = 0;      // OUT bytes the host sent, including those not kept
    std::vector<std::uint8_t> csw_;
    std::vector<std::uint8_t> sense_;  // of the last failed command; empty: none
};

}  // namespace mox3
