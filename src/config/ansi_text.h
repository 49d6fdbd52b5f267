// Texts in the system's ANSI code page, as the configuration compilers put them into a block.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace mox3 {

// The text converter of the configuration compilers: owns the converted bytes (with a
// terminating 0 and room to spare) for as long as it lives.
class ToCHAR {
  public:
    explicit ToCHAR(std::u16string_view text);
    virtual ~ToCHAR() = default;
    ToCHAR(const ToCHAR&) = delete;
    ToCHAR& operator=(const ToCHAR&) = delete;

    const char* c_str() const { return reinterpret_cast<const char*>(buffer_.data()); }
    // The converted bytes; the buffer is 2 * length + 2 bytes, zero after the text.
    const std::vector<std::uint8_t>& bytes() const { return buffer_; }

  private:
    std::vector<std::uint8_t> buffer_;
};

}  // namespace mox3
