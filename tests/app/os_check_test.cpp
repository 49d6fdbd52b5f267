// Which systems the update accepts.
#include "app/run/os_check.h"

#include <gtest/gtest.h>

namespace mox3 {
namespace {

OsVersionRecord Nt(std::uint32_t major, std::uint32_t minor, std::uint16_t sp,
                   std::uint8_t product = kProductWorkstation) {
    return {kPlatformNt, major, minor, product, sp};
}

TEST(OsCheck, WorkstationsFromXpSp2VistaSp2AndSeven) {
    EXPECT_TRUE(OsVersionAccepted(Nt(5, 1, 2)));
    EXPECT_TRUE(OsVersionAccepted(Nt(5, 1, 3)));
    EXPECT_TRUE(OsVersionAccepted(Nt(6, 0, 2)));
    EXPECT_TRUE(OsVersionAccepted(Nt(6, 1, 0)));
    EXPECT_TRUE(OsVersionAccepted(Nt(6, 2, 0)));
    EXPECT_TRUE(OsVersionAccepted(Nt(10, 0, 0)));

    EXPECT_FALSE(OsVersionAccepted(Nt(5, 1, 1))) << "XP SP1";
    EXPECT_FALSE(OsVersionAccepted(Nt(6, 0, 1))) << "Vista SP1";
    EXPECT_FALSE(OsVersionAccepted(Nt(5, 0, 4))) << "Windows 2000";
    EXPECT_FALSE(OsVersionAccepted(Nt(5, 2, 2))) << "XP x64 / Server 2003";
    EXPECT_FALSE(OsVersionAccepted(Nt(4, 0, 6))) << "NT 4";
    EXPECT_FALSE(OsVersionAccepted(Nt(6, 1, 1, 3))) << "a server edition";
    EXPECT_FALSE(OsVersionAccepted(Nt(10, 0, 0, 2))) << "a domain controller";
    EXPECT_FALSE(OsVersionAccepted({1, 4, 90, kProductWorkstation, 0})) << "Windows Me";
}

}  // namespace
}  // namespace mox3
