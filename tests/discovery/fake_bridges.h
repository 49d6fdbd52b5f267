// Bridges made up in the test: devices that answer the bridge's commands as set, for the
// platform trees' tests.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/passthrough.h"

namespace mox3::test {

// As made, a second-generation bridge in its normal firmware.
struct FakeBridgeAnswers {
    // nothing: the command is rejected
    std::optional<std::array<std::uint8_t, 8>> version = std::array<std::uint8_t, 8>{0, 0, 1, 0,
                                                                                    0, 0, 5, 0};
    std::optional<std::uint8_t> status0 = 0;
    std::optional<std::array<std::uint8_t, 7>> info = std::array<std::uint8_t, 7>{1, 2, 3, 4,
                                                                                  5, 6, 7};
    std::string chipName = "MB86C311A";  // empty: rejected
    bool answersInquiry = true;
    int infoReads = 0;  // counted
    int chipReads = 0;
    std::optional<std::uint64_t> nodeIdentity;  // what an opened handle says of its node
};

// Devices by path answering as their FakeBridgeAnswers say; unknown paths do not open.
class FakeBridges : public PassThroughBackend {
  public:
    std::map<std::u16string, FakeBridgeAnswers> devices;
    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override;
};

}  // namespace mox3::test
