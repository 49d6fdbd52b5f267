// The usbredir device side as a virtual machine's redirection device meets it, with the host
// side written out packet by packet here: one conversation through a restart.
#include <cstring>

#include "base/bytes.h"
#include "emulator/emulator_fixture.h"
#include "emulator/usbredir_device.h"

namespace mox3::test {
namespace {

using namespace usbredir;
using Bytes = std::vector<std::uint8_t>;

Bytes Encode(std::uint32_t type, std::uint64_t id, const Bytes& payload, bool ids64 = true) {
    Bytes out;
    AppendLe(out, type, 4);
    AppendLe(out, payload.size(), 4);
    AppendLe(out, id, ids64 ? 8 : 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes Hello() {
    Bytes hello(kHelloVersionSize, 0);
    std::memcpy(hello.data(), "test host", 9);
    AppendLe(hello,
             kCapConnectDeviceVersion | kCapEpInfoMaxPacketSize | kCapIds64 | kCapBulkLength32, 4);
    return Encode(kHello, 0, hello, false);
}

Bytes Bulk(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length, const Bytes& data = {}) {
    Bytes p = {endpoint, 0};
    AppendLe(p, length & 0xFFFF, 2);
    AppendLe(p, 0, 4);
    AppendLe(p, length >> 16, 2);
    p.insert(p.end(), data.begin(), data.end());
    return Encode(kBulkPacket, id, p);
}

// Packets as they come from the device side, split out of a byte stream, each as
// "type id payload-in-hex"; "" when no whole packet is there.
class PacketReader {
  public:
    void Add(std::span<const std::uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    std::string Next(bool ids64 = true) {
        const std::size_t header = ids64 ? 16 : 12;
        if (bytes_.size() < header || bytes_.size() < header + ReadLe(bytes_, 4, 4)) return "";
        const std::size_t end = header + ReadLe(bytes_, 4, 4);
        std::string text = std::to_string(ReadLe(bytes_, 0, 4)) + ' ' +
                           std::to_string(ReadLe(bytes_, 8, ids64 ? 8 : 4)) + ' ' +
                           HexString(std::span(bytes_.data() + header, end - header));
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(end));
        return text;
    }

  private:
    Bytes bytes_;
};

class UsbRedirTest : public EmulatorTest {
  protected:
    std::filesystem::path drive_ = MakeProgrammedDrive(2, "0102030000010000", "ABCDEF0123456789");
    PacketReader reader_;
    UsbRedirDevice device_{drive_, clock_, [this](std::span<const std::uint8_t> bytes) {
                               reader_.Add(bytes);
                               return true;
                           }};
};

TEST_F(UsbRedirTest, ConnectDescriptorInquiryAndARestartIntoTheLoader) {
    ASSERT_TRUE(device_.Start());
    ASSERT_TRUE(device_.Receive(Hello()));
    // The hello, the interface and the endpoints (the kernel over QEMU reads those), then the
    // connect: high speed, 0x5E3B.
    ASSERT_EQ(reader_.Next(false).substr(0, 4), "0 0 ");
    ASSERT_EQ(reader_.Next().substr(0, 4), "4 0 ");
    ASSERT_EQ(reader_.Next().substr(0, 4), "5 0 ");
    EXPECT_EQ(reader_.Next(), "1 0 020000003B5E347C0100");  // connect: high speed, 0x5E3B
    ASSERT_TRUE(device_.connected());
    ASSERT_TRUE(device_.Receive(Encode(kSetConfiguration, 5, {1})));
    EXPECT_EQ(reader_.Next(), "8 5 0001");

    ASSERT_TRUE(device_.Receive(Bulk(7, 0x02, 31, Cbw(0x1234, 36, true, kInquiry))));
    EXPECT_EQ(reader_.Next(), "101 7 02001F00000000000000");
    ASSERT_TRUE(device_.Receive(Bulk(8, 0x81, 512)));
    const auto inquiry = View(drive_).inquiry;
    EXPECT_EQ(reader_.Next(), "101 8 81002400000000000000" + HexString(inquiry));
    // A buffer too short for the status wrapper babbles; the wrapper comes again.
    ASSERT_TRUE(device_.Receive(Bulk(9, 0x81, 8)));
    EXPECT_EQ(reader_.Next(), "101 9 810608000000000000005553425334120000");
    ASSERT_TRUE(device_.Receive(Bulk(9, 0x81, 13)));
    EXPECT_EQ(reader_.Next(), "101 9 81000D0000000000000055534253341200000000000000");

    // SelectUpdateMode, then RestartBridge: its status still goes out, then the device goes.
    for (std::uint8_t function : {std::uint8_t{0x53}, std::uint8_t{0x50}}) {
        ASSERT_TRUE(device_.Receive(
            Bulk(function, 0x02, 31, Cbw(function, 0, false, VendorCdb(0x3B, function)))));
        ASSERT_TRUE(device_.Receive(Bulk(function + 100, 0x81, 13)));
        EXPECT_EQ(device_.connected(), function == 0x53);
    }
    std::vector<std::string> packets;
    for (std::string q = reader_.Next(); !q.empty(); q = reader_.Next()) packets.push_back(q);
    EXPECT_EQ(packets, (std::vector<std::string>{
                           "101 83 02001F00000000000000",
                           "101 183 81000D0000000000000055534253530000000000000000",
                           "101 80 02001F00000000000000",
                           "101 180 81000D0000000000000055534253500000000000000000", "2 0 "}));

    // Away for the restart delay; then back in the loader, with the bridge's own identity.
    EXPECT_EQ(device_.Poll(), kRestartDelay);
    EXPECT_FALSE(device_.connected());
    clock_->Advance(kRestartDelay);
    device_.Poll();
    ASSERT_TRUE(device_.connected());
    EXPECT_EQ(device_.descriptors().VendorId(), kBareBridgeVendorId);
    std::string back;
    for (std::string q = reader_.Next(); !q.empty(); q = reader_.Next()) back = q;
    EXPECT_EQ(back, "1 0 02000000C50426200001");  // connect: 0x04C5 0x2026
}

}  // namespace
}  // namespace mox3::test
