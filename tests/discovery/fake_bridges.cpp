#include "discovery/fake_bridges.h"

#include <algorithm>
#include <cstring>


namespace mox3::test {

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

}  // namespace mox3::test
