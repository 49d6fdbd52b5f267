#include "transport/sg_io_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/text.h"

namespace mox3 {

namespace {

// Host and driver states of the SG_IO header that mean the command never completed.
constexpr unsigned kDriverSense = 0x08;
constexpr unsigned kDriverStatusMask = 0x0F;

class SgIoDevice : public PassThroughDevice {
  public:
    SgIoDevice(int fd, std::u16string name) : fd_(fd), name_(std::move(name)) {}
    ~SgIoDevice() override { ::close(fd_); }

    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        std::array<std::uint8_t, kSgSenseBufferSize> sense{};
        sg_io_hdr_t header = BuildSgIoHeader(request, sense);
        int result = ::ioctl(fd_, SG_IO, &header);
        int error = errno;
        return InterpretSgIoResult(header, result, error, sense, reply, &lastError_);
    }
    std::u16string Name() const override { return name_; }
    std::string LastError() const override { return lastError_; }
    // The device number of the node this handle holds, whatever its path names now.
    std::optional<std::uint64_t> NodeIdentity() const override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || (!S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode))) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(major(st.st_rdev)) << 32 | minor(st.st_rdev);
    }

  private:
    int fd_;
    std::u16string name_;
    std::string lastError_;
};

class SgIoBackend : public PassThroughBackend {
  public:
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        std::string node = Utf16ToUtf8(path);
        int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (error) *error = SgOpenFailureText(node, e, ::geteuid() == 0);
            return nullptr;
        }
        int version = 0;
        if (::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0) {
            if (error) {
                struct stat st {};
                const bool known = ::fstat(fd, &st) == 0;
                *error = SgRefusedText(node, known ? st.st_mode : 0);
            }
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<SgIoDevice>(fd, std::u16string(path));
    }
};

}  // namespace

std::string SgOpenFailureText(const std::string& node, int error, bool root) {
    std::string text = "cannot open " + node + ": ";
    switch (error) {
        case ENOENT:
            return text + "there is no such device node or file";
        case EISDIR:
            return text + "it is a folder, neither a disk's device node nor an emulated drive";
        case EROFS:
            return text + "the device is read-only, and a drive is updated through writing";
        case EACCES:
        case EPERM:
            text += std::strerror(error);
            // Root is refused only by what no group membership changes either.
            if (root) {
                return text + " (refused even to root: a security policy or the device keeps it "
                              "from being opened for writing)";
            }
            return text + " (run as root or as a member of the group that owns " + node + ")";
        case EBUSY:
            text += std::strerror(error);
            return text + " (another program holds it, or it is mounted)";
        default:
            return text + std::strerror(error);
    }
}

std::string SgRefusedText(const std::string& node, unsigned mode) {
    if (S_ISREG(mode)) return node + " is a regular file, not a disk's device node";
    if (S_ISDIR(mode)) {
        return node + " is a folder, neither a disk's device node nor an emulated drive";
    }
    if (S_ISBLK(mode) || S_ISCHR(mode)) {
        return node + " was opened, but it is not a disk that takes SCSI pass-through requests "
                      "(a drive behind a USB bridge is a SCSI disk, /dev/sdX)";
    }
    return node + " is not a disk's device node: it takes no SCSI pass-through requests";
}

sg_io_hdr_t BuildSgIoHeader(const ScsiRequest& request,
                            std::array<std::uint8_t, kSgSenseBufferSize>& sense) {
    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    switch (request.direction) {
        case DataDirection::In:
            h.dxfer_direction = SG_DXFER_FROM_DEV;
            break;
        case DataDirection::Out:
            h.dxfer_direction = SG_DXFER_TO_DEV;
            break;
        case DataDirection::None:
            h.dxfer_direction = SG_DXFER_NONE;
            break;
    }
    if (request.length == 0 || request.data == nullptr) h.dxfer_direction = SG_DXFER_NONE;
    h.cmd_len = request.cdbLength;
    h.cmdp = const_cast<unsigned char*>(request.cdb.data());
    h.mx_sb_len = static_cast<unsigned char>(sense.size());
    h.sbp = sense.data();
    if (h.dxfer_direction != SG_DXFER_NONE) {
        h.dxfer_len = request.length;
        h.dxferp = request.data;
    }
    // Seconds to milliseconds; 0 would mean the driver's default.
    std::uint64_t ms = std::uint64_t{request.timeoutSeconds} * 1000;
    h.timeout = static_cast<unsigned>(ms == 0 ? 1000 : ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : ms);
    return h;
}

bool InterpretSgIoResult(const sg_io_hdr_t& h, int ioctlResult, int error,
                         const std::array<std::uint8_t, kSgSenseBufferSize>& sense,
                         ScsiReply& reply, std::string* why) {
    reply = ScsiReply{};
    if (ioctlResult < 0) {
        if (why) *why = std::string("SG_IO failed: ") + std::strerror(error);
        return false;
    }
    if (h.host_status != 0) {
        if (why) *why = "the host adapter reported status " + std::to_string(h.host_status);
        return false;
    }
    if ((h.driver_status & kDriverStatusMask) != 0 &&
        (h.driver_status & kDriverStatusMask) != kDriverSense) {
        if (why) *why = "the driver reported status " + std::to_string(h.driver_status);
        return false;
    }
    reply.status = h.status;
    std::size_t senseLength = std::min<std::size_t>(h.sb_len_wr, sense.size());
    reply.sense.assign(sense.begin(), sense.begin() + static_cast<std::ptrdiff_t>(senseLength));
    int resid = h.resid < 0 ? 0 : h.resid;
    reply.transferred =
        h.dxfer_len > static_cast<unsigned>(resid) ? h.dxfer_len - static_cast<unsigned>(resid) : 0;
    return true;
}

std::shared_ptr<PassThroughBackend> MakeSgIoBackend() {
    return std::make_shared<SgIoBackend>();
}

std::shared_ptr<PassThroughBackend> PlatformPassThroughBackend() {
    return MakeSgIoBackend();
}

}  // namespace mox3
