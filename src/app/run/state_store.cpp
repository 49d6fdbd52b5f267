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
};

}  // namespace

std::shared_ptr<StateStore> SystemStateStore() {
    static const auto store = std::make_shared<SystemState>();
    return store;
}

}  // namespace mox3
