// The device handle and the SCSI pass-through request that every drive command travels in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transport/passthrough.h"

namespace mox3 {

inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr std::uint8_t kSenseRequestLength = 14;

// The platform's pass-through request, in its native layout (44 bytes on 32-bit Windows).
struct ScsiPassThroughDirect {
    std::uint16_t Length;
    std::uint8_t ScsiStatus;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t CdbLength;
    std::uint8_t SenseInfoLength;
    std::uint8_t DataIn;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    void* DataBuffer;
    std::uint32_t SenseInfoOffset;
    std::uint8_t Cdb[16];
};

// The block sent as input and output of one pass-through request: the request, 4 zero bytes
// and the sense area (64 bytes on 32-bit Windows).
struct ScsiRequestArea {
    ScsiPassThroughDirect request;
    std::uint32_t filler;
    std::uint8_t sense[16];
};
inline constexpr std::uint32_t kSenseAreaOffset = offsetof(ScsiRequestArea, sense);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ScsiPassThroughDirect) == 44 && sizeof(ScsiRequestArea) == 64 &&
              kSenseAreaOffset == 48);
#endif

// Owns one open device.
class CNtDevCtrl {
  public:
    CNtDevCtrl() = default;
    virtual ~CNtDevCtrl();
    CNtDevCtrl(const CNtDevCtrl&) = delete;
    CNtDevCtrl& operator=(const CNtDevCtrl&) = delete;

    // Closes a handle still open, then opens `path` through the process's backend.
    bool Open(std::u16string_view path);
    void Close();
    // One device-control request. The pass-through code expects `in` and `out` to be the same
    // ScsiRequestArea; any other code is refused.
    bool Control(std::uint32_t code, void* in, std::uint32_t inSize, void* out,
                 std::uint32_t outSize);

    bool IsOpen() const { return handle_ != nullptr; }
    // The identity of the node opened (PassThroughDevice::NodeIdentity).
    std::optional<std::uint64_t> NodeIdentity() const;
    const std::u16string& path() const { return path_; }
    // Why the last Open failed.
    const std::string& openError() const { return openError_; }

  private:
    std::unique_ptr<PassThroughDevice> handle_;
    std::u16string path_;
    std::string openError_;
    bool overlapped_ = false;  // requests always run synchronously
};

// The abstract SCSI request block.
class CSrb {
  public:
    virtual std::uint8_t GetAsc() = 0;
    virtual std::uint8_t GetAscq() = 0;
    virtual void Setup(DataDirection direction, std::uint8_t cdbLength, void* buffer,
                       std::uint32_t length, std::uint32_t timeoutSeconds) = 0;
    virtual bool Execute() = 0;

    // The 16-byte CDB area; command builders write it after Setup.
    std::uint8_t* cdb = nullptr;

  protected:
    ~CSrb() = default;
};

// A SCSI pass-through request sent through its own device handle.
class CSpti : public virtual CSrb, public virtual CNtDevCtrl {
  public:
    CSpti();
    ~CSpti() override = default;

    std::uint8_t GetAsc() override;
    std::uint8_t GetAscq() override;
    void Setup(DataDirection direction, std::uint8_t cdbLength, void* buffer, std::uint32_t length,
               std::uint32_t timeoutSeconds) override;
    bool Execute() override;

    const ScsiRequestArea& area() const { return area_; }

  private:
    ScsiRequestArea area_{};
};

}  // namespace mox3
