// The records of unfinished updates on the command line: listed as text and as JSON, and one
// forgotten only after a question, never one that is not there.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "app/cli/commands.h"
#include "app/run_fixture.h"

namespace mox3 {
namespace {

// A host that keeps records per drive, and can fail to remove them.
struct RecordsHost : test::MemoryHost {
    std::vector<UpdateMarker> records;
    bool removalFails = false;
    std::vector<UpdateMarker> ReadMarkers() override { return records; }
    void RemoveMarker(const std::u16string& serial) override {
        if (!removalFails) std::erase_if(records, [&](const UpdateMarker& m) { return m.serial == serial; });
    }
};

using test::FullRecord;

class UpdateRecords : public ::testing::Test {
  protected:
    nlohmann::json Json() {
        const nlohmann::json j = nlohmann::json::parse(out_.str(), nullptr, false);
        out_.str("");
        EXPECT_TRUE(j.is_object());
        return j;
    }
    RecordsHost host_;
    std::ostringstream out_, err_;
};

TEST_F(UpdateRecords, EveryRecordIsShownWithItsFieldsAsTextAndAsJson) {
    host_.records = {FullRecord(u"4A3F0012B7C4D9E1", 1'796'694'465), UpdateMarker{u"OLD1", std::nullopt}};
    EXPECT_EQ(ListUpdateRecords(host_, false, out_, err_), kExitOk);
    const std::string text = out_.str();
    for (const std::string& part :
         {"serial number 4A3F0012B7C4D9E1\n  port:           2-1.4\n  ids:            0x5E3B:0x7C34\n"
          "  product:        ZR-MOX3\n  generation:     2\n  configuration:  117\n  block length:   "
          "4096 bytes\n  digest:         " + std::string(64, 'a') + "\n  written:        2026-12-08 "
          "01:47:45 UTC\n  restoring:      /backups/S-20261208T174500Z.bin\n",
          std::string("serial number OLD1\n  port:           unknown\n")}) {
        EXPECT_NE(text.find(part), std::string::npos) << text;
    }
    // Times across leap days and centuries, and a record of an older version's few fields.
    host_.records = {FullRecord(u"A", 951'782'400), FullRecord(u"B", 4'107'542'399),
                     UpdateMarker{u"C", std::nullopt}};
    out_.str("");
    EXPECT_EQ(ListUpdateRecords(host_, true, out_, err_), kExitOk);
    const nlohmann::json j = Json();
    EXPECT_EQ(j["command"], "update --records");
    ASSERT_EQ(j["records"].size(), 3u);
    EXPECT_EQ(j["records"][0], nlohmann::json::parse(R"({"serial": "A", "port": "2-1.4",
        "vendorId": "0x5E3B", "productId": "0x7C34", "product": "ZR-MOX3", "generation": 2,
        "resourceId": 117, "blockLength": 4096, "configDigest": ")" + std::string(64, 'a') +
        R"(", "writtenAt": 951782400, "writtenAtText": "2000-02-29 00:00:00 UTC",
        "restoreFrom": "/backups/S-20261208T174500Z.bin"})"));
    EXPECT_EQ(j["records"][1]["writtenAtText"], "2100-02-28 23:59:59 UTC");
    EXPECT_TRUE(j["records"][2]["blockLength"].is_null());
    EXPECT_TRUE(err_.str().empty());
}

// A record goes only after a yes (asked, or --yes; JSON never asks); one not there, or one that
// stays, is a failure that says so.
TEST_F(UpdateRecords, ForgettingOneRecord) {
    const UpdateMarker mine = FullRecord(u"MINE", 1), other = FullRecord(u"OTHER", 2);
    const struct {
        std::u16string serial; bool yes, json, answer, removalFails; int exit, asked;
        std::vector<UpdateMarker> left; std::string says;
    } cases[] = {
        {u"MINE", false, false, false, false, kExitNothingToDo, 1, {mine, other}, ""},
        {u"MINE", false, false, true, false, kExitOk, 1, {other}, ""},
        {u"OTHER", false, true, true, false, kExitUsage, 0, {mine, other}, "\"code\":\"usage\""},
        {u"OTHER", true, true, false, false, kExitOk, 0, {mine}, ""},
        {u"MISSING", true, true, true, false, kExitFailed, 0, {mine, other},
         "\"code\":\"no-record\",\"text\":\"there is no record of an update of the drive with "
         "serial number MISSING; there are records of MINE, OTHER\""},
        {u"MINE", true, false, true, true, kExitFailed, 0, {mine, other}, "could not be removed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.serial) + " " + std::to_string(c.exit));
        host_.records = {mine, other};
        host_.removalFails = c.removalFails;
        out_.str("");
        err_.str("");
        int asked = 0;
        auto ask = [&](const std::string&) { return ++asked, c.answer; };
        EXPECT_EQ(ForgetUpdateRecord(host_, c.serial, c.yes, c.json, out_, err_, ask), c.exit);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(host_.records, c.left);
        // JSON compared in its compact form, whatever the platform's line ends.
        const std::string said = c.json ? Json().dump() : err_.str();
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

}  // namespace
}  // namespace mox3
