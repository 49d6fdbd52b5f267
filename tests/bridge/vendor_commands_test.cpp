// The vendor command blocks, their headers and the diagnosis after a failed flash command.
#include "bridge/vendor_commands.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "transport/fake_device.h"

namespace mox3 {
namespace {

using test::FakeBackendScope;
using Bytes = std::vector<std::uint8_t>;

// The command blocks each command puts on the wire, written out by hand: the emulated bridge
// takes its codes from the same header, so only these bytes tell a wrong code or header
// checksum apart.
TEST(VendorBlocks, EveryCommandSendsItsHandWrittenBlock) {
    FakeBackendScope fake;
    auto clock = std::make_shared<ManualClock>();
    CBridgeMgr mgr;
    mgr.clock = clock;
    CNtDevCtrl handle;
    ASSERT_TRUE(handle.Open(fake.backend(), u"drive"));
    CSpti spti;
    ASSERT_TRUE(spti.Open(fake.backend(), u"drive"));
    std::uint8_t buffer[1024] = {};
    auto& sent = fake.state().requests;

    // (A braced list calls them in order.)
    EXPECT_EQ((std::vector<int>{
                  BeginFlashUpdate(mgr, handle), WriteFlash(mgr, handle, 0x012345, 1024, buffer),
                  ReadFlash(handle, buffer, mgr, 0x00F000), SetFlashParameters(handle, buffer),
                  RestartBridge(mgr, handle), ReadBridgeStatus(buffer, handle),
                  ReadFirmwareVersion(buffer, handle), ReadBridgeInfo(buffer, handle)}),
              std::vector<int>(8, 1));
    EXPECT_TRUE(ReadBridgeStatus(spti, buffer, 12) && SelectUpdateMode(spti) &&
                RestartBridge(spti) && SetSectorMode(spti, 1) && SetSectorMode(spti, 0) &&
                ReadChipName(spti, buffer));
    // The block, the direction ('-': none) and the length of each request.
    const std::tuple<const char*, char, std::uint32_t> expected[] = {
        {"3B0110207FA4464D4C00", 'o', 0},  {"3B012080000000000000", 'o', 0},
        {"3B011021DC59464D4C00", 'o', 0},  {"3B012100452301000400", 'o', 1024},
        {"3B0110220F9D464D4C00", 'o', 0},  {"3C01220000F000000400", 'i', 1024},
        {"3B012400000000000000", 'o', 8},  {"3B015000000000000000", 'o', 0},
        {"3C015100000000000000", 'i', 12}, {"3C015200000000000000", 'i', 8},
        {"3C015900000000000000", 'i', 7},  {"3C015100000000000000", 'i', 12},
        {"3B015300000000000000", '-', 0},  {"3B015000000000000000", '-', 0},
        {"3B018A00010000000000", '-', 0},  {"3B018A00000000000000", '-', 0},
        {"3C015501000000000000", 'i', 72},
    };
    ASSERT_EQ(sent.size(), std::size(expected));
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto [cdb, direction, length] = expected[i];
        // A command without data may go out as either direction; its length is what counts.
        const char went = length == 0                               ? direction
                          : sent[i].direction == DataDirection::Out ? 'o'
                          : sent[i].direction == DataDirection::In  ? 'i'
                                                                    : '-';
        EXPECT_EQ(std::tuple(HexString(sent[i].cdb), went, sent[i].length), expected[i])
            << "request " << i;
    }
}

TEST(HeadedCommands, FailureLeavesADiagnosis) {
    FakeBackendScope fake;
    auto clock = std::make_shared<ManualClock>();
    CBridgeMgr mgr;
    mgr.clock = clock;
    CNtDevCtrl handle;
    ASSERT_TRUE(handle.Open(fake.backend(), u"drive"));
    std::uint8_t page[1024] = {};

    // Header accepted, write refused, status read in the loader: big-endian words.
    fake.Queue({});
    fake.Queue({true, kScsiStatusCheckCondition, {}, {}});
    fake.Queue(
        {true, 0, {}, {0x81, 0x02, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}});
    EXPECT_EQ(WriteFlash(mgr, handle, 0x1000, 1024, page), 0);
    EXPECT_EQ(Utf16ToUtf8(mgr.diagnosticText), "(81 02 03 04 1234 5678 9ABC DEF0)");
    EXPECT_EQ(clock->sleptMs(), 1000u);
    auto& sent = fake.state().requests;
    ASSERT_EQ(sent.size(), 3u);  // header, command, then the status

    // Normal firmware: little-endian words, the last two in decimal.
    fake.Queue({});
    fake.Queue({true, kScsiStatusCheckCondition, {}, {}});
    fake.Queue({true, 0, {}, {0x80, 0, 0, 0, 0x34, 0x12, 0x78, 0x56, 0x0A, 0x00, 0xFF, 0xFF}});
    EXPECT_EQ(ReadFlash(handle, page, mgr, 0), 0);
    EXPECT_EQ(Utf16ToUtf8(mgr.diagnosticText), "(80 00 00 00 1234 5678 10 65535)");

    // A refused header: no command, no status read, no text.
    std::size_t before = sent.size();
    fake.Queue({true, kScsiStatusCheckCondition, {}, {}});
    EXPECT_EQ(BeginFlashUpdate(mgr, handle), 0);
    EXPECT_TRUE(mgr.diagnosticText.empty());
    EXPECT_EQ(sent.size(), before + 1);

    // A status read that fails too leaves the text empty.
    fake.Queue({});
    fake.Queue({false, 0, {}, {}});
    fake.Queue({false, 0, {}, {}});
    EXPECT_EQ(BeginFlashUpdate(mgr, handle), 0);
    EXPECT_TRUE(mgr.diagnosticText.empty());

    // Success, and sense data does not matter to a direct command.
    fake.Queue({});
    fake.Queue({true, 0, FixedSense(1, 0, 0), {}});
    EXPECT_EQ(BeginFlashUpdate(mgr, handle), 1);
}

TEST(DirectCommands, ReadsClearTheirBuffersAndCapacityFallsBack) {
    FakeBackendScope fake;
    CNtDevCtrl handle;
    ASSERT_TRUE(handle.Open(fake.backend(), u"drive"));
    std::uint8_t version[8];
    std::fill(std::begin(version), std::end(version), 0x55);
    fake.Queue({true, kScsiStatusCheckCondition, {}, {1, 2, 3}});
    EXPECT_EQ(ReadFirmwareVersion(version, handle), 0);
    EXPECT_EQ(std::count(std::begin(version), std::end(version), 0), 5);  // the rest stays 0

    CSpti spti;
    ASSERT_TRUE(spti.Open(fake.backend(), u"drive"));
    std::uint32_t blockLength = 0;
    fake.Queue({true, kScsiStatusCheckCondition, FixedSense(5, 0x20, 0), {}});
    fake.Queue({true, 0, {}, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00}});
    EXPECT_EQ(ReadCapacity(spti, blockLength), 0x10001);
    EXPECT_EQ(blockLength, 4096u);
    auto& sent = fake.state().requests;
    EXPECT_EQ(HexString(sent[sent.size() - 2].cdb), "9E1000000000000000000000000C0000");
    EXPECT_EQ(sent[sent.size() - 2].timeoutSeconds, 2u);
    EXPECT_EQ(sent.back().cdb[0], 0x25);
    fake.Queue({false, 0, {}, {}});
    fake.Queue({false, 0, {}, {}});
    EXPECT_EQ(ReadCapacity(spti, blockLength), -1);
}

}  // namespace
}  // namespace mox3
