// The usbredir device side as a virtual machine's redirection device meets it, with the host
// side written out packet by packet here: one conversation through a restart, and the same
// device served over a socket pair.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>

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
        payload = Bytes(bytes_.begin() + static_cast<std::ptrdiff_t>(header),
                        bytes_.begin() + static_cast<std::ptrdiff_t>(end));
        std::string text = std::to_string(ReadLe(bytes_, 0, 4)) + ' ' +
                           std::to_string(ReadLe(bytes_, 8, ids64 ? 8 : 4)) + ' ' +
                           HexString(payload);
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(end));
        return text;
    }
    Bytes payload;  // the last packet's

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
    ASSERT_EQ(reader_.Next(false).substr(0, 4), "0 0 ");
    const Bytes& p = reader_.payload;
    ASSERT_EQ(p.size(), kHelloVersionSize + 4);
    const auto wanted = kCapEpInfoMaxPacketSize | kCapIds64 | kCapBulkLength32;
    EXPECT_EQ(ReadLe(p, kHelloVersionSize, 4) & wanted, wanted);

    // Interface: mass storage, bulk-only; endpoints 0x81 and 0x02 bulk, 512 bytes a packet.
    ASSERT_EQ(reader_.Next().substr(0, 4), "4 0 ");
    EXPECT_EQ(std::tuple(ReadLe(p, 0, 4), p.at(4 + 32), p.at(4 + 96)), std::tuple(1u, 0x08, 0x50));
    ASSERT_EQ(reader_.Next().substr(0, 4), "5 0 ");
    ASSERT_EQ(p.size(), 96u + 64u);
    EXPECT_EQ(std::tuple(p[16 + 1], p[2], ReadLe(p, 96 + 2 * (16 + 1), 2)),
              std::tuple(kTypeBulk, kTypeBulk, 512u));
    EXPECT_EQ(reader_.Next(), "1 0 020000003B5E347C0100");  // connect: high speed, 0x5E3B
    ASSERT_TRUE(device_.connected());
    ASSERT_TRUE(device_.Receive(Encode(kSetConfiguration, 5, {1})));
    EXPECT_EQ(reader_.Next(), "8 5 0001");
    // GET_DESCRIPTOR(DEVICE), asked for 64 bytes, gets 18.
    ASSERT_TRUE(
        device_.Receive(Encode(kControlPacket, 6, {0x80, 6, 0x80, 0, 0x00, 0x01, 0, 0, 64, 0})));
    EXPECT_EQ(reader_.Next(), "100 6 8006800000010000120012011002000000403B5E347C010001020301");

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
    // Unconfigured after the new connect: bulk packets are refused until SET_CONFIGURATION.
    ASSERT_TRUE(device_.Receive(Bulk(50, 0x81, 13)));
    EXPECT_EQ(reader_.Next(), "101 50 81020000000000000000");
}

TEST_F(UsbRedirTest, ServedOverASocketUntilThePeerHangsUp) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    timeval timeout{10, 0};  // a hang fails the test instead of blocking it
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    bool served = false;
    std::string why;
    std::thread device([&] { served = ServeUsbRedir(fds[0], drive_, clock_, nullptr, &why); });
    // Closing the host's end ends the device side, also when an assertion leaves the test
    // early: a thread still running at the end would terminate the whole program.
    auto hangUp = [&] {
        if (!device.joinable()) return;
        ::close(fds[1]);
        device.join();
        ::close(fds[0]);
    };
    struct AtExit {
        std::function<void()> run;
        ~AtExit() { run(); }
    } atExit{hangUp};

    // The hello, then the connect's three packets, in whatever pieces the stream gives them.
    const auto hello = Hello();
    ASSERT_EQ(::write(fds[1], hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
    PacketReader reader;
    std::vector<std::string> types;
    while (types.size() < 4) {
        if (std::string p = reader.Next(!types.empty()); !p.empty()) {
            types.push_back(p.substr(0, p.find(' ')));
            continue;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fds[1], buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        reader.Add(std::span(buffer, static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(types, (std::vector<std::string>{"0", "4", "5", "1"}));
    hangUp();
    EXPECT_TRUE(served) << why;
}

}  // namespace
}  // namespace mox3::test
