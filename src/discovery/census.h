// The drive census: how many attached USB disks belong to a USB device of a known identity.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "discovery/device_access.h"
#include "transport/nt_dev_ctrl.h"

namespace mox3 {

// Census results.
inline constexpr int kCensusNone = 0;
inline constexpr int kCensusOne = 1;
inline constexpr int kCensusMany = 2;
inline constexpr int kCensusNoUpdate = 3;  // exactly one, and a no-update identity was seen

// One disk on the USB bus.
struct UsbDiskEntry {
    DeviceInterface disk;
    std::array<std::uint8_t, 122> inquiryData{};  // the first 36 receive the INQUIRY answer
};

class CUsbDiskList {
  public:
    explicit CUsbDiskList(DeviceAccess devices) : devices_(std::move(devices)) {}
    CUsbDiskList(const CUsbDiskList&) = delete;
    CUsbDiskList& operator=(const CUsbDiskList&) = delete;

    // Rebuilds the entries from the present disk interfaces on a USB bus; returns how many.
    int ListUsbDisks();
    // Opens the selected entry's disk and reads its capacity; 1 when the disk opened.
    int OpenSelectedDisk();
    // A standard INQUIRY into the selected entry's inquiry data.
    bool InquireSelectedDisk();

    void Select(int index) { selected_ = index; }
    const std::vector<UsbDiskEntry>& entries() const { return entries_; }
    CSpti& transport() { return transport_; }

  private:
    DeviceAccess devices_;
    CSpti transport_;
    int selected_ = -1;
    std::vector<UsbDiskEntry> entries_;
};

// The USB identities the census knows, and which of them mean a model that needs no update.
struct KnownIdentity {
    UsbIds ids;
    bool noUpdate;
};
const std::vector<KnownIdentity>& KnownIdentities();

// 0, 1, 2 or 3 as above.
// `devices`, when given, receives how many USB devices of the family were counted.
int CountKnownDrives(const DeviceAccess& access, int* devices = nullptr);

}  // namespace mox3
