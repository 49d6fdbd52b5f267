// The configuration models the other tests compile are the files shipped inside the program.
#include <gtest/gtest.h>

#include "config/compile_fixture.h"
#include "resources/resources.h"

namespace mox3::test {
namespace {

Compiled CompileResource(int id, const std::string& serial = "4A3F0012B7C4D9E1") {
    const EmbeddedResource* r = FindConfigResource(id);
    EXPECT_NE(r, nullptr);
    std::vector<std::uint8_t> bytes(r->bytes.begin(), r->bytes.end());
    ImageSpec image = id < 110 ? ImageSpec{1, "01020300", 40000, 1} : ImageSpec{};
    return CompileBytes(bytes, image, serial);
}

TEST(ShippedFiles, FixtureModelsAreTheShippedFiles) {
    // The fixtures used by the other tests are the shipped files of 104 and 117.
    EXPECT_EQ(
        CompileResource(104).block,
        CompileIni(FirstGenerationIni(), {1, "01020300", 40000, 1}, "4A3F0012B7C4D9E1").block);
    EXPECT_EQ(CompileResource(117).block,
              CompileIni(SecondGenerationIni(), {}, "4A3F0012B7C4D9E1").block);
}

}  // namespace
}  // namespace mox3::test
