#include "discovery/fake_tree.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"

namespace mox3::test {

std::optional<std::vector<DeviceInterface>> FakeTree::PresentInterfaces(InterfaceClass cls) {
    if (listsFail) return std::nullopt;
    if (cls == InterfaceClass::CdRom) return cdroms;
    if (cls == InterfaceClass::Disk) return disks;
    return std::vector<DeviceInterface>{};
}

std::optional<bool> FakeTree::Ready(DevNode node) {
    if (busyLooks[node] > 0) {
        --busyLooks[node];
        return false;
    }
    return true;
}

std::optional<std::u16string> FakeTree::UsbPort(DevNode usb) {
    if (auto it = ports.find(usb); it != ports.end()) return it->second;
    if (!ids.count(usb)) return std::nullopt;
    return Utf8ToUtf16("port-" + std::to_string(usb));
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

FakeWorld::FakeWorld() = default;

DevNode FakeWorld::AddDrive(const std::u16string& path, std::uint16_t vid, std::uint16_t pid,
                            const std::u16string& serial, bool cdrom) {
    const DevNode usb = next_++;
    tree->ids[usb] = {vid, pid};
    tree->identities[usb] = {vid, pid, u"KAVELIN", u"ZR-MOX3", serial};
    bridges->devices[path] = {};
    AddInterface(usb, path, path, 0);
    tree->lengths[path] = 1000204886016;
    if (cdrom) AddInterface(usb, path + u"#cdrom", path, 1, true);
    return usb;
}

DevNode FakeWorld::AddInterface(DevNode usb, const std::u16string& path,
                                const std::u16string& like, std::int32_t lun, bool cdrom) {
    const DevNode node = next_++;
    tree->usbDevices[node] = usb;
    tree->luns[node] = lun;
    (cdrom ? tree->cdroms : tree->disks).push_back({path, node});
    tree->deviceNumbers[path] = static_cast<std::uint32_t>(tree->disks.size());
    tree->onUsb[path] = true;
    bridges->devices[path] = bridges->devices[like];
    return node;
}

}  // namespace mox3::test
