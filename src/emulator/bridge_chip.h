// The bridge chip itself: what it does with each request, when it starts and when it leaves
// and rejoins the bus. Works on a loaded drive; the caller saves it afterwards. A plain disk
// runs through it too: the same standard commands, disk and bus, no vendor commands, no flash.
#pragma once

#include <cstdint>

#include "emulator/drive_state.h"
#include "transport/passthrough.h"

namespace mox3 {

class BridgeChip {
  public:
    BridgeChip(LoadedDrive& drive, std::uint64_t nowMs)
        : drive_(drive), s_(drive.state), now_(nowMs) {}

    // A restarting drive whose delay has run out starts again.
    void Settle();
    // On the bus and plugged in.
    bool Present() const { return s_.bus == EmulatedBus::Present && s_.tree.attached; }
    bool IsBridge() const { return s_.kind == DeviceKind::Bridge; }
    // Runs one request sent in bus session `session`. False when it never reached the drive:
    // the drive is off the bus, the handle belongs to an older session, or the cable is
    // pulled now.
    bool Execute(std::uint64_t session, const ScsiRequest& request, ScsiReply& reply);
    void PowerCycle();
    // The bridge starts: it checks its flash and presents what it found.
    void Start(bool loaderRequested);
    // Flash bytes the last request programmed.
    std::uint32_t programmedBytes() const { return programmed_; }
    // The disk's logical blocks of the length presented now.
    std::uint64_t LogicalBlocks() const { return s_.diskBlocks / (s_.blockLength / 512); }

  private:
    bool Dispatch(const ScsiRequest& request, ScsiReply& reply);
    bool Vendor(const ScsiRequest& request, ScsiReply& reply, bool headerMatched, bool headerArmed);
    bool Answer(const ScsiRequest& request, ScsiReply& reply, const std::uint8_t* bytes,
                std::uint32_t size);
    bool Refuse(ScsiReply& reply, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0);
    // The disk behind the bridge: reads, writes, cache flushes and the unit's readiness.
    bool Medium(const ScsiRequest& request, ScsiReply& reply);
    bool ModeSense(const ScsiRequest& request, ScsiReply& reply);
    bool RequestSense(const ScsiRequest& request, ScsiReply& reply);
    bool NotReady(ScsiReply& reply);
    void LeaveBus(EmulatedBus bus, std::string reason);
    bool Busy() const;
    bool FlashCommandsAllowed() const { return s_.loader || s_.readyWithoutSwitch; }

    LoadedDrive& drive_;
    DriveState& s_;
    std::uint64_t now_;
    std::uint8_t code_ = 0;  // function code or opcode of the command being run
    std::uint32_t programmed_ = 0;
};

}  // namespace mox3
