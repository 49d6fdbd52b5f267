// The configuration files shipped inside the program compile into their models' blocks.
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

std::vector<std::size_t> Differences(const std::vector<std::uint8_t>& a,
                                     const std::vector<std::uint8_t>& b) {
    std::vector<std::size_t> out;
    for (std::size_t i = 32; i < a.size(); ++i) {
        if (a[i] != b[i]) out.push_back(i);
    }
    return out;
}

TEST(ShippedFiles, AllCompileAndMatchTheFixtureModels) {
    for (int id : {104, 106, 116, 117, 118, 119, 120, 121, 123}) {
        Compiled c = CompileResource(id);
        EXPECT_TRUE(c.result.ok) << id << ": " << c.result.reason;
    }
    // The fixtures used by the other tests are the shipped files of 104 and 117.
    EXPECT_EQ(
        CompileResource(104).block,
        CompileIni(FirstGenerationIni(), {1, "01020300", 40000, 1}, "4A3F0012B7C4D9E1").block);
    EXPECT_EQ(CompileResource(117).block,
              CompileIni(SecondGenerationIni(), {}, "4A3F0012B7C4D9E1").block);
}

TEST(ShippedFiles, ModelsDifferOnlyWhereTheirIdentityDoes) {
    Compiled c116 = CompileResource(116), c117 = CompileResource(117), c118 = CompileResource(118);
    ASSERT_TRUE(c116.result.ok && c117.result.ok && c118.result.ok);
    EXPECT_EQ(Differences(c116.block, c117.block), (std::vector<std::size_t>{1802, 2196, 2532}));
    EXPECT_NE(Slice(c116.block, 0, 32), Slice(c117.block, 0, 32));
    for (std::size_t at : Differences(c117.block, c118.block)) {
        bool inProduct =
            (at >= 1958 && at < 2008) || (at >= 2294 && at < 2344) || (at >= 2748 && at < 2798);
        EXPECT_TRUE(inProduct) << at;
    }
    EXPECT_EQ(c118.block[1958], 18);
    EXPECT_EQ(c117.block[1958], 16);

    Compiled c104 = CompileResource(104), c106 = CompileResource(106);
    EXPECT_EQ(Differences(c104.block, c106.block), (std::vector<std::size_t>{1034, 1370, 1802}));
}

}  // namespace
}  // namespace mox3::test
