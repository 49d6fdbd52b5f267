// Faults set on a drive: failing commands, corrupt read-back and a pulled cable (a bridge that
// stays busy, refuses the switch or never comes back: the preparation's and the update run's
// tests).
#include "emulator/emulator_fixture.h"

namespace mox3::test {
namespace {

using EmulatorFaults = EmulatorTest;
using Kind = EmulatedFault::Kind;

// Per command sent: '+' answered GOOD, the sense key's digit when refused, 'x' not delivered.
std::string Outcomes(PassThroughDevice& device, std::initializer_list<Cdb> cdbs) {
    std::string out;
    for (const Cdb& cdb : cdbs) {
        Answer a = Send(device, cdb, cdb[0] == 0x12 ? 36 : cdb[2] == 0x51 ? 12 : 8);
        out += a.good() ? '+' : a.delivered ? static_cast<char>('0' + a.senseKey()) : 'x';
    }
    return out;
}

TEST_F(EmulatorFaults, FailingCommandsByPositionAndByKind) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    auto device = Open(drive);
    SetFault(drive, {Kind::FailCommand, 2});
    EXPECT_EQ(Outcomes(*device, {kVersion, kVersion, kVersion}), "+4+") << "a hardware error";
    SetFault(drive, {Kind::FailKind, 2, 0x51});
    EXPECT_EQ(Outcomes(*device, {kStatus, kVersion, kStatus, kStatus}), "++44");
    SetFault(drive, {Kind::FailKind, 1, 0x12});
    EXPECT_EQ(Outcomes(*device, {kInquiry}), "4");
    EXPECT_FALSE(View(drive).faults.empty());
    ClearFaults(drive);
    EXPECT_EQ(Outcomes(*device, {kStatus}), "+");
    EXPECT_TRUE(View(drive).faults.empty());
}

TEST_F(EmulatorFaults, CorruptReadBackChangesOneByteAndNotTheFlash) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    SetFault(drive, {Kind::CorruptRead, 1, 0, 8192 + 1030});
    auto loader = RestartIntoLoader(drive);
    const std::vector<std::uint8_t> flash = View(drive).flash;
    Answer page = SendHeaded(*loader, ReadFlashCdb(8192 + 1024), 1024);
    ASSERT_TRUE(page.good());
    for (std::size_t i = 0; i < 1024; ++i) {
        EXPECT_EQ(page.data[i] != flash[8192 + 1024 + i], i == 6) << i;
    }
    EXPECT_EQ(View(drive).flash, flash) << "the flash itself holds";
}

TEST_F(EmulatorFaults, APulledCableLastsUntilAPowerCycle) {
    auto drive = MakeProgrammedDrive(2, "010203", "SERIAL0001");
    auto device = Open(drive);
    std::string why;
    SetFault(drive, {Kind::PullCable, 3});
    EXPECT_EQ(Outcomes(*device, {kStatus, kStatus, kStatus, kStatus}), "++xx");
    EXPECT_EQ(Open(drive, &why), nullptr);
    EXPECT_NE(why.find("cable pulled"), std::string::npos) << why;
    clock_->Advance(3'600'000);
    EXPECT_EQ(Open(drive), nullptr);
    PowerCycle(drive);
    ASSERT_NE(device = Open(drive), nullptr);
    EXPECT_EQ(Outcomes(*device, {kStatus}), "+") << "the fault struck once";
    EXPECT_FALSE(View(drive).loader);
}

}  // namespace
}  // namespace mox3::test
