#include "app/device_access.h"

#include <fstream>

#include "config/text.h"
#include "discovery/device_tree.h"
#include "emulator/emulator_backend.h"
#include "emulator/emulator_tree.h"
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

}  // namespace

std::string SetUpDeviceAccess(const std::string& traceFile, const std::string& emulatorRoot) {
    if (!emulatorRoot.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(emulatorRoot, ec)) {
            return "the emulator folder " + emulatorRoot + " does not exist";
        }
        SetDeviceTree(MakeEmulatorDeviceTree(emulatorRoot, SystemClock()));
    } else {
        SetDeviceTree(PlatformDeviceTree());
    }
    std::shared_ptr<PassThroughBackend> backend = std::make_shared<RoutingBackend>(
        MakeEmulatorBackend(SystemClock()), PlatformPassThroughBackend());
    if (!traceFile.empty()) {
        auto out = std::make_shared<std::ofstream>(traceFile, std::ios::app);
        if (!*out) return "cannot write the trace file " + traceFile;
        backend = MakeTracingBackend(backend, out);
    }
    SetPassThroughBackend(backend);
    return {};
}

}  // namespace mox3
