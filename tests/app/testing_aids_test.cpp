// The testing aids stay with emulated drives: a drive without the emulator's mark takes them
// away before it is sent anything that changes it.
#include <gtest/gtest.h>

#include <cstring>

#include "app/session/session.h"
#include "base/clock.h"
#include "bridge/vendor_commands.h"
#include "transport/emulator_mark.h"
#include "transport/passthrough.h"

namespace mox3 {
namespace {

struct Drive {
    bool marked = false;
    std::vector<std::uint8_t> opcodes;
};

class FakeDrives : public PassThroughBackend {
  public:
    std::map<std::u16string, Drive> drives;
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string*) override {
        auto found = drives.find(std::u16string(path));
        if (found == drives.end()) return nullptr;
        return std::make_unique<Device>(found->second);
    }

  private:
    class Device : public PassThroughDevice {
      public:
        explicit Device(Drive& drive) : drive_(drive) {}
        bool Send(const ScsiRequest& request, ScsiReply& reply) override {
            drive_.opcodes.push_back(request.cdb[0]);
            reply = {};
            if (request.cdb[0] == kOpInquiry && (request.cdb[1] & 1) != 0) {
                if (!drive_.marked || request.cdb[2] != kEmulatorMarkPage) {
                    reply.status = kScsiStatusCheckCondition;
                    return true;
                }
                request.data[1] = kEmulatorMarkPage;
                request.data[3] = static_cast<std::uint8_t>(kEmulatorMarkText.size());
                std::memcpy(request.data + 4, kEmulatorMarkText.data(), kEmulatorMarkText.size());
            }
            return true;
        }
        std::u16string Name() const override { return u"fake"; }

      private:
        Drive& drive_;
    };
};

ScsiRequest Request(std::uint8_t opcode) {
    ScsiRequest r;
    r.cdb[0] = opcode;
    r.cdbLength = 10;
    return r;
}

TEST(TestingAids, OnlyEmulatedDrivesKeepThem) {
    ReinstateTestingAids();
    auto drives = std::make_shared<FakeDrives>();
    drives->drives[u"/dev/sdb"] = Drive{true, {}};
    drives->drives[u"/dev/sdc"] = Drive{false, {}};
    auto guarded = GuardTestingAids(drives);
    ScsiReply reply;

    // Reading a drive asks nothing; changing a marked one keeps the aids.
    auto marked = guarded->Open(u"/dev/sdb", nullptr);
    ASSERT_TRUE(marked);
    marked->Send(Request(kOpReadCapacity10), reply);
    EXPECT_EQ(drives->drives[u"/dev/sdb"].opcodes.size(), 1u);
    marked->Send(Request(kOpWriteBuffer), reply);
    marked->Send(Request(kOpWriteBuffer), reply);
    EXPECT_FALSE(TestingAidsRevoked());
    EXPECT_EQ(drives->drives[u"/dev/sdb"].opcodes,
              (std::vector<std::uint8_t>{kOpReadCapacity10, kOpInquiry, kOpWriteBuffer,
                                         kOpWriteBuffer}));

    // A drive without the mark: the aids are gone before its first change arrives.
    auto real = guarded->Open(u"/dev/sdc", nullptr);
    real->Send(Request(kOpReadCapacity10), reply);
    EXPECT_FALSE(TestingAidsRevoked());
    real->Send(Request(kOpWriteBuffer), reply);
    EXPECT_TRUE(TestingAidsRevoked());
    ReinstateTestingAids();
}

}  // namespace
}  // namespace mox3
