#include "discovery/census.h"

#include <algorithm>

#include "base/text.h"
#include "bridge/vendor_commands.h"
#include "discovery/device_tree.h"
#include "discovery/drive_models.h"

namespace mox3 {

namespace {

constexpr std::size_t kPrefixLength = 21;  // "USB\VID_xxxx&PID_xxxx"
constexpr std::uint32_t kCensusTimeoutSeconds = 2;

}  // namespace

const std::vector<IdentityPrefix>& KnownIdentityPrefixes() {
    static const std::vector<IdentityPrefix> prefixes = [] {
        std::vector<IdentityPrefix> p;
        auto add = [&](std::uint16_t vendor, std::uint16_t product, bool noUpdate) {
            IdentityPrefix prefix{UsbIdPrefix(vendor, product), noUpdate};
            for (const IdentityPrefix& known : p) {
                if (known.text == prefix.text) return;  // one prefix for the names of a product id
            }
            p.push_back(prefix);
        };
        for (const DriveModel& m : DriveModels()) {
            if (m.configResource != 0) add(kMakerVendorId, m.productId, false);
        }
        add(kBareBridgeVendorId, kFirstGenerationBareProductId, false);
        add(kBareBridgeVendorId, kSecondGenerationBareProductId, false);
        for (const DriveModel& m : DriveModels()) {
            if (m.configResource == 0) add(kMakerVendorId, m.productId, true);
        }
        return p;
    }();
    return prefixes;
}

int CUsbDiskList::ListUsbDisks() {
    entries_.clear();
    const auto& tree = devices_.tree;
    if (!tree || !devices_.backend) return 0;
    auto interfaces = tree->PresentInterfaces(InterfaceClass::Disk);
    if (!interfaces) return 0;
    for (const DeviceInterface& iface : *interfaces) {
        UsbDiskEntry entry;
        entry.devicePath = iface.path;
        {
            CNtDevCtrl disk;
            if (!disk.Open(*devices_.backend, iface.path)) continue;
            if (auto bus = tree->StorageBusType(iface.path)) {
                entry.adapterDescriptor[kAdapterBusTypeOffset] = *bus;
            }
        }
        std::u16string id;
        if (tree->DeviceId(iface.node, id)) entry.instanceId = id;
        if (entry.adapterDescriptor[kAdapterBusTypeOffset] == kBusTypeUsb) {
            entries_.push_back(std::move(entry));
        }
    }
    return static_cast<int>(entries_.size());
}

int CUsbDiskList::OpenSelectedDisk() {
    if (selected_ < 0 || static_cast<std::size_t>(selected_) >= entries_.size()) return 0;
    if (!devices_.backend ||
        !transport_.Open(*devices_.backend,
                         entries_[static_cast<std::size_t>(selected_)].devicePath)) {
        return 0;
    }
    std::uint32_t blockLength = 0;
    ReadCapacity(transport_, blockLength);  // the census does not use the answer
    return 1;
}

bool CUsbDiskList::InquireSelectedDisk() {
    if (selected_ < 0 || static_cast<std::size_t>(selected_) >= entries_.size()) return false;
    UsbDiskEntry& entry = entries_[static_cast<std::size_t>(selected_)];
    transport_.Setup(DataDirection::In, 6, entry.inquiryData.data(), kInquirySize,
                     kCensusTimeoutSeconds);
    transport_.cdb[0] = kOpInquiry;
    transport_.cdb[4] = static_cast<std::uint8_t>(kInquirySize);
    return transport_.Execute();
}

int CountKnownDrives(const DeviceAccess& access, int* devices) {
    CUsbDiskList list(access);
    const auto& tree = access.tree;
    const auto& prefixes = KnownIdentityPrefixes();
    // The USB devices found, each once: a composite device shows its identity on the interface
    // node as well as on the device node above it, and one device may carry several disks.
    std::vector<DevNode> counted;
    bool noUpdate = false;
    const int n = list.ListUsbDisks();
    for (int i = 0; i < n && tree; ++i) {
        list.Select(i);
        if (list.OpenSelectedDisk() == 0 || !list.InquireSelectedDisk()) continue;
        DevNode node = kNoNode;
        if (!tree->Locate(list.entries()[static_cast<std::size_t>(i)].instanceId, node)) continue;
        // Two levels up: an identity at either level makes the disk a known drive, named by
        // the highest node that carries it.
        DevNode device = kNoNode;
        bool deviceNoUpdate = false;
        for (int level = 0; level < 2; ++level) {
            DevNode parent = kNoNode;
            std::u16string id;
            if (!tree->Parent(node, parent) || !tree->DeviceId(parent, id)) break;
            node = parent;
            std::u16string_view head = std::u16string_view(id).substr(0, kPrefixLength);
            auto match = std::find_if(prefixes.begin(), prefixes.end(),
                                      [&](const IdentityPrefix& p) { return p.text == head; });
            if (match == prefixes.end()) continue;
            device = node;
            deviceNoUpdate = match->noUpdate;
        }
        if (device == kNoNode) continue;
        if (deviceNoUpdate) noUpdate = true;
        if (std::find(counted.begin(), counted.end(), device) == counted.end()) {
            counted.push_back(device);
        }
    }
    list.transport().Close();
    const std::size_t count = counted.size();
    if (devices) *devices = static_cast<int>(count);
    if (count == 0) return kCensusNone;
    if (count > 1) return kCensusMany;
    return noUpdate ? kCensusNoUpdate : kCensusOne;
}

}  // namespace mox3
