// Compiling configurations in tests: an editable INI text, sample images and the result.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/config_build.h"
#include "test_support.h"

namespace mox3::test {

// An INI file kept in order: sections and keys can be set, added and removed.
class Ini {
  public:
    Ini& Set(const std::string& section, const std::string& key, const std::string& value);
    // Sets each of the blank-separated "key=value" pairs.
    Ini& SetAll(const std::string& section, const std::string& pairs);
    Ini& Remove(const std::string& section, const std::string& key);
    std::string Text() const;

  private:
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections_;
};

// The shipped second-generation model file (ZR-MOX3, 0x7C34) and first-generation file.
Ini SecondGenerationIni();
Ini FirstGenerationIni();

struct Compiled {
    ConfigBuildResult result;
    std::vector<std::uint8_t> block;  // the 4096 bytes when the compile succeeded
    std::string scratchText;          // the manager's scratch text afterwards
    std::uint32_t firmwareAddress = 0;
    std::array<std::uint8_t, 8> flashParameters{};
};

struct ImageSpec {
    int generation = 2;
    std::string digits = "01000700";
    std::size_t size = 100000;
    std::uint64_t seed = 1;
};

// Writes the INI and a sample image into a fresh folder and compiles them.
Compiled CompileIni(const Ini& ini, const ImageSpec& image = {},
                    std::optional<std::string> serial = "0123456789ABCDEF");
// The same with the configuration file's exact bytes.
Compiled CompileBytes(const std::vector<std::uint8_t>& config, const ImageSpec& image,
                      std::optional<std::string> serial);

// Expects the compile to fail in its compile step, naming `keyInMessage`.
void ExpectFails(const Ini& ini, const std::string& keyInMessage, const ImageSpec& image = {});
// UTF-16 LE text after its byte-order mark.
std::vector<std::uint8_t> Utf16Le(std::u16string_view text);
// Bytes from "AA BB ..." text; "N*BB" is N bytes BB.
std::vector<std::uint8_t> Hex(const std::string& text);
// Expects the bytes a layout names: "OFFSET [OFFSET...]: BYTES; ...", BYTES as for Hex, or
// "'text" for the text's characters.
void ExpectBytes(const std::vector<std::uint8_t>& block, const std::string& layout);
std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& block, std::size_t from,
                                std::size_t count);

}  // namespace mox3::test
