#include "app/session/session.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "bridge/vendor_commands.h"
#include "discovery/device_tree.h"
#include "emulator/drive_state.h"
#include "emulator/emulated_drive.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
#include "emulator/folder_files.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "transport/emulator_mark.h"
#include "transport/nt_dev_ctrl.h"
#include "transport/passthrough.h"
#include "transport/trace.h"

namespace mox3 {

namespace {

// Emulated drive folders go to the emulator, every other path to the platform.
class RoutingBackend : public PassThroughBackend {
  public:
    RoutingBackend(std::shared_ptr<PassThroughBackend> emulator,
                   std::shared_ptr<PassThroughBackend> platform)
        : emulator_(std::move(emulator)), platform_(std::move(platform)) {}

    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        if (IsEmulatedDevicePath(path)) return emulator_->Open(path, error);
        return platform_->Open(path, error);
    }

  private:
    std::shared_ptr<PassThroughBackend> emulator_;
    std::shared_ptr<PassThroughBackend> platform_;
};

// A testing aid: the process kills itself just before its n-th request to any drive, as a
// power failure or a killed program would interrupt it (MOX3_KILL_AT_REQUEST=n); with
// MOX3_KILL_SIGNAL=s it sends itself signal s instead, as a user pressing Ctrl-C would.
class KillingBackend : public PassThroughBackend {
  public:
    KillingBackend(std::shared_ptr<PassThroughBackend> inner,
                   std::shared_ptr<const TestingAids> aids, long killAt, int signal)
        : inner_(std::move(inner)),
          state_(std::make_shared<Count>(killAt, signal, std::move(aids))) {}
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        auto device = inner_->Open(path, error);
        if (!device) return nullptr;
        return std::make_unique<Device>(std::move(device), state_);
    }

  private:
    struct Count {
        Count(long at, int s, std::shared_ptr<const TestingAids> a)
            : killAt(at), signal(s), aids(std::move(a)) {}
        std::atomic<long> sent{0};  // by every device, whichever thread sends
        long killAt;
        int signal;
        std::shared_ptr<const TestingAids> aids;
    };
    class Device : public PassThroughDevice {
      public:
        Device(std::unique_ptr<PassThroughDevice> inner, std::shared_ptr<Count> count)
            : inner_(std::move(inner)), count_(std::move(count)) {}
        bool Send(const ScsiRequest& request, ScsiReply& reply) override {
            if (++count_->sent == count_->killAt && !count_->aids->Revoked()) {
                if (count_->signal == 0) KillProcessNow();
                std::raise(count_->signal);
            }
            return inner_->Send(request, reply);
        }
        std::u16string Name() const override { return inner_->Name(); }
        std::optional<std::uint64_t> NodeIdentity() const override { return inner_->NodeIdentity(); }

      private:
        std::unique_ptr<PassThroughDevice> inner_;
        std::shared_ptr<Count> count_;
    };
    std::shared_ptr<PassThroughBackend> inner_;
    std::shared_ptr<Count> state_;
};

// Keeps the testing aids to emulated drives: before the first request that would change a
// drive reached from outside this process's emulator, it asks the drive for the emulator's
// mark, and revokes the aids for good when the drive does not carry it.
class TestingAidsGuard : public PassThroughBackend {
  public:
    TestingAidsGuard(std::shared_ptr<PassThroughBackend> inner, std::shared_ptr<TestingAids> aids)
        : inner_(std::move(inner)), aids_(std::move(aids)) {}
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        auto device = inner_->Open(path, error);
        if (!device) return nullptr;
        return std::make_unique<Device>(std::move(device), IsEmulatedDevicePath(path), aids_);
    }

  private:
    class Device : public PassThroughDevice {
      public:
        Device(std::unique_ptr<PassThroughDevice> inner, bool inProcess,
               std::shared_ptr<TestingAids> aids)
            : inner_(std::move(inner)), trusted_(inProcess), aids_(std::move(aids)) {}
        bool Send(const ScsiRequest& request, ScsiReply& reply) override {
            if (!trusted_ && request.cdb[0] == kOpWriteBuffer && !aids_->Revoked()) {
                trusted_ = CarriesMark();
                if (!trusted_) aids_->Revoke();
            }
            return inner_->Send(request, reply);
        }
        std::u16string Name() const override { return inner_->Name(); }
        std::optional<std::uint64_t> NodeIdentity() const override { return inner_->NodeIdentity(); }

      private:
        bool CarriesMark() {
            std::uint8_t page[255] = {};
            ScsiRequest probe;
            probe.cdb = {kOpInquiry, 0x01, kEmulatorMarkPage, 0, sizeof page, 0};
            probe.cdbLength = 6;
            probe.direction = DataDirection::In;
            probe.data = page;
            probe.length = sizeof page;
            probe.timeoutSeconds = 2;
            ScsiReply reply;
            if (!inner_->Send(probe, reply) || reply.status != kScsiStatusGood) return false;
            const std::string_view text(reinterpret_cast<const char*>(page + 4),
                                        kEmulatorMarkText.size());
            return page[1] == kEmulatorMarkPage && page[3] == kEmulatorMarkText.size() &&
                   text == kEmulatorMarkText;
        }
        std::unique_ptr<PassThroughDevice> inner_;
        bool trusted_;
        std::shared_ptr<TestingAids> aids_;
    };
    std::shared_ptr<PassThroughBackend> inner_;
    std::shared_ptr<TestingAids> aids_;
};

}  // namespace

std::shared_ptr<PassThroughBackend> GuardTestingAids(std::shared_ptr<PassThroughBackend> inner,
                                                     std::shared_ptr<TestingAids> aids) {
    return std::make_shared<TestingAidsGuard>(std::move(inner), std::move(aids));
}

int UnopenedDisks(const DeviceAccess& devices, std::string* firstReason) {
    int count = 0;
    if (!devices.tree || !devices.backend) return 0;
    auto disks = devices.tree->PresentInterfaces(InterfaceClass::Disk);
    if (!disks) return 0;
    for (const DeviceInterface& iface : *disks) {
        CNtDevCtrl probe;
        if (probe.Open(*devices.backend, iface.path)) continue;
        if (++count == 1 && firstReason) *firstReason = probe.openError();
    }
    return count;
}

std::string EmulatorFolderProblem(const std::string& emulatorRoot) {
    std::error_code ec;
    const std::filesystem::path root = Utf8Path(emulatorRoot);
    if (!std::filesystem::is_directory(root, ec)) {
        return std::filesystem::exists(root, ec)
                   ? "--emulator takes a folder of emulated drives; " + emulatorRoot +
                         " is not a folder"
                   : "the emulator folder " + emulatorRoot + " does not exist";
    }
    if (IsEmulatedDriveFolder(root)) {
        std::filesystem::path drive = root.lexically_normal();
        if (!drive.has_filename()) drive = drive.parent_path();
        std::filesystem::path parent = drive.parent_path();
        if (parent.empty()) parent = ".";
        std::string text = emulatorRoot;
        text += " is an emulated drive's folder; --emulator wants the folder that holds the "
                "drives, e.g. ";
        text += Utf16ToUtf8(parent.u16string());
        return text;
    }
    return {};
}

std::string NotAnEmulatedDriveText(const std::string& folder) {
    const std::filesystem::path dir = Utf8Path(folder);
    std::error_code ec;
    const auto state = std::filesystem::symlink_status(dir / kDriveStateFile, ec);
    std::string text = folder;
    text += " is not an emulated drive: ";
    text += kDriveStateFile;
    if (!std::filesystem::exists(state)) return text + " is missing";
    if (!std::filesystem::is_regular_file(state)) return text + " is not a regular file";
    std::string why;
    if (!ReadFileContents(dir / kDriveStateFile, kLargestStateFile, &why)) {
        return text + " cannot be read: " + why;
    }
    text += " does not begin with ";
    text += kDriveStateFormatLine;
    return text;
}

std::optional<Session> StartSession(const std::string& traceFile, const std::string& emulatorRoot,
                                    std::string* refusal) {
    auto fail = [&](std::string why) -> std::optional<Session> {
        if (refusal) *refusal = std::move(why);
        return std::nullopt;
    };
    Session session;
    session.clock = SystemClock(session.testingAids);
    if (!emulatorRoot.empty()) {
        std::string problem = EmulatorFolderProblem(emulatorRoot);
        if (!problem.empty()) return fail(problem);
        session.devices.tree = MakeEmulatorDeviceTree(Utf8Path(emulatorRoot), session.clock);
        session.emulatedBusFolder = emulatorRoot;
    } else {
        session.devices.tree = PlatformDeviceTree();
    }
    std::shared_ptr<PassThroughBackend> backend = std::make_shared<RoutingBackend>(
        MakeEmulatorBackend(session.clock), PlatformPassThroughBackend());
    // Always wrapped: the last failed request is what --verbose shows of a failure.
    // A trace goes only to a regular file that is new, empty or a trace already: never through
    // a link, into a FIFO (which would wait for a reader) or a device, nor onto another file.
    TraceSink sink;
    if (!traceFile.empty()) {
        auto file = std::make_shared<AppendFile>();
        std::string firstLine, why;
        if (!file->Open(Utf8Path(traceFile), &firstLine, &why)) {
            std::string text = "cannot use the trace file: ";
            text += why;
            return fail(text);
        }
        if (!firstLine.empty() && !IsTraceLine(firstLine)) {
            return fail("the trace file " + traceFile +
                        " holds something else than a trace; name a new or empty file");
        }
        sink = [file](const std::string& line, std::string* failure) {
            std::string error;
            if (file->Append(line, &error)) return true;
            *failure = "the trace was not written whole: " + error;
            return false;
        };
    }
    backend = MakeTracingBackend(backend, std::move(sink), session.trace, session.clock);
    const char* killAt = std::getenv("MOX3_KILL_AT_REQUEST");
    if (killAt || std::getenv("MOX3_TIME_SCALE")) {
        backend = GuardTestingAids(backend, session.testingAids);
    }
    if (killAt) {
        const char* signal = std::getenv("MOX3_KILL_SIGNAL");
        backend = std::make_shared<KillingBackend>(
            backend, session.testingAids, std::strtol(killAt, nullptr, 10),
            signal ? static_cast<int>(std::strtol(signal, nullptr, 10)) : 0);
    }
    session.devices.backend = std::move(backend);
    return session;
}

}  // namespace mox3
