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

constexpr std::uint32_t kHostCaps =
    kCapConnectDeviceVersion | kCapEpInfoMaxPacketSize | kCapIds64 | kCapBulkLength32;

struct Packet {
    std::uint32_t type = 0xFFFFFFFF;
    std::uint64_t id = 0;
    std::vector<std::uint8_t> payload;
};

std::vector<std::uint8_t> Encode(std::uint32_t type, std::uint64_t id,
                                 const std::vector<std::uint8_t>& payload, bool ids64 = true) {
    std::vector<std::uint8_t> out;
    AppendLe(out, type, 4);
    AppendLe(out, payload.size(), 4);
    AppendLe(out, id, ids64 ? 8 : 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<std::uint8_t> Hello() {
    std::vector<std::uint8_t> hello(kHelloVersionSize, 0);
    std::memcpy(hello.data(), "test host", 9);
    AppendLe(hello, kHostCaps, 4);
    return Encode(kHello, 0, hello, false);
}

std::vector<std::uint8_t> Bulk(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length,
                               const std::vector<std::uint8_t>& data = {}) {
    std::vector<std::uint8_t> p = {endpoint, 0};
    AppendLe(p, length & 0xFFFF, 2);
    AppendLe(p, 0, 4);
    AppendLe(p, length >> 16, 2);
    p.insert(p.end(), data.begin(), data.end());
    return Encode(kBulkPacket, id, p);
}

// Packets as they come from the device side, split out of a byte stream.
class PacketReader {
  public:
    void Add(std::span<const std::uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    std::optional<Packet> Next(bool ids64 = true) {
        const std::size_t header = ids64 ? 16 : 12;
        if (bytes_.size() < header) return std::nullopt;
        const std::size_t length = ReadLe(bytes_, 4, 4);
        if (bytes_.size() < header + length) return std::nullopt;
        Packet p{static_cast<std::uint32_t>(ReadLe(bytes_, 0, 4)),
                 ReadLe(bytes_, 8, ids64 ? 8 : 4),
                 {bytes_.begin() + static_cast<std::ptrdiff_t>(header),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(header + length)}};
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(header + length));
        return p;
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

class UsbRedirTest : public EmulatorTest {
  protected:
    // The next packet the device side sent; type 0xFFFFFFFF when there is none.
    Packet Next(bool ids64 = true) { return reader_.Next(ids64).value_or(Packet{}); }

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
    Packet hello = Next(false);
    ASSERT_EQ(hello.type, kHello);
    ASSERT_EQ(hello.payload.size(), kHelloVersionSize + 4);
    const auto caps = static_cast<std::uint32_t>(ReadLe(hello.payload, kHelloVersionSize, 4));
    EXPECT_EQ(caps & (kCapEpInfoMaxPacketSize | kCapIds64 | kCapBulkLength32),
              kCapEpInfoMaxPacketSize | kCapIds64 | kCapBulkLength32);

    Packet interfaces = Next();
    ASSERT_EQ(interfaces.type, kInterfaceInfo);
    EXPECT_EQ(ReadLe(interfaces.payload, 0, 4), 1u);
    EXPECT_EQ(interfaces.payload[4 + 32], 0x08);  // mass storage
    EXPECT_EQ(interfaces.payload[4 + 96], 0x50);  // bulk-only
    Packet endpoints = Next();
    ASSERT_EQ(endpoints.type, kEpInfo);
    ASSERT_EQ(endpoints.payload.size(), 96u + 64u);
    EXPECT_EQ(endpoints.payload[16 + 1], kTypeBulk);  // 0x81
    EXPECT_EQ(endpoints.payload[2], kTypeBulk);       // 0x02
    EXPECT_EQ(ReadLe(endpoints.payload, 96 + 2 * (16 + 1), 2), 512u);
    Packet connect = Next();
    ASSERT_EQ(connect.type, kDeviceConnect);
    ASSERT_EQ(connect.payload.size(), 10u);
    EXPECT_EQ(connect.payload[0], kSpeedHigh);
    EXPECT_EQ(ReadLe(connect.payload, 4, 2), 0x5E3Bu);
    ASSERT_TRUE(device_.connected());

    ASSERT_TRUE(device_.Receive(Encode(kSetConfiguration, 5, {1})));
    Packet configured = Next();
    EXPECT_EQ(configured.type, kConfigurationStatus);
    EXPECT_EQ(configured.id, 5u);
    EXPECT_EQ(configured.payload, (std::vector<std::uint8_t>{kSuccess, 1}));

    // GET_DESCRIPTOR(DEVICE), asked for 64 bytes, gets 18.
    ASSERT_TRUE(
        device_.Receive(Encode(kControlPacket, 6, {0x80, 6, 0x80, 0, 0x00, 0x01, 0, 0, 64, 0})));
    Packet descriptor = Next();
    ASSERT_EQ(descriptor.type, kControlPacket);
    EXPECT_EQ(descriptor.id, 6u);
    EXPECT_EQ(descriptor.payload[3], kSuccess);
    EXPECT_EQ(ReadLe(descriptor.payload, 8, 2), 18u);
    ASSERT_EQ(descriptor.payload.size(), 10u + 18u);
    EXPECT_EQ(descriptor.payload[10 + 1], 0x01);
    EXPECT_EQ(ReadLe(descriptor.payload, 10 + 8, 2), 0x5E3Bu);

    ASSERT_TRUE(device_.Receive(Bulk(7, 0x02, 31, Cbw(0x1234, 36, true, kInquiry))));
    Packet out = Next();
    EXPECT_EQ(out.type, kBulkPacket);
    EXPECT_EQ(out.payload[1], kSuccess);
    EXPECT_EQ(ReadLe(out.payload, 2, 2), 31u);
    ASSERT_TRUE(device_.Receive(Bulk(8, 0x81, 512)));
    Packet data = Next();
    ASSERT_EQ(data.payload.size(), 10u + 36u);
    EXPECT_EQ(ReadLe(data.payload, 2, 2), 36u);
    const auto inquiry = View(drive_).inquiry;
    EXPECT_TRUE(std::equal(inquiry.begin(), inquiry.end(), data.payload.begin() + 10));
    // A buffer too short for the status wrapper babbles; the wrapper comes again.
    ASSERT_TRUE(device_.Receive(Bulk(9, 0x81, 8)));
    Packet cut = Next();
    EXPECT_EQ(cut.payload[1], kBabble);
    EXPECT_EQ(cut.payload.size(), 10u + 8u);
    ASSERT_TRUE(device_.Receive(Bulk(9, 0x81, 13)));
    Packet status = Next();
    ASSERT_EQ(status.payload.size(), 10u + 13u);
    EXPECT_EQ(ReadLe(status.payload, 10 + 4, 4), 0x1234u);
    EXPECT_EQ(status.payload[10 + 12], 0);

    // SelectUpdateMode, then RestartBridge: its status still goes out, then the device goes.
    for (std::uint8_t function : {std::uint8_t{0x53}, std::uint8_t{0x50}}) {
        ASSERT_TRUE(device_.Receive(
            Bulk(function, 0x02, 31, Cbw(function, 0, false, VendorCdb(0x3B, function)))));
        ASSERT_TRUE(device_.Receive(Bulk(function + 100, 0x81, 13)));
        EXPECT_EQ(device_.connected(), function == 0x53);
    }
    std::vector<Packet> packets;
    for (Packet p = Next(); p.type != 0xFFFFFFFF; p = Next()) packets.push_back(p);
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets.back().type, kDeviceDisconnect);
    const Packet& csw = packets[packets.size() - 2];
    ASSERT_EQ(csw.payload.size(), 10u + 13u);
    EXPECT_EQ(csw.payload[10 + 12], 0);  // RestartBridge passed

    // Away for the restart delay; then back in the loader, with the bridge's own identity.
    EXPECT_EQ(device_.Poll(), kRestartDelay);
    EXPECT_FALSE(device_.connected());
    clock_->Advance(kRestartDelay);
    device_.Poll();
    ASSERT_TRUE(device_.connected());
    EXPECT_EQ(device_.descriptors().VendorId(), kBareBridgeVendorId);
    Packet back;
    for (Packet p = Next(); p.type != 0xFFFFFFFF; p = Next()) back = p;
    ASSERT_EQ(back.type, kDeviceConnect);
    EXPECT_EQ(ReadLe(back.payload, 4, 2), kBareBridgeVendorId);
    EXPECT_EQ(ReadLe(back.payload, 6, 2), kSecondGenerationBareProductId);
    // Unconfigured after the new connect: bulk packets are refused until SET_CONFIGURATION.
    ASSERT_TRUE(device_.Receive(Bulk(50, 0x81, 13)));
    EXPECT_EQ(Next().payload[1], kInval);
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
    std::vector<std::uint32_t> types;
    while (types.size() < 4) {
        if (auto p = reader.Next(!types.empty())) {
            types.push_back(p->type);
            continue;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fds[1], buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        reader.Add(std::span(buffer, static_cast<std::size_t>(n)));
    }
    EXPECT_EQ(types, (std::vector<std::uint32_t>{kHello, kInterfaceInfo, kEpInfo, kDeviceConnect}));
    hangUp();
    EXPECT_TRUE(served) << why;
}

}  // namespace
}  // namespace mox3::test
