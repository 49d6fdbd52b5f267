#include "transport/spti_windows.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

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
    EXPECT_EQ(r.Length, sizeof(ScsiPassThroughDirect));
    EXPECT_EQ(r.ScsiStatus, 0);
    EXPECT_EQ(r.PathId | r.TargetId | r.Lun, 0);
    EXPECT_EQ(r.CdbLength, 10);
    EXPECT_EQ(r.Cdb[0], 0x3C);
    EXPECT_EQ(r.Cdb[9], 0x09);
    for (int i = 10; i < 16; ++i) EXPECT_EQ(r.Cdb[i], 0) << i;
    EXPECT_EQ(r.DataIn, 1);
    EXPECT_EQ(r.DataTransferLength, 8u);
    EXPECT_EQ(r.DataBuffer, buffer);
    EXPECT_EQ(r.TimeOutValue, 120u);
    EXPECT_EQ(r.SenseInfoLength, 14);
    // The sense area follows the block after four zero bytes, and the driver is pointed at it.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&area);
    EXPECT_EQ(r.SenseInfoOffset, sizeof(ScsiPassThroughDirect) + 4);
    EXPECT_EQ(bytes + r.SenseInfoOffset, area.sense);
    for (std::size_t i = sizeof(ScsiPassThroughDirect); i < sizeof area; ++i) {
        EXPECT_EQ(bytes[i], 0) << i;
    }

    ScsiRequest none;
    none.cdbLength = 6;
    BuildPassThroughArea(none, area);
    EXPECT_EQ(area.request.DataIn, 2);
    EXPECT_EQ(area.request.DataTransferLength, 0u);
    EXPECT_EQ(area.request.DataBuffer, nullptr);
    EXPECT_EQ(area.request.Cdb[0], 0) << "nothing of the previous command survives";
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
    EXPECT_EQ(reply.status, 0);
    EXPECT_TRUE(reply.sense.empty());
    EXPECT_NE(why.find("121"), std::string::npos) << why;

    // GOOD status and no sense, although the driver left the sense length as asked.
    EXPECT_TRUE(InterpretPassThroughResult(area, true, 0, 8, reply, &why));
    EXPECT_EQ(reply.status, kScsiStatusGood);
    EXPECT_TRUE(reply.sense.empty());
    EXPECT_EQ(reply.transferred, 8u);

    // CHECK CONDITION with the sense bytes the driver reports.
    area.request.ScsiStatus = kScsiStatusCheckCondition;
    auto sense = FixedSense(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0x01);
    std::memcpy(area.sense, sense.data(), 14);
    area.request.SenseInfoLength = 14;
    area.request.DataTransferLength = 0;
    EXPECT_TRUE(InterpretPassThroughResult(area, true, 0, 8, reply, &why));
    EXPECT_EQ(reply.status, kScsiStatusCheckCondition);
    ASSERT_EQ(reply.sense.size(), 14u);
    EXPECT_EQ(reply.sense[0], 0x70);
    EXPECT_EQ(reply.sense[12], kAscInvalidFieldInCdb);
    EXPECT_EQ(reply.sense[13], 0x01);
    EXPECT_EQ(reply.transferred, 0u);

    // Short transfers are reported as such; a driver claiming more than was asked is capped.
    area = {};
    area.request.DataTransferLength = 5;
    EXPECT_TRUE(InterpretPassThroughResult(area, true, 0, 8, reply, &why));
    EXPECT_EQ(reply.transferred, 5u);
    area.request.DataTransferLength = 4096;
    EXPECT_TRUE(InterpretPassThroughResult(area, true, 0, 8, reply, &why));
    EXPECT_EQ(reply.transferred, 8u);
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
        EXPECT_EQ(data[0], 1);
        for (int i = 1; i < 8; ++i) EXPECT_EQ(data[i], 0) << i;
        // The handle tells the node it is open on as the device tree tells the path's, so that
        // the two can be compared (Wine answers for a file with the disk it lies on).
        EXPECT_EQ(request.NodeIdentity(),
                  MakeWindowsDeviceTree()->NodeIdentity((dir / "disk").u16string()));
    }
}

}  // namespace
}  // namespace mox3
