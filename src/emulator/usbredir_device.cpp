#include "emulator/usbredir_device.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/text.h"
#include "emulator/drive_state.h"

namespace mox3 {

namespace {

using namespace usbredir;

constexpr std::uint32_t kOurCapabilities =
    kCapConnectDeviceVersion | kCapEpInfoMaxPacketSize | kCapIds64 | kCapBulkLength32;
constexpr char kHelloVersion[] = "mox3-updater emulated drive";
constexpr std::uint32_t kMaxPacket = 64 * 1024 * 1024;
// How often an idle device looks at its drive, and how long a drive that left the bus may
// wait for the host to collect the status of its last command before the device goes.
constexpr std::uint64_t kIdlePollMs = 500;
constexpr std::uint64_t kStatusGraceMs = 2000;

constexpr std::size_t kControlHeaderSize = 10;
constexpr std::size_t kEndpointSlots = 32;

// The slot of an endpoint in the endpoint info: OUT endpoints 0-15, IN endpoints 16-31.
std::size_t EndpointSlot(std::uint8_t address) {
    return ((address & 0x80) >> 3) | (address & 0x0F);
}

// USB standard and mass-storage class requests (request type, request).
constexpr std::uint16_t Request(std::uint8_t type, std::uint8_t request) {
    return static_cast<std::uint16_t>(type << 8 | request);
}
constexpr std::uint16_t kReqGetStatusDevice = Request(0x80, 0);
constexpr std::uint16_t kReqGetStatusInterface = Request(0x81, 0);
constexpr std::uint16_t kReqGetStatusEndpoint = Request(0x82, 0);
constexpr std::uint16_t kReqClearFeatureDevice = Request(0x00, 1);
constexpr std::uint16_t kReqClearFeatureEndpoint = Request(0x02, 1);
constexpr std::uint16_t kReqSetAddress = Request(0x00, 5);
constexpr std::uint16_t kReqGetDescriptor = Request(0x80, 6);
constexpr std::uint16_t kReqGetConfiguration = Request(0x80, 8);
constexpr std::uint16_t kReqSetConfiguration = Request(0x00, 9);
constexpr std::uint16_t kReqGetInterface = Request(0x81, 10);
constexpr std::uint16_t kReqSetInterface = Request(0x01, 11);
constexpr std::uint16_t kReqMassStorageReset = Request(0x21, 0xFF);
constexpr std::uint16_t kReqGetMaxLun = Request(0xA1, 0xFE);

}  // namespace

UsbRedirDevice::UsbRedirDevice(std::filesystem::path folder, std::shared_ptr<EmulatorClock> clock,
                               Sender send)
    : folder_(std::move(folder)),
      clock_(std::move(clock)),
      backend_(MakeEmulatorBackend(clock_)),
      send_(std::move(send)) {}

UsbRedirDevice::~UsbRedirDevice() = default;

bool UsbRedirDevice::Fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
}

bool UsbRedirDevice::SendPacket(std::uint32_t type, std::uint64_t id,
                                std::span<const std::uint8_t> header,
                                std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> packet;
    packet.reserve(HeaderSize() + header.size() + data.size());
    AppendLe(packet, type, 4);
    AppendLe(packet, static_cast<std::uint32_t>(header.size() + data.size()), 4);
    AppendLe(packet, static_cast<std::uint32_t>(id), 4);
    if (ids64_) AppendLe(packet, static_cast<std::uint32_t>(id >> 32), 4);
    packet.insert(packet.end(), header.begin(), header.end());
    packet.insert(packet.end(), data.begin(), data.end());
    if (!send_(packet)) return Fail("the peer has gone");
    return true;
}

bool UsbRedirDevice::Start() {
    std::vector<std::uint8_t> hello(kHelloVersionSize, 0);
    std::memcpy(hello.data(), kHelloVersion, sizeof kHelloVersion);
    AppendLe(hello, kOurCapabilities, 4);
    return SendPacket(kHello, 0, hello);
}

bool UsbRedirDevice::Receive(std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::size_t at = 0;
    while (pending_.size() - at >= HeaderSize()) {
        std::span<const std::uint8_t> rest(pending_.data() + at, pending_.size() - at);
        const std::uint32_t type = ReadLe32(rest, 0);
        const std::uint32_t length = ReadLe32(rest, 4);
        std::uint64_t id = ReadLe32(rest, 8);
        if (ids64_) id |= std::uint64_t{ReadLe32(rest, 12)} << 32;
        if (length > kMaxPacket) return Fail("a packet of " + std::to_string(length) + " bytes");
        const std::size_t header = HeaderSize();
        if (rest.size() < header + length) break;
        at += header + length;
        if (!Handle(type, id, rest.subspan(header, length))) {
            pending_.clear();
            return false;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

bool UsbRedirDevice::Handle(std::uint32_t type, std::uint64_t id,
                            std::span<const std::uint8_t> payload) {
    if (type == kHello) {
        if (helloReceived_ || payload.size() < kHelloVersionSize) return Fail("a bad hello");
        const std::uint32_t caps =
            payload.size() >= kHelloVersionSize + 4 ? ReadLe32(payload, kHelloVersionSize) : 0;
        helloReceived_ = true;
        ids64_ = (caps & kCapIds64) != 0;
        bulkLength32_ = (caps & kCapBulkLength32) != 0;
        epMaxPacketSize_ = (caps & kCapEpInfoMaxPacketSize) != 0;
        connectVersion_ = (caps & kCapConnectDeviceVersion) != 0;
        Poll();
        return error_.empty();
    }
    if (!helloReceived_) return Fail("a packet before the hello");
    switch (type) {
        case kReset:
            // A bus reset: unconfigured, endpoints as new.
            configuration_ = 0;
            bot_ = BulkOnlyTransport(device_.get());
            return true;
        case kSetConfiguration: {
            if (payload.size() < 1) return Fail("a short set_configuration");
            const std::uint8_t value = payload[0];
            const bool ok = value == 0 || value == descriptors_.ConfigurationValue();
            if (ok && connected_) {
                configuration_ = value;
                bot_ = BulkOnlyTransport(device_.get());
            }
            const std::uint8_t status[2] = {
                static_cast<std::uint8_t>(ok && connected_ ? kSuccess : kStall), configuration_};
            return SendPacket(kConfigurationStatus, id, status);
        }
        case kGetConfiguration: {
            const std::uint8_t status[2] = {kSuccess, configuration_};
            return SendPacket(kConfigurationStatus, id, status);
        }
        case kSetAltSetting:
        case kGetAltSetting: {
            if (payload.size() < (type == kSetAltSetting ? 2u : 1u)) {
                return Fail("a short alt-setting packet");
            }
            const bool ok = payload[0] == 0 && (type == kGetAltSetting || payload[1] == 0);
            const std::uint8_t status[3] = {static_cast<std::uint8_t>(ok ? kSuccess : kInval),
                                            payload[0], 0};
            return SendPacket(kAltSettingStatus, id, status);
        }
        case kControlPacket:
            return HandleControl(id, payload);
        case kBulkPacket:
            return HandleBulk(id, payload);
        case kInterruptPacket:
        case kIsoPacket: {
            // The device has no such endpoints.
            if (payload.size() < 4) return Fail("a short data packet");
            const std::uint8_t header[4] = {payload[0], kInval, 0, 0};
            return SendPacket(type, id, header);
        }
        default:
            // Cancels (every packet is answered at once), filters, acknowledgements and
            // streams, which this device does not use.
            return true;
    }
}

bool UsbRedirDevice::HandleControl(std::uint64_t id, std::span<const std::uint8_t> payload) {
    if (payload.size() < kControlHeaderSize) return Fail("a short control packet");
    const std::uint8_t requestType = payload[2];
    const std::uint16_t value = ReadLe16(payload, 4);
    const std::uint16_t index = ReadLe16(payload, 6);
    const std::uint16_t length = ReadLe16(payload, 8);
    const bool in = (requestType & 0x80) != 0;

    std::vector<std::uint8_t> answer;
    bool ok = connected_;
    if (ok) {
        switch (Request(requestType, payload[1])) {
            case kReqGetDescriptor: {
                auto d = descriptors_.Get(static_cast<std::uint8_t>(value >> 8),
                                          static_cast<std::uint8_t>(value), index);
                ok = d.has_value();
                if (ok) answer = std::move(*d);
                break;
            }
            case kReqGetStatusDevice:
                answer = {static_cast<std::uint8_t>(descriptors_.SelfPowered() ? 1 : 0), 0};
                break;
            case kReqGetStatusInterface:
                answer = {0, 0};
                break;
            case kReqGetStatusEndpoint:
                answer = {static_cast<std::uint8_t>(bot_.Halted((index & 0x80) != 0) ? 1 : 0), 0};
                break;
            case kReqClearFeatureEndpoint:
                ok = value == 0;  // ENDPOINT_HALT
                if (ok && (index & 0x0F) != 0) bot_.ClearHalt((index & 0x80) != 0);
                break;
            case kReqClearFeatureDevice:
            case kReqSetAddress:
                break;
            case kReqGetConfiguration:
                answer = {configuration_};
                break;
            case kReqSetConfiguration:
                ok = value == 0 || value == descriptors_.ConfigurationValue();
                if (ok) {
                    configuration_ = static_cast<std::uint8_t>(value);
                    bot_ = BulkOnlyTransport(device_.get());
                }
                break;
            case kReqGetInterface:
                answer = {0};
                break;
            case kReqSetInterface:
                ok = value == 0 && index == 0;
                break;
            case kReqMassStorageReset:
                ok = value == 0 && index == 0 && length == 0;
                if (ok) bot_.Reset();
                break;
            case kReqGetMaxLun:
                answer = {0};  // one logical unit
                break;
            default:
                ok = false;
        }
    }
    std::vector<std::uint8_t> header(payload.begin(), payload.begin() + kControlHeaderSize);
    header[3] = ok ? kSuccess : (connected_ ? kStall : kIoError);
    if (!ok || !in) {
        if (!ok || in) header[8] = header[9] = 0;
        return SendPacket(kControlPacket, id, header);
    }
    if (answer.size() > length) answer.resize(length);
    header[8] = static_cast<std::uint8_t>(answer.size());
    header[9] = static_cast<std::uint8_t>(answer.size() >> 8);
    return SendPacket(kControlPacket, id, header, answer);
}

bool UsbRedirDevice::HandleBulk(std::uint64_t id, std::span<const std::uint8_t> payload) {
    const std::size_t headerSize = bulkLength32_ ? 10 : 8;
    if (payload.size() < headerSize) return Fail("a short bulk packet");
    const std::uint8_t endpoint = payload[0];
    std::uint32_t length = ReadLe16(payload, 2);
    if (bulkLength32_) length |= std::uint32_t{ReadLe16(payload, 8)} << 16;
    auto data = payload.subspan(headerSize);

    auto reply = [&](std::uint8_t status, std::span<const std::uint8_t> answer,
                     std::uint32_t count) {
        std::vector<std::uint8_t> header = {endpoint, status};
        AppendLe(header, count, 2);
        AppendLe(header, 0, 4);  // stream id
        if (bulkLength32_) AppendLe(header, count >> 16, 2);
        return SendPacket(kBulkPacket, id, header, answer);
    };
    const auto endpoints = descriptors_.Endpoints();
    const bool known =
        std::any_of(endpoints.begin(), endpoints.end(), [&](const UsbEndpointInfo& e) {
            return e.address == endpoint && (e.attributes & 0x03) == kTypeBulk;
        });
    if (!connected_) return reply(kIoError, {}, 0);
    if (!known || configuration_ == 0) return reply(kInval, {}, 0);
    if ((endpoint & 0x80) != 0) {
        BulkOnlyTransport::InResult r = bot_.In(length);
        if (r.stall) return reply(kStall, {}, 0);
        if (!reply(r.babble ? kBabble : kSuccess, r.data,
                   static_cast<std::uint32_t>(r.data.size()))) {
            return false;
        }
    } else {
        if (!bot_.Out(data)) return reply(kStall, {}, 0);
        if (!reply(kSuccess, {}, static_cast<std::uint32_t>(data.size()))) return false;
    }
    // The last status has gone out: a bridge that restarted leaves now.
    if (bot_.Idle()) Poll();
    return error_.empty();
}

std::uint64_t UsbRedirDevice::Poll() {
    if (!helloReceived_ || !error_.empty()) return kIdlePollMs;
    std::optional<DriveState> state;
    {
        DriveFolderLock lock(folder_);
        if (lock.ok()) state = LoadDriveState(folder_, nullptr);
    }
    const std::uint64_t now = clock_->NowMs();
    const bool restarting = state && state->tree.attached && state->bus == EmulatedBus::Restarting;
    const bool back =
        state && state->tree.attached &&
        (state->bus == EmulatedBus::Present || (restarting && now >= state->returnAtMs));
    if (connected_) {
        if (back && state->session == session_ && state->bus == EmulatedBus::Present) {
            goneSinceMs_ = 0;
            return kIdlePollMs;
        }
        // Gone (or back in a new session): once the host has its last status, or after a while.
        if (goneSinceMs_ == 0) goneSinceMs_ = now;
        if (!bot_.Idle() && now - goneSinceMs_ < kStatusGraceMs) return kStatusGraceMs;
        if (!Disconnect()) return kIdlePollMs;
    }
    if (back && Connect()) return kIdlePollMs;
    if (restarting && now < state->returnAtMs) return state->returnAtMs - now;
    return kIdlePollMs;
}

bool UsbRedirDevice::Connect() {
    std::string why;
    auto view = InspectEmulatedDrive(folder_, *clock_, &why);
    if (!view || !view->tree.attached || view->bus != EmulatedBus::Present) return false;
    device_ = backend_->Open(Utf8ToUtf16(folder_.string()), nullptr);
    if (!device_) return false;
    descriptors_ = MakeUsbDescriptors(*view);
    session_ = view->session;
    goneSinceMs_ = 0;
    configuration_ = 0;
    bot_ = BulkOnlyTransport(device_.get());

    const std::vector<std::uint8_t> interface = descriptors_.Interface();
    std::vector<std::uint8_t> info(4 + 4 * kEndpointSlots, 0);
    info[0] = 1;  // one interface
    if (interface.size() == 9) {
        info[4] = interface[2];
        info[4 + kEndpointSlots] = interface[5];
        info[4 + 2 * kEndpointSlots] = interface[6];
        info[4 + 3 * kEndpointSlots] = interface[7];
    }
    if (!SendPacket(kInterfaceInfo, 0, info)) return false;

    std::vector<std::uint8_t> type(kEndpointSlots, kTypeInvalid), interval(kEndpointSlots, 0),
        owner(kEndpointSlots, 0);
    std::vector<std::uint16_t> maxPacket(kEndpointSlots, 0);
    type[EndpointSlot(0x00)] = type[EndpointSlot(0x80)] = kTypeControl;
    maxPacket[EndpointSlot(0x00)] = maxPacket[EndpointSlot(0x80)] = descriptors_.MaxPacketSize0();
    for (const UsbEndpointInfo& e : descriptors_.Endpoints()) {
        const std::size_t slot = EndpointSlot(e.address);
        type[slot] = e.attributes & 0x03;
        interval[slot] = e.interval;
        owner[slot] = interface.size() == 9 ? interface[2] : 0;
        maxPacket[slot] = e.maxPacketSize;
    }
    std::vector<std::uint8_t> ep;
    ep.reserve(5 * kEndpointSlots);
    ep.insert(ep.end(), type.begin(), type.end());
    ep.insert(ep.end(), interval.begin(), interval.end());
    ep.insert(ep.end(), owner.begin(), owner.end());
    if (epMaxPacketSize_) {
        for (std::uint16_t size : maxPacket) AppendLe(ep, size, 2);
    }
    if (!SendPacket(kEpInfo, 0, ep)) return false;

    const std::vector<std::uint8_t>& d = descriptors_.device;
    std::vector<std::uint8_t> connect = {kSpeedHigh, d[4], d[5], d[6]};
    AppendLe(connect, descriptors_.VendorId(), 2);
    AppendLe(connect, descriptors_.ProductId(), 2);
    if (connectVersion_) AppendLe(connect, descriptors_.BcdDevice(), 2);
    if (!SendPacket(kDeviceConnect, 0, connect)) return false;
    connected_ = true;
    return true;
}

bool UsbRedirDevice::Disconnect() {
    connected_ = false;
    configuration_ = 0;
    bot_ = BulkOnlyTransport(nullptr);
    device_.reset();
    return SendPacket(kDeviceDisconnect, 0, {});
}

}  // namespace mox3
