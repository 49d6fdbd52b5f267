// The command line's state store on this system.
#include "app/run/host.h"

namespace mox3 {

namespace {

class SystemState : public StateStore {
  public:
    std::unique_ptr<CliHost> StartHost(const HostOptions& options, HostStartFailure* failure,
                                       std::string* error) override {
        return StartCliHost(options, failure, error);
    }
    std::unique_ptr<DriveReadersLock> ShareLock(const HostOptions& options, bool* updateRunning,
                                                std::string* error) override {
        return ShareUpdateLock(options, updateRunning, error);
    }
    std::unique_ptr<CliHost> DriveHost(const HostOptions& options) override {
        return MakeDriveHost(options);
    }
};

}  // namespace

std::string ConfigFileName(std::string_view base, std::u16string_view tag) {
    if (tag.empty()) return std::string(base);
    std::string safe;
    for (char16_t c : tag.substr(0, 64)) {
        const bool plain = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
        safe += plain ? static_cast<char>(c) : '_';
    }
    const std::size_t dot = base.rfind('.');
    const std::string_view stem = base.substr(0, dot);
    const std::string_view extension = dot == std::string_view::npos ? "" : base.substr(dot);
    return std::string(stem) + "-" + safe + std::string(extension);
}

std::shared_ptr<StateStore> SystemStateStore() {
    static const auto store = std::make_shared<SystemState>();
    return store;
}

}  // namespace mox3
