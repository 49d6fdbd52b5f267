// Bridges made up in the test: devices that answer the bridge's commands as set, for the
// platform trees' tests.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "transport/passthrough.h"

namespace mox3::test {

// A second-generation bridge in its normal firmware, or in the loader when status0 says so.
struct FakeBridgeAnswers {
    std::uint8_t status0 = 0;                   // the first byte of the bridge's status
    std::optional<std::uint64_t> nodeIdentity;  // what an opened handle says of its node
};

// Devices by path answering as their FakeBridgeAnswers say; unknown paths do not open.
class FakeBridges : public PassThroughBackend {
  public:
    std::map<std::u16string, FakeBridgeAnswers> devices;
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override;
};

}  // namespace mox3::test
