#include "transport/spti_windows.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
// after winioctl.h
#include <ntddscsi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "base/text.h"
#include "platform/storage_device_windows.h"

namespace mox3 {

// The request block travels in the platform's own layout, field by field.
#define MOX3_SAME_FIELD(field)                                     \
    static_assert(offsetof(ScsiPassThroughDirect, field) ==        \
                      offsetof(SCSI_PASS_THROUGH_DIRECT, field) && \
                  sizeof(ScsiPassThroughDirect::field) == sizeof(SCSI_PASS_THROUGH_DIRECT::field))
MOX3_SAME_FIELD(Length);
MOX3_SAME_FIELD(ScsiStatus);
MOX3_SAME_FIELD(PathId);
MOX3_SAME_FIELD(TargetId);
MOX3_SAME_FIELD(Lun);
MOX3_SAME_FIELD(CdbLength);
MOX3_SAME_FIELD(SenseInfoLength);
MOX3_SAME_FIELD(DataIn);
MOX3_SAME_FIELD(DataTransferLength);
MOX3_SAME_FIELD(TimeOutValue);
MOX3_SAME_FIELD(DataBuffer);
MOX3_SAME_FIELD(SenseInfoOffset);
MOX3_SAME_FIELD(Cdb);
#undef MOX3_SAME_FIELD
static_assert(sizeof(ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT) &&
              alignof(ScsiPassThroughDirect) == alignof(SCSI_PASS_THROUGH_DIRECT));
#ifdef _WIN64
// 64-bit: the data pointer is 8-aligned, so the block is 56 bytes and the sense area sits at 60.
static_assert(sizeof(ScsiPassThroughDirect) == 56 && kSenseAreaOffset == 60 &&
              sizeof(ScsiRequestArea) == 80);
#endif
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(static_cast<int>(DataDirection::Out) == SCSI_IOCTL_DATA_OUT &&
              static_cast<int>(DataDirection::In) == SCSI_IOCTL_DATA_IN &&
              static_cast<int>(DataDirection::None) == SCSI_IOCTL_DATA_UNSPECIFIED);
static_assert(kSenseRequestLength <= sizeof(ScsiRequestArea::sense));

namespace {

// Some adapters refuse data buffers that are not aligned to their alignment mask; a buffer
// off this boundary travels through an aligned copy.
constexpr std::uintptr_t kDataAlignment = 16;

class AlignedCopy {
  public:
    explicit AlignedCopy(std::size_t length) : storage_(length + kDataAlignment, 0) {
        auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
        data_ = storage_.data() + (kDataAlignment - address % kDataAlignment) % kDataAlignment;
    }
    std::uint8_t* data() { return data_; }

  private:
    std::vector<std::uint8_t> storage_;
    std::uint8_t* data_ = nullptr;
};

class SptiDevice : public PassThroughDevice {
  public:
    SptiDevice(HANDLE handle, std::u16string name) : handle_(handle), name_(std::move(name)) {}
    ~SptiDevice() override { ::CloseHandle(handle_); }
    SptiDevice(const SptiDevice&) = delete;
    SptiDevice& operator=(const SptiDevice&) = delete;

    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        ScsiRequest sent = request;
        std::unique_ptr<AlignedCopy> copy;
        if (request.data != nullptr && request.length != 0 &&
            reinterpret_cast<std::uintptr_t>(request.data) % kDataAlignment != 0) {
            copy = std::make_unique<AlignedCopy>(request.length);
            if (request.direction == DataDirection::Out) {
                std::memcpy(copy->data(), request.data, request.length);
            }
            sent.data = copy->data();
        }
        ScsiRequestArea area;
        BuildPassThroughArea(sent, area);
        DWORD returned = 0;
        BOOL ok = ::DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &area, sizeof area,
                                    &area, sizeof area, &returned, nullptr);
        DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
        bool delivered = InterpretPassThroughResult(area, ok != FALSE, error, request.length, reply,
                                                    &lastError_);
        if (copy && request.direction == DataDirection::In) {
            std::memcpy(request.data, copy->data(), request.length);
        }
        return delivered;
    }
    std::u16string Name() const override { return name_; }
    std::string LastError() const override { return lastError_; }
    // Asked of the handle itself: the node it was opened on, whatever the path names by now.
    std::optional<std::uint64_t> NodeIdentity() const override {
        auto number = QueryStorageNumber(handle_);
        if (!number) return std::nullopt;
        return StorageNodeIdentity(*number);
    }

  private:
    HANDLE handle_;
    std::u16string name_;
    std::string lastError_;
};

class SptiBackend : public PassThroughBackend {
  public:
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        std::u16string name(path);
        HANDLE handle = ::CreateFileW(
            reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_READ | GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD e = ::GetLastError();
            if (error) *error = DescribeOpenFailure(path, e);
            return nullptr;
        }
        return std::make_unique<SptiDevice>(handle, std::move(name));
    }
};

}  // namespace

void BuildPassThroughArea(const ScsiRequest& request, ScsiRequestArea& area) {
    std::memset(&area, 0, sizeof area);
    ScsiPassThroughDirect& r = area.request;
    r.Length = sizeof(ScsiPassThroughDirect);
    r.TargetId = request.targetId;
    r.CdbLength = std::min<std::uint8_t>(request.cdbLength, sizeof r.Cdb);
    std::copy_n(request.cdb.begin(), r.CdbLength, r.Cdb);
    r.SenseInfoLength = kSenseRequestLength;
    r.SenseInfoOffset = kSenseAreaOffset;
    r.DataIn = static_cast<std::uint8_t>(request.direction);
    r.DataTransferLength = request.data != nullptr ? request.length : 0;
    r.DataBuffer = request.data;
    r.TimeOutValue = request.timeoutSeconds;
}

bool InterpretPassThroughResult(const ScsiRequestArea& area, bool delivered,
                                std::uint32_t lastError, std::uint32_t requestedLength,
                                ScsiReply& reply, std::string* why) {
    reply = ScsiReply{};
    if (!delivered) {
        if (why) *why = "the pass-through request failed: " + SystemErrorText(lastError);
        return false;
    }
    reply.status = area.request.ScsiStatus;
    // The driver reports how many sense bytes it wrote; a response code of 0 is no sense at all.
    std::size_t senseLength =
        std::min<std::size_t>(area.request.SenseInfoLength, sizeof area.sense);
    if (senseLength > 0 && (area.sense[0] & 0x7F) != 0) {
        reply.sense.assign(area.sense, area.sense + senseLength);
    }
    // On an underrun the driver lowers the length to what actually moved.
    reply.transferred = std::min(area.request.DataTransferLength, requestedLength);
    return true;
}

std::string SystemErrorText(std::uint32_t error) {
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length != 0 && text != nullptr) {
        std::u16string_view view(reinterpret_cast<const char16_t*>(text), length);
        while (!view.empty() && (view.back() == u'\r' || view.back() == u'\n' ||
                                 view.back() == u' ' || view.back() == u'.')) {
            view.remove_suffix(1);
        }
        message = Utf16ToUtf8(view);
    }
    if (text != nullptr) ::LocalFree(text);
    if (message.empty()) message = "system error";
    return message + " (error " + std::to_string(error) + ")";
}

std::string DescribeOpenFailure(std::u16string_view path, std::uint32_t error) {
    std::string text = "cannot open " + Utf16ToUtf8(path) + ": " + SystemErrorText(error);
    switch (error) {
        case ERROR_ACCESS_DENIED:
            text +=
                "; opening a drive for SCSI commands needs administrator rights (run the "
                "program as administrator)";
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            text += "; the device is no longer attached";
            break;
        case ERROR_SHARING_VIOLATION:
            text += "; another program holds the device open";
            break;
        default:
            break;
    }
    return text;
}

std::shared_ptr<PassThroughBackend> MakeSptiBackend() {
    return std::make_shared<SptiBackend>();
}

std::shared_ptr<PassThroughBackend> PlatformPassThroughBackend() {
    return MakeSptiBackend();
}

}  // namespace mox3
