#include "app/device_access.h"

#include <fstream>

#include "transport/passthrough.h"
#include "transport/trace.h"

namespace mox3 {

std::string SetUpDeviceAccess(const std::string& traceFile) {
    std::shared_ptr<PassThroughBackend> backend = PlatformPassThroughBackend();
    if (!traceFile.empty()) {
        auto out = std::make_shared<std::ofstream>(traceFile, std::ios::app);
        if (!*out) return "cannot write the trace file " + traceFile;
        backend = MakeTracingBackend(backend, out);
    }
    SetPassThroughBackend(backend);
    return {};
}

}  // namespace mox3
