// How an emulated bridge drive makes itself known to the program, in a way no real bridge
// answers: a vendor-specific INQUIRY page carrying a fixed text. The program looks for it only
// to decide whether its testing aids may apply to a drive.
#pragma once

#include <cstdint>
#include <string_view>

namespace mox3 {

inline constexpr std::uint8_t kEmulatorMarkPage = 0xC7;
inline constexpr std::string_view kEmulatorMarkText = "MOX3 EMULATED BRIDGE DRIVE";
// The page's length: a 4-byte header and the text.
inline constexpr std::uint8_t kEmulatorMarkPageLength = 4 + kEmulatorMarkText.size();

}  // namespace mox3
