#include "transport/spti_windows.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "discovery/device_tree_windows.h"
#include "test_support.h"
#include "transport/nt_dev_ctrl.h"

namespace mox3 {
namespace {

ScsiRequest ReadVersionRequest(std::uint8_t* buffer) {
    ScsiRequest request;
    request.cdb = {0x3C, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    request.cdbLength = 10;
    request.direction = DataDirection::In;
    request.data = buffer;
    request.length = 8;
    request.timeoutSeconds = 120;
    return request;
}

TEST(SptiWindows, RequestAreaCarriesTheCommandInTheNativeLayout) {
    std::uint8_t buffer[8];
    ScsiRequestArea area;
    std::memset(&area, 0xEE, sizeof area);  // left over from an earlier request
    BuildPassThroughArea(ReadVersionRequest(buffer), area);

    const ScsiPassThroughDirect& r = area.request;
    // The sense area follows the block after four zero bytes, and the driver is pointed at it.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&area);
    EXPECT_EQ(std::make_tuple(r.Length, r.ScsiStatus, r.PathId | r.TargetId | r.Lun, r.CdbLength,
                              r.DataIn, r.DataTransferLength, r.DataBuffer, r.TimeOutValue,
                              r.SenseInfoLength, r.SenseInfoOffset),
              std::make_tuple(std::uint16_t{sizeof r}, std::uint8_t{0}, 0, std::uint8_t{10},
                              std::uint8_t{1}, 8u, static_cast<void*>(buffer), 120u,
                              std::uint8_t{14}, std::uint32_t{sizeof r + 4}));
    EXPECT_EQ(std::vector<std::uint8_t>(r.Cdb, r.Cdb + 16),
              (std::vector<std::uint8_t>{0x3C, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes + r.SenseInfoOffset, area.sense);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes + sizeof r, bytes + sizeof area),
              std::vector<std::uint8_t>(sizeof area - sizeof r, 0));

    ScsiRequest none;
    none.cdbLength = 6;
    BuildPassThroughArea(none, area);
    EXPECT_EQ(std::make_tuple(r.DataIn, r.DataTransferLength, r.DataBuffer, r.Cdb[0]),
              std::make_tuple(std::uint8_t{2}, 0u, nullptr, std::uint8_t{0}))
        << "nothing of the previous command survives";
}

TEST(SptiWindows, ReplyJudging) {
    std::uint8_t buffer[8];
    ScsiRequestArea area;
    BuildPassThroughArea(ReadVersionRequest(buffer), area);
    ScsiReply reply;
    std::string why;

    // Not delivered: the reply says nothing and the reason is given.
    reply.status = 0x55;
    reply.sense = {1, 2, 3};
    EXPECT_FALSE(InterpretPassThroughResult(area, false, ERROR_SEM_TIMEOUT, 8, reply, &why));
    EXPECT_TRUE(reply.status == 0 && reply.sense.empty());
    EXPECT_NE(why.find("121"), std::string::npos) << why;

    // GOOD status and no sense, although the driver left the sense length as asked.
    EXPECT_TRUE(InterpretPassThroughResult(area, true, 0, 8, reply, &why));
    EXPECT_TRUE(reply.status == kScsiStatusGood && reply.sense.empty() && reply.transferred == 8);

    // CHECK CONDITION with the sense bytes the driver reports.
    area.request.ScsiStatus = kScsiStatusCheckCondition;
    auto sense = FixedSense(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x01);
    std::memcpy(area.sense, sense.data(), 14);
    area.request.SenseInfoLength = 14;
    area.request.DataTransferLength = 0;
    EXPECT_TRUE(InterpretPassThroughResult(area, true, 0, 8, reply, &why));
    EXPECT_EQ(std::tie(reply.status, reply.sense, reply.transferred),
              std::make_tuple(kScsiStatusCheckCondition,
                              decltype(sense)(sense.begin(), sense.begin() + 14), 0u));

    // Short transfers are reported as such; a driver claiming more than was asked is capped.
    area = {};
    for (auto [driverSays, transferred] : {std::pair{5u, 5u}, {4096u, 8u}}) {
        area.request.DataTransferLength = driverSays;
        EXPECT_TRUE(InterpretPassThroughResult(area, true, 0, 8, reply, &why));
        EXPECT_EQ(reply.transferred, transferred);
    }
}

TEST(SptiWindows, OpenFailuresSayWhy) {
    std::string access = DescribeOpenFailure(u"\\\\?\\usbstor#disk", ERROR_ACCESS_DENIED);
    EXPECT_NE(access.find("administrator"), std::string::npos) << access;
    EXPECT_NE(access.find("usbstor#disk"), std::string::npos) << access;

    auto backend = MakeSptiBackend();
    std::string error;
    EXPECT_EQ(backend->Open(u"\\\\.\\MOX3-NO-SUCH-DEVICE", &error), nullptr);
    EXPECT_NE(error.find("MOX3-NO-SUCH-DEVICE"), std::string::npos) << error;
}

TEST(SptiWindows, RefusedRequestIsNotDelivered) {
    // A plain file opens like a device but refuses the pass-through request.
    test::TempDir dir;
    test::WriteBytes(dir / "disk", {0});
    const std::shared_ptr<PassThroughBackend> backend = MakeSptiBackend();
    {
        CSpti request;
        ASSERT_TRUE(request.Open(*backend, (dir / "disk").u16string())) << request.openError();
        std::uint8_t data[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        request.Setup(DataDirection::In, 10, data + 1, 7, 2);  // an odd address as well
        request.cdb[0] = 0x3C;
        EXPECT_FALSE(request.Execute());
        EXPECT_EQ(std::vector<std::uint8_t>(data, data + 8),
                  (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
        // The handle tells the node it is open on as the device tree tells the path's, so that
        // the two can be compared (Wine answers for a file with the disk it lies on).
        EXPECT_EQ(request.NodeIdentity(),
                  MakeWindowsDeviceTree()->NodeIdentity((dir / "disk").u16string()));
    }
}

}  // namespace
}  // namespace mox3
