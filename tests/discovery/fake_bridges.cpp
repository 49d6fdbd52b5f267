#include "discovery/fake_bridges.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace mox3::test {

namespace {

class FakeBridgeDevice : public PassThroughDevice {
  public:
    FakeBridgeDevice(FakeBridgeAnswers& answers, std::u16string name)
        : answers_(answers), name_(std::move(name)) {}

    // INQUIRY, READ CAPACITY and the vendor reads of version, status and chip name; anything
    // else is rejected.
    bool Send(const ScsiRequest& r, ScsiReply& reply) override {
        static const std::uint8_t kInquiry[36] = {0, 0, 6, 2, 31};
        static const std::uint8_t kCapacity[12] = {0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 2, 0};
        static const std::uint8_t kVersion[8] = {0, 0, 1, 0, 0, 0, 5, 0};
        static const std::uint8_t kChipName[72] = "MB86C311A";
        const std::uint8_t status[12] = {answers_.status0};
        std::span<const std::uint8_t> answer;
        if (r.cdb[0] == 0x12) answer = kInquiry;
        if (r.cdb[0] == 0x9E || r.cdb[0] == 0x25) answer = kCapacity;
        if (r.cdb[0] == 0x3C && r.cdb[2] == 0x52) answer = kVersion;
        if (r.cdb[0] == 0x3C && r.cdb[2] == 0x51) answer = status;
        if (r.cdb[0] == 0x3C && r.cdb[2] == 0x55) answer = kChipName;
        if (answer.empty()) {
            reply.status = kScsiStatusCheckCondition;
            reply.sense = FixedSense(kSenseIllegalRequest, kAscInvalidOpcode, 0);
            return true;
        }
        std::memcpy(r.data, answer.data(), std::min<std::size_t>(answer.size(), r.length));
        reply.transferred = r.length;
        return true;
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
