#include "config/ansi_text.h"

#include <algorithm>
#include <string>

#include "platform/platform.h"

namespace mox3 {

ToCHAR::ToCHAR(std::u16string_view text) : buffer_(2 * text.size() + 2, 0) {
    std::string ansi = ToSystemAnsi(text);
    const std::size_t n = std::min(ansi.size(), buffer_.size() - 1);
    for (std::size_t i = 0; i < n; ++i) buffer_[i] = static_cast<std::uint8_t>(ansi[i]);
}

}  // namespace mox3
