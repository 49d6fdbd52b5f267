// Which systems the update accepts.
#include "app/run/os_check.h"

#include <gtest/gtest.h>

namespace mox3 {
namespace {

TEST(OsCheck, WorkstationsFromXpSp2VistaSp2AndSeven) {
    // {platform, major, minor, product (1: workstation), service pack}: refused are XP SP1,
    // Vista SP1, 2000, XP x64 / Server 2003, NT 4, a server, a domain controller and Me.
    for (const auto& [os, accepted] : std::initializer_list<std::pair<OsVersionRecord, bool>>{
             {{2, 5, 1, 1, 2}, true}, {{2, 5, 1, 1, 3}, true}, {{2, 6, 0, 1, 2}, true},
             {{2, 6, 1, 1, 0}, true}, {{2, 6, 2, 1, 0}, true}, {{2, 10, 0, 1, 0}, true},
             {{2, 5, 1, 1, 1}, false}, {{2, 6, 0, 1, 1}, false}, {{2, 5, 0, 1, 4}, false},
             {{2, 5, 2, 1, 2}, false}, {{2, 4, 0, 1, 6}, false}, {{2, 6, 1, 3, 1}, false},
             {{2, 10, 0, 2, 0}, false}, {{1, 4, 90, 1, 0}, false}}) {
        EXPECT_EQ(OsVersionAccepted(os), accepted)
            << os.major << "." << os.minor << " SP" << os.servicePackMajor << " "
            << +os.productType;
    }
}

}  // namespace
}  // namespace mox3
