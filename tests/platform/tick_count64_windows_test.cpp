#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "platform/shims/tick_count64.h"

// Not declared for Windows XP; the programs' calls reach it through their own import slot.
extern "C" __declspec(dllimport) ULONGLONG WINAPI GetTickCount64();

namespace mox3 {
namespace {

const std::uint32_t kReadings[] = {10, 10, 0xFFFF'FFF0, 3, 2000, 0xFFFF'FFFF, 0, 0};
std::size_t nextReading = 0;

TEST(TickCount64, WideningCountsEveryWrapOfTheCounter) {
    std::atomic<std::uint64_t> last{0};
    std::vector<std::uint64_t> counts;
    for (std::size_t i = 0; i < std::size(kReadings); ++i) {
        counts.push_back(WidenTickCount(last, [] { return kReadings[nextReading++]; }));
    }
    EXPECT_EQ(counts, (std::vector<std::uint64_t>{10, 10, 0xFFFF'FFF0, 0x1'0000'0003, 0x1'0000'07D0,
                                                  0x1'FFFF'FFFF, 0x2'0000'0000, 0x2'0000'0000}));
    EXPECT_EQ(last.load(), 0x2'0000'0000u);
}

TEST(TickCount64, TheProgramsImportSlotGivesTheSystemsCount) {
    // Through the slot the program defines: where kernel32.dll has the function (every system
    // the tests run on), the same count as the system's own, give or take the time between.
    auto system = reinterpret_cast<ULONGLONG(WINAPI*)()>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
    if (system == nullptr) GTEST_SKIP() << "this system has no GetTickCount64";
    const ULONGLONG before = system(), through = GetTickCount64(), after = system();
    EXPECT_TRUE(before <= through && through <= after) << before << " " << through << " " << after;
}

}  // namespace
}  // namespace mox3
