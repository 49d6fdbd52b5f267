// Drives made at the factory in a temporary folder, reached through the emulator backend on a
// clock the test moves, and raw command blocks written out byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/text.h"
#include "bridge/config_build.h"
#include "bridge/firmware_image.h"
#include "bridge/vendor_commands.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
#include "resources/resources.h"
#include "test_support.h"

namespace mox3::test {

// A compiled block and the image it was compiled against, as the factory programs them.
struct FactoryParts {
    std::vector<std::uint8_t> image;
    std::vector<std::uint8_t> block;
    std::uint32_t firmwareAddress = 0;
    std::uint32_t firmwareLength = 0;
};

// Compiles the configuration file `config` against a sample image of `digits`.
inline FactoryParts CompileParts(const TempDir& dir, int generation, const std::string& digits,
                                 const std::string& serial, const std::filesystem::path& config,
                                 std::size_t imageSize = 20000) {
    FactoryParts parts;
    std::string why;
    parts.image = MakeSampleImage({generation, digits, imageSize, 7}, &why);
    EXPECT_FALSE(parts.image.empty()) << why;
    const std::filesystem::path image =
        dir / ("image" + std::to_string(generation) + digits + serial);
    WriteBytes(image, parts.image);
    CBridgeMgr mgr;
    ConfigBuildResult built =
        BuildConfigBlock(mgr, Utf8ToUtf16(image.string()), Utf8ToUtf16(config.string()), generation,
                         Utf8ToUtf16(serial));
    EXPECT_TRUE(built.ok) << built.reason;
    parts.block.assign(mgr.imageBuffer.begin(), mgr.imageBuffer.begin() + 4096);
    parts.firmwareAddress = mgr.firmwareAddress;
    parts.firmwareLength = mgr.firmwareLength;
    return parts;
}

// The same with the built-in configuration file `resourceId`.
inline FactoryParts CompileParts(const TempDir& dir, int generation, const std::string& digits,
                                 const std::string& serial, int resourceId,
                                 std::size_t imageSize = 20000) {
    const EmbeddedResource* resource = FindConfigResource(resourceId);
    EXPECT_NE(resource, nullptr);
    const std::filesystem::path config = dir / ("config" + std::to_string(resourceId));
    WriteBytes(config, std::vector<std::uint8_t>(resource->bytes.begin(), resource->bytes.end()));
    return CompileParts(dir, generation, digits, serial, config, imageSize);
}

using Cdb = std::vector<std::uint8_t>;

inline Cdb VendorCdb(std::uint8_t opcode, std::uint8_t function, std::uint8_t byte3 = 0,
                     std::uint8_t byte4 = 0) {
    return {opcode, 0x01, function, byte3, byte4, 0, 0, 0, 0, 0};
}
inline Cdb BeginCdb() {
    return VendorCdb(0x3B, 0x20, 0x80);
}
inline Cdb WriteFlashCdb(std::uint32_t address, std::uint32_t length = 1024) {
    Cdb cdb = VendorCdb(0x3B, 0x21);
    for (int i = 0; i < 3; ++i) cdb[4 + i] = static_cast<std::uint8_t>(address >> (8 * i));
    cdb[7] = static_cast<std::uint8_t>(length);
    cdb[8] = static_cast<std::uint8_t>(length >> 8);
    return cdb;
}
inline Cdb ReadFlashCdb(std::uint32_t address) {
    Cdb cdb = WriteFlashCdb(address);
    cdb[0] = 0x3C;
    cdb[2] = 0x22;
    return cdb;
}
// The header for `next`: its five big-endian words added, negated, stored low byte first.
inline Cdb HeaderCdb(const Cdb& next) {
    unsigned sum = 0;
    for (int i = 0; i < 10; i += 2) sum += static_cast<unsigned>(next[i] << 8 | next[i + 1]);
    const unsigned checksum = (0x10000u - (sum & 0xFFFFu)) & 0xFFFFu;
    Cdb header = VendorCdb(0x3B, 0x10, next[2], static_cast<std::uint8_t>(checksum));
    header[5] = static_cast<std::uint8_t>(checksum >> 8);
    header[6] = 'F';
    header[7] = 'M';
    header[8] = 'L';
    return header;
}

inline const Cdb kStatus = VendorCdb(0x3C, 0x51);
inline const Cdb kVersion = VendorCdb(0x3C, 0x52);
inline const Cdb kInquiry = {0x12, 0, 0, 0, 36, 0};
inline const Cdb kReadCapacity10 = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
inline const Cdb kReadCapacity16 = {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0};

// A Bulk-Only command wrapper around `cdb`, its signature written out here.
inline std::vector<std::uint8_t> Cbw(std::uint32_t tag, std::uint32_t length, bool in,
                                     const Cdb& cdb) {
    std::vector<std::uint8_t> cbw(31, 0);
    for (int i = 0; i < 4; ++i) {
        cbw[i] = static_cast<std::uint8_t>(0x43425355u >> (8 * i));
        cbw[4 + i] = static_cast<std::uint8_t>(tag >> (8 * i));
        cbw[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    cbw[12] = in ? 0x80 : 0x00;
    cbw[14] = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), cbw.begin() + 15);
    return cbw;
}

struct Answer {
    bool delivered = false;
    ScsiReply reply;
    std::vector<std::uint8_t> data;
    bool good() const { return delivered && reply.status == kScsiStatusGood; }
    // Sense key, ASC and ASCQ of a CHECK CONDITION, -1 when there is no sense.
    int senseKey() const { return reply.sense.size() > 2 ? reply.sense[2] & 0x0F : -1; }
    int asc() const { return reply.sense.size() > 12 ? reply.sense[12] : -1; }
};

// Sends `cdb`: with `in` bytes to receive, or `out` bytes to send, or neither.
inline Answer Send(PassThroughDevice& device, const Cdb& cdb, std::uint32_t in = 0,
                   std::vector<std::uint8_t> out = {}) {
    ScsiRequest request;
    std::copy(cdb.begin(), cdb.end(), request.cdb.begin());
    request.cdbLength = static_cast<std::uint8_t>(cdb.size());
    request.timeoutSeconds = 120;
    Answer answer;
    if (in > 0) {
        answer.data.assign(in, 0);
        request.direction = DataDirection::In;
        request.data = answer.data.data();
        request.length = in;
    } else if (!out.empty()) {
        request.direction = DataDirection::Out;
        request.data = out.data();
        request.length = static_cast<std::uint32_t>(out.size());
    }
    answer.delivered = device.Send(request, answer.reply);
    return answer;
}

// A headed command: the header, then the command; the command's answer.
inline Answer SendHeaded(PassThroughDevice& device, const Cdb& cdb, std::uint32_t in = 0,
                         std::vector<std::uint8_t> out = {}) {
    Answer header = Send(device, HeaderCdb(cdb));
    if (!header.good()) return header;
    return Send(device, cdb, in, std::move(out));
}

inline std::uint8_t StatusByte0(PassThroughDevice& device) {
    Answer a = Send(device, kStatus, 12);
    EXPECT_TRUE(a.good());
    return a.data[0];
}

// What a drive presents: "[loader ]VID:PID bcdDevice manufacturer|product|serial version".
inline std::string Presented(const EmulatedDriveView& v) {
    return (v.loader ? "loader " : "") +
           Utf16ToUtf8(HexText16(v.usb.vendorId) + u":" + HexText16(v.usb.productId) + u" " +
                       HexText16(v.usb.bcdDevice) + u" " + v.usb.manufacturer + u"|" +
                       v.usb.product + u"|" + v.usb.serialNumber) +
           " " + v.firmwareVersion;
}
// The INQUIRY record's peripheral and removable bytes in hex, then its texts.
template <typename Record>
std::string InquiryText(const Record& inquiry) {
    return HexString(std::span(inquiry.data(), 2)) + " " +
           std::string(inquiry.begin() + 8, inquiry.begin() + 36);
}

// Shows every request to `watch` before `inner` gets it; `watch` may answer it itself
// instead (and then returns true).
class WatchingBackend : public PassThroughBackend {
  public:
    using Watch = std::function<bool(const ScsiRequest&, ScsiReply&)>;
    WatchingBackend(std::shared_ptr<PassThroughBackend> inner, Watch watch)
        : inner_(std::move(inner)), watch_(std::move(watch)) {}
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        auto device = inner_->Open(path, error);
        return device ? std::make_unique<Device>(std::move(device), watch_) : nullptr;
    }

  private:
    struct Device : PassThroughDevice {
        Device(std::unique_ptr<PassThroughDevice> inner, Watch watch)
            : inner_(std::move(inner)), watch_(std::move(watch)) {}
        bool Send(const ScsiRequest& r, ScsiReply& reply) override {
            return watch_(r, reply) || inner_->Send(r, reply);
        }
        std::u16string Name() const override { return inner_->Name(); }
        std::optional<std::uint64_t> NodeIdentity() const override {
            return inner_->NodeIdentity();
        }
        std::unique_ptr<PassThroughDevice> inner_;
        Watch watch_;
    };
    std::shared_ptr<PassThroughBackend> inner_;
    Watch watch_;
};

// A drive folder, a manual clock and the emulator backend on it.
class EmulatorTest : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kRestartDelay = 3000;

    std::filesystem::path MakeDrive(EmulatedDriveSetup setup, const std::string& name = "drive") {
        if (setup.flashSize == 0) {
            setup.flashSize =
                setup.generation == 1 ? kFirstGenerationFlashSize : kSecondGenerationFlashSize;
        }
        setup.restartDelayMs = kRestartDelay;
        std::string why;
        EXPECT_TRUE(CreateEmulatedDrive(dir_ / name, setup, *clock_, &why)) << why;
        return dir_ / name;
    }

    // A factory-programmed drive of `generation` with firmware `digits` and USB serial, the
    // model of configuration file `resourceId` (0: 104 or 117, by generation).
    std::filesystem::path MakeProgrammedDrive(int generation, const std::string& digits,
                                              const std::string& serial,
                                              EmulatedDriveSetup setup = {},
                                              const std::string& name = "drive",
                                              int resourceId = 0) {
        setup.generation = generation;
        setup.flashSize = generation == 1 ? kFirstGenerationFlashSize : kSecondGenerationFlashSize;
        if (resourceId == 0) resourceId = generation == 1 ? 104 : 117;
        FactoryParts parts = CompileParts(dir_, generation, digits, serial, resourceId);
        std::string why;
        setup.flash = FactoryFlash(generation, setup.flashSize, parts.block, parts.firmwareAddress,
                                   parts.image, parts.firmwareLength, 512, &why);
        EXPECT_FALSE(setup.flash.empty()) << why;
        return MakeDrive(std::move(setup), name);
    }

    // A plain USB disk of 8000 512-byte units, without a bridge.
    std::filesystem::path MakeDisk(const std::string& name, std::uint16_t vid, std::uint16_t pid,
                                   const std::u16string& serial, std::uint32_t blockLength = 512) {
        EmulatedDiskSetup setup;
        setup.vendorId = vid;
        setup.productId = pid;
        setup.serialNumber = serial;
        setup.diskBlocks = 8000;
        setup.blockLength = blockLength;
        std::string why;
        EXPECT_TRUE(CreateEmulatedDisk(dir_ / name, setup, *clock_, &why)) << why;
        return dir_ / name;
    }

    std::unique_ptr<PassThroughDevice> Open(const std::filesystem::path& drive,
                                            std::string* why = nullptr) {
        return backend_->Open(Utf8ToUtf16(drive.string()), why);
    }

    EmulatedDriveView View(const std::filesystem::path& drive) {
        std::string why;
        auto view = InspectEmulatedDrive(drive, *clock_, &why);
        EXPECT_TRUE(view.has_value()) << why;
        return view.value_or(EmulatedDriveView{});
    }

    void PowerCycle(const std::filesystem::path& drive) {
        std::string why;
        ASSERT_TRUE(PowerCycleEmulatedDrive(drive, *clock_, &why)) << why;
    }

    // Switches the drive to 4096-byte blocks, as an update leaves it, and power-cycles it.
    void SwitchTo4096ByteBlocks(const std::filesystem::path& drive) {
        {
            CSpti request;
            ASSERT_TRUE(request.Open(*backend_, Utf8ToUtf16(drive.string())));
            ASSERT_TRUE(SetSectorMode(request, 1));
        }
        PowerCycle(drive);
    }

    void SetFault(const std::filesystem::path& drive, EmulatedFault fault) {
        std::string why;
        ASSERT_TRUE(SetEmulatedDriveFault(drive, fault, &why)) << why;
    }
    void ClearFaults(const std::filesystem::path& drive) {
        std::string why;
        ASSERT_TRUE(ClearEmulatedDriveFaults(drive, &why)) << why;
    }
    void SetTree(const std::filesystem::path& drive,
                 const std::function<void(EmulatedTreeSettings&)>& edit) {
        std::string why;
        ASSERT_TRUE(ChangeEmulatedTreeSettings(drive, edit, *clock_, &why)) << why;
    }

    // Sends SelectUpdateMode and RestartBridge and waits out the restart.
    std::unique_ptr<PassThroughDevice> RestartIntoLoader(const std::filesystem::path& drive) {
        auto device = Open(drive);
        EXPECT_TRUE(Send(*device, VendorCdb(0x3B, 0x53)).good());
        EXPECT_TRUE(Send(*device, VendorCdb(0x3B, 0x50)).good());
        clock_->Advance(kRestartDelay);
        return Open(drive);
    }

    TempDir dir_;
    std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
    std::shared_ptr<PassThroughBackend> backend_ = MakeEmulatorBackend(clock_);
};

// An EmulatorTest that sees the emulated devices of `BusFolder()` as its drives (devices_),
// through the emulator's pass-through and device tree, on the test's clock.
class EmulatedHostTest : public EmulatorTest {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(BusFolder());
        devices_ = {backend_, MakeEmulatorDeviceTree(BusFolder(), clock_)};
    }
    virtual std::filesystem::path BusFolder() { return dir_.path(); }

    DeviceAccess devices_;
};

}  // namespace mox3::test
