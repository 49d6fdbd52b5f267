#include "discovery/fake_tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace mox3::test {

std::optional<std::vector<DeviceInterface>> FakeTree::PresentInterfaces(InterfaceClass cls) {
    if (listsFail) return std::nullopt;
    if (cls == InterfaceClass::CdRom) return cdroms;
    if (cls == InterfaceClass::Disk) return disks;
    return std::vector<DeviceInterface>{};
}

bool FakeTree::Parent(DevNode node, DevNode& parent) {
    auto it = nodes.find(node);
    if (it == nodes.end() || it->second.parent == kNoNode) return false;
    parent = it->second.parent;
    return true;
}

bool FakeTree::DeviceId(DevNode node, std::u16string& id) {
    auto it = nodes.find(node);
    if (it == nodes.end()) return false;
    id = it->second.id;
    return true;
}

bool FakeTree::Locate(std::u16string_view id, DevNode& node) {
    for (auto& [n, f] : nodes) {
        if (f.id == id) {
            node = n;
            return true;
        }
    }
    return false;
}

std::optional<std::uint32_t> FakeTree::InstallState(DevNode node) {
    ++installReads;
    auto& n = nodes[node];
    if (n.installLooksBusy > 0) {
        --n.installLooksBusy;
        return 1;
    }
    return n.installState;
}

std::optional<std::uint32_t> FakeTree::StorageDeviceNumber(std::u16string_view path) {
    auto it = deviceNumbers.find(std::u16string(path));
    if (it == deviceNumbers.end()) return std::nullopt;
    return it->second;
}

std::optional<std::int64_t> FakeTree::DiskLength(std::u16string_view path) {
    auto it = lengths.find(std::u16string(path));
    if (it == lengths.end()) return std::nullopt;
    return it->second;
}

std::optional<std::uint8_t> FakeTree::StorageBusType(std::u16string_view path) {
    auto it = busTypes.find(std::u16string(path));
    if (it == busTypes.end()) return std::nullopt;
    return it->second;
}

std::optional<std::u16string> FakeTree::UsbPort(DevNode usb) {
    if (auto it = ports.find(usb); it != ports.end()) return it->second;
    if (!nodes.count(usb)) return std::nullopt;
    return Utf8ToUtf16("port-" + std::to_string(usb));
}

std::optional<std::uint64_t> FakeTree::NodeIdentity(std::u16string_view path) {
    if (auto it = nodeIdentities.find(std::u16string(path)); it != nodeIdentities.end()) {
        return it->second;
    }
    return std::nullopt;
}

std::optional<UsbPortIdentity> FakeTree::UsbIdentity(DevNode hub, DevNode usb,
                                                     std::u16string_view id) {
    auto it = identities.find(usb);
    if (it == identities.end() || nodes[usb].parent != hub || nodes[usb].id != id)
        return std::nullopt;
    return it->second;
}

namespace {

class FakeBridgeDevice : public PassThroughDevice {
  public:
    FakeBridgeDevice(FakeBridgeAnswers& answers, std::u16string name)
        : answers_(answers), name_(std::move(name)) {}
    bool Send(const ScsiRequest& r, ScsiReply& reply) override {
        auto data = [&](const std::uint8_t* bytes, std::size_t n) {
            std::memcpy(r.data, bytes, std::min<std::size_t>(n, r.length));
            reply.transferred = r.length;
        };
        auto reject = [&] {
            reply.status = kScsiStatusCheckCondition;
            reply.sense = FixedSense(kSenseIllegalRequest, kAscInvalidOpcode, 0);
            return true;
        };
        if (r.cdb[0] == 0x12) {
            if (!answers_.answersInquiry) return reject();
            std::uint8_t inquiry[36] = {0, 0, 6, 2, 31};
            data(inquiry, 36);
            return true;
        }
        if (r.cdb[0] == 0x9E || r.cdb[0] == 0x25) {
            std::uint8_t capacity[12] = {0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 2, 0};
            data(capacity, 12);
            return true;
        }
        if (r.cdb[0] != 0x3C) return reject();
        switch (r.cdb[2]) {
            case 0x52:
                if (!answers_.version) return reject();
                data(answers_.version->data(), 8);
                return true;
            case 0x51: {
                if (!answers_.status0) return reject();
                std::uint8_t status[12] = {*answers_.status0};
                data(status, 12);
                return true;
            }
            case 0x59:
                ++answers_.infoReads;
                if (!answers_.info) return reject();
                data(answers_.info->data(), 7);
                return true;
            case 0x55:
                ++answers_.chipReads;
                if (answers_.chipName.empty()) return reject();
                {
                    std::uint8_t name[72] = {};
                    std::memcpy(name, answers_.chipName.data(),
                                std::min<std::size_t>(72, answers_.chipName.size()));
                    data(name, 72);
                }
                return true;
            default:
                return reject();
        }
    }
    std::u16string Name() const override { return name_; }

    std::optional<std::uint64_t> NodeIdentity() const override { return answers_.nodeIdentity; }

  private:
    FakeBridgeAnswers& answers_;
    std::u16string name_;
};

}  // namespace

std::unique_ptr<PassThroughDevice> FakeBridges::Open(std::u16string_view path, std::string* error) {
    auto it = devices.find(std::u16string(path));
    if (it == devices.end()) {
        if (error) *error = "no such device";
        return nullptr;
    }
    return std::make_unique<FakeBridgeDevice>(it->second, it->first);
}

FakeWorld::FakeWorld() {
    tree->nodes[1] = {kNoNode, u"USB\\ROOT_HUB30\\1", 0, 0};
}

DevNode FakeWorld::AddDrive(const std::u16string& path, std::uint16_t vid, std::uint16_t pid,
                            const std::u16string& serial, int levels, bool cdrom) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X", vid, pid);
    std::u16string prefix = Utf8ToUtf16(buf);
    DevNode usb = next_++;
    tree->nodes[usb] = {1, prefix + u"\\" + serial, 0, 0};
    DevNode top = usb;
    for (int level = 1; level < levels; ++level) {
        DevNode middle = next_++;
        tree->nodes[middle] = {
            top, u"SCSI\\LEVEL" + Utf8ToUtf16(std::to_string(level)) + u"\\" + serial, 0, 0};
        top = middle;
    }
    DevNode disk = next_++;
    tree->nodes[disk] = {top, u"USBSTOR\\DISK&VEN_X&PROD_Y\\" + serial + u"&0", 0, 0};
    tree->disks.push_back({path, disk});
    tree->deviceNumbers[path] = static_cast<std::uint32_t>(tree->disks.size());
    tree->lengths[path] = 1000204886016;
    tree->busTypes[path] = kBusTypeUsb;
    tree->identities[usb] = {vid, pid, u"KAVELIN", u"ZR-MOX3", serial};
    bridges->devices[path] = {std::array<std::uint8_t, 8>{0, 0, 1, 0, 0, 0, 5, 0},
                              0x00,
                              std::array<std::uint8_t, 7>{1, 2, 3, 4, 5, 6, 7},
                              "MB86C311A",
                              true,
                              0,
                              0,
                              std::nullopt};
    if (cdrom) {
        DevNode cd = next_++;
        std::u16string cdPath = path + u"#cdrom";
        tree->nodes[cd] = {top, u"USBSTOR\\CDROM&VEN_X&PROD_Y\\" + serial + u"&1", 0, 0};
        tree->cdroms.push_back({cdPath, cd});
        tree->deviceNumbers[cdPath] = 0;
        tree->busTypes[cdPath] = kBusTypeUsb;
        bridges->devices[cdPath] = bridges->devices[path];
    }
    return usb;
}

}  // namespace mox3::test
