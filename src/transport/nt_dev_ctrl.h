// The device handle and the SCSI request object that every drive command travels in. Both speak
// the neutral request of transport/passthrough.h; how a platform packs it is its backend's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transport/passthrough.h"

namespace mox3 {

// Owns one open device.
class CNtDevCtrl {
  public:
    CNtDevCtrl() = default;
    virtual ~CNtDevCtrl();
    CNtDevCtrl(const CNtDevCtrl&) = delete;
    CNtDevCtrl& operator=(const CNtDevCtrl&) = delete;

    // Closes a handle still open, then opens `path` through `backend`.
    bool Open(PassThroughBackend& backend, std::u16string_view path);
    void Close();
    // One request on the open device. False when it was not delivered: nothing is open, the
    // request is malformed (no command block, or data without a buffer), or the device did
    // not take it (LastError says why); then `reply` says nothing.
    bool Send(const ScsiRequest& request, ScsiReply& reply);
    // Why the last request was not delivered, empty when unknown.
    std::string LastError() const;

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

// A SCSI request sent through its own device handle: Setup, the command block written into
// `cdb`, Execute; true when the device answered GOOD without sense.
class CSpti : public virtual CSrb, public virtual CNtDevCtrl {
  public:
    CSpti();
    ~CSpti() override = default;

    std::uint8_t GetAsc() override;
    std::uint8_t GetAscq() override;
    void Setup(DataDirection direction, std::uint8_t cdbLength, void* buffer, std::uint32_t length,
               std::uint32_t timeoutSeconds) override;
    bool Execute() override;

    const ScsiRequest& request() const { return request_; }
    const ScsiReply& reply() const { return reply_; }

  private:
    ScsiRequest request_{};
    ScsiReply reply_{};
};

}  // namespace mox3
