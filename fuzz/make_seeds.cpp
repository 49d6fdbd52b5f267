// Writes the seed inputs of the fuzz targets into <corpus>/<target>/: the shipped
// configuration files compiled into blocks and flashes, small sample images, drive states
// and packet streams of a host that reads a drive's INQUIRY data. Run by hand when a format
// changes: make_seeds fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text.h"
#include "bridge/config_build.h"
#include "bridge/firmware_image.h"
#include "emulator/drive_state.h"
#include "emulator/emulator_backend.h"
#include "emulator/usbredir_device.h"
#include "fuzz_support.h"
#include "resources/resources.h"

namespace fs = std::filesystem;
using namespace mox3;

namespace {

using Bytes = std::vector<std::uint8_t>;

fs::path corpus;

void Seed(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(corpus / target);
    fuzz::WriteFile(corpus / target / name, bytes);
}

Bytes Sample(int generation, const char* digits, std::size_t size) {
    std::string error;
    Bytes bytes = MakeSampleImage({generation, digits, size, 3}, &error);
    if (bytes.empty()) fuzz::Broken(error.c_str());
    return bytes;
}

void Put(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes Cbw(std::uint32_t tag, std::uint32_t length, bool in, const Bytes& cdb) {
    Bytes cbw;
    Put(cbw, kCbwSignature, 4);
    Put(cbw, tag, 4);
    Put(cbw, length, 4);
    cbw.push_back(in ? 0x80 : 0);
    cbw.push_back(0);
    cbw.push_back(static_cast<std::uint8_t>(cdb.size()));
    cbw.insert(cbw.end(), cdb.begin(), cdb.end());
    cbw.resize(kCbwSize, 0);
    return cbw;
}

void Configurations() {
    for (const EmbeddedResource& r : ConfigResources()) {
        const Bytes file(r.bytes.begin(), r.bytes.end());
        Seed("config_compile", std::string(r.fileName), file);

        const int generation = r.id < 110 ? 1 : 2;
        const Bytes image =
            generation == 1 ? Sample(1, "01020300", 6000) : Sample(2, "01000700", 6000);
        const fs::path dir = fuzz::ScratchFolder();
        fuzz::WriteFile(dir / "config.ini", file);
        CBridgeMgr mgr;
        ConfigBuildResult result =
            BuildConfigBlock(mgr, FirmwareImage::Parse(image),
                             Utf8ToUtf16((dir / "config.ini").string()), 0, u"4A3F0012B7C4D9E1");
        if (!result.ok) fuzz::Broken(result.reason.c_str());
        const Bytes block(mgr.imageBuffer.begin(), mgr.imageBuffer.begin() + 4096);
        Seed("block_decode", std::to_string(r.id) + ".block", block);

        // The flash from the block's address to the end of the firmware.
        std::string error;
        const std::uint32_t flashSize =
            generation == 1 ? kFirstGenerationFlashSize : kSecondGenerationFlashSize;
        Bytes flash = FactoryFlash(generation, flashSize, block, mgr.firmwareAddress, image,
                                   mgr.firmwareLength, 4096, &error);
        if (flash.empty()) fuzz::Broken(error.c_str());
        const std::uint32_t from = EmulatedBlockAddress(generation);
        Bytes seed = {static_cast<std::uint8_t>(generation == 1 ? 3 : 0)};
        seed.insert(seed.end(), flash.begin() + from,
                    flash.begin() + mgr.firmwareAddress + mgr.firmwareLength);
        Seed("flash_layout", std::to_string(r.id) + ".flash", seed);
    }
}

void Images() {
    Seed("firmware_image", "first.bin", Sample(1, "01020300", 300));
    Seed("firmware_image", "second.bin", Sample(2, "01000700", 400));
    Seed("firmware_image", "later.bin", Sample(2, "03010000", 500));
    Seed("firmware_image", "smallest-first.bin", Sample(1, "01020300", 48));
    Seed("firmware_image", "smallest-second.bin", Sample(2, "01000700", 66));
}

void DriveStates() {
    for (int generation : {1, 2}) {
        const fs::path dir = fuzz::ScratchFolder() / ("drive" + std::to_string(generation));
        ManualClock clock;
        EmulatedDriveSetup setup;
        setup.generation = generation;
        std::string error;
        if (!CreateEmulatedDrive(dir, setup, clock, &error)) fuzz::Broken(error.c_str());
        auto loaded = LoadDrive(dir, &error);
        if (!loaded) fuzz::Broken(error.c_str());
        DriveState& s = loaded->state;
        const std::string name = "generation" + std::to_string(generation);
        Seed("drive_state", name + ".state", Bytes(loaded->loadedText.begin(),
                                                   loaded->loadedText.end()));
        // A save killed before its flash writes, with faults and latency set.
        s.flashRedo = {{16, {1, 2, 3, 4}}, {s.flashSize - 2, {0xAA, 0x55}}};
        s.faults.failKind = 0x12;
        s.faults.corruptReadAddress = 77;
        s.latency = kTypicalLatency;
        s.absentReason = "pulled\n\\ \x01";
        const std::string text = SerializeDriveState(s);
        Seed("drive_state", name + "-redo.state", Bytes(text.begin(), text.end()));
    }
}

void BulkOnly() {
    auto ops = [](std::initializer_list<std::uint8_t> bytes) { return Bytes(bytes); };
    // INQUIRY: wrapper, data, status.
    Seed("bulk_only", "inquiry",
         ops({0, 4, 1, 36, 0, 0x80, 5, 0x12, 1, 0, 0, 36, 0, 1, 36, 0, 1, 13, 0}));
    // A write of 200 bytes in two transfers, then its status.
    Seed("bulk_only", "write",
         ops({1, 4, 2, 200, 0, 0, 9, 0x2A, 3, 0, 0, 0, 0, 0, 0, 1, 0, 0, 150, 1, 2, 3, 0, 50, 9,
              9, 1, 13, 0}));
    // A failed command, then REQUEST SENSE.
    Bytes failed = {0, 4, 3, 0, 0, 0, 5, 0x01, 0, 0, 0, 0, 0, 1, 13, 0};
    Bytes sense = {4, 4, 18, 0, 0x80, 5, 0x03, 0, 0, 0, 18, 0, 1, 18, 0, 1, 13, 0};
    failed.insert(failed.end(), sense.begin(), sense.end());
    Seed("bulk_only", "sense", failed);
    // A bad wrapper, the stall, and the recovery.
    Seed("bulk_only", "recovery", ops({0, 0, 5, 1, 2, 3, 4, 5, 1, 13, 0, 2, 3, 1, 3, 0}));
}

Bytes Redir(std::uint32_t type, std::uint64_t id, const Bytes& payload, bool ids64 = true) {
    Bytes out;
    Put(out, type, 4);
    Put(out, payload.size(), 4);
    Put(out, id, ids64 ? 8 : 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

void UsbRedir() {
    using namespace usbredir;
    Bytes hello(kHelloVersionSize, 0);
    std::memcpy(hello.data(), "seed host", 9);
    Put(hello, kCapConnectDeviceVersion | kCapEpInfoMaxPacketSize | kCapIds64 | kCapBulkLength32,
        4);
    Bytes stream = Redir(kHello, 0, hello, false);
    auto add = [&](const Bytes& packet) { stream.insert(stream.end(), packet.begin(), packet.end()); };
    // GET_DESCRIPTOR(device), SET_CONFIGURATION(1).
    add(Redir(kControlPacket, 1, {0, 6, 0x80, 0, 0, 1, 0, 0, 18, 0}));
    add(Redir(kControlPacket, 2, {0, 9, 0x00, 0, 1, 0, 0, 0, 0, 0}));
    add(Redir(kSetConfiguration, 3, {1}));
    auto bulk = [&](std::uint64_t id, std::uint8_t endpoint, std::uint32_t length,
                    const Bytes& data) {
        Bytes p = {endpoint, 0};
        Put(p, length & 0xFFFF, 2);
        Put(p, 0, 4);
        Put(p, length >> 16, 2);
        p.insert(p.end(), data.begin(), data.end());
        add(Redir(kBulkPacket, id, p));
    };
    bulk(4, 0x02, kCbwSize, Cbw(1, 36, true, {0x12, 0, 0, 0, 36, 0}));
    bulk(5, 0x81, 36, {});
    bulk(6, 0x81, 13, {});
    bulk(7, 0x02, kCbwSize, Cbw(2, 8, true, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    bulk(8, 0x81, 8, {});
    bulk(9, 0x81, 13, {});
    Seed("usbredir_device", "inquiry", stream);
    // The same host without 64-bit ids.
    Bytes plain(kHelloVersionSize, 0);
    Put(plain, kCapEpInfoMaxPacketSize, 4);
    Bytes short_ = Redir(kHello, 0, plain, false);
    Bytes get = Redir(kControlPacket, 1, {0, 6, 0x80, 0, 0, 2, 0, 0, 64, 0}, false);
    short_.insert(short_.end(), get.begin(), get.end());
    Seed("usbredir_device", "ids32", short_);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS-FOLDER\n");
        return 2;
    }
    corpus = argv[1];
    Configurations();
    Images();
    DriveStates();
    BulkOnly();
    UsbRedir();
    return 0;
}
