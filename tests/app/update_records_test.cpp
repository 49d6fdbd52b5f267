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
    bool WriteMarker(const UpdateMarker& m) override {
        records.push_back(m);
        return true;
    }
    std::vector<UpdateMarker> ReadMarkers() override { return records; }
    void RemoveMarker(const std::u16string& serial) override {
        if (removalFails) return;
        std::erase_if(records, [&](const UpdateMarker& m) { return m.serial == serial; });
    }
};

UpdateMarker Record() {
    UpdateMarker m;
    m.serial = u"4A3F0012B7C4D9E1";
    m.blockLength = 4096;
    m.port = u"2-1.4";
    m.vendorId = 0x5E3B;
    m.productId = 0x7C34;
    m.product = u"ZR-MOX3";
    m.generation = 2;
    m.resourceId = 117;
    m.configDigest = std::string(64, 'c');
    m.writtenAt = 1'796'694'465;  // 2026-12-08 01:47:45 UTC
    return m;
}

class UpdateRecords : public ::testing::Test {
  protected:
    nlohmann::json Json() {
        const nlohmann::json j = nlohmann::json::parse(out_.str(), nullptr, false);
        EXPECT_TRUE(j.is_object()) << out_.str();
        return j;
    }
    RecordsHost host_;
    std::ostringstream out_, err_;
};

TEST_F(UpdateRecords, EveryRecordIsShownWithItsFieldsAsTextAndAsJson) {
    UpdateMarker older;  // of a version that kept the serial number alone
    older.serial = u"OLD1";
    host_.records = {Record(), older};
    EXPECT_EQ(ListUpdateRecords(host_, false, out_, err_), kExitOk);
    const std::string text = out_.str();
    const std::string digest(64, 'c');
    for (const std::string& part : std::vector<std::string>{"serial number 4A3F0012B7C4D9E1", "port:           2-1.4",
                             "0x5E3B:0x7C34", "ZR-MOX3", "generation:     2",
                             "configuration:  117", "4096 bytes", digest,
                             "2026-12-08 01:47:45 UTC", "serial number OLD1",
                             "written:        unknown"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }

    out_.str("");
    EXPECT_EQ(ListUpdateRecords(host_, true, out_, err_), kExitOk);
    const nlohmann::json j = Json();
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["command"], "update --records");
    ASSERT_EQ(j["records"].size(), 2u);
    const nlohmann::json& r = j["records"][0];
    EXPECT_EQ(r["serial"], "4A3F0012B7C4D9E1");
    EXPECT_EQ(r["port"], "2-1.4");
    EXPECT_EQ(r["productId"], "0x7C34");
    EXPECT_EQ(r["product"], "ZR-MOX3");
    EXPECT_EQ(r["generation"], 2);
    EXPECT_EQ(r["resourceId"], 117);
    EXPECT_EQ(r["blockLength"], 4096);
    EXPECT_EQ(r["writtenAt"], 1'796'694'465);
    EXPECT_EQ(r["writtenAtText"], "2026-12-08 01:47:45 UTC");
    EXPECT_TRUE(j["records"][1]["blockLength"].is_null());
    EXPECT_TRUE(err_.str().empty());

    // None is an empty list, not a failure.
    host_.records.clear();
    out_.str("");
    EXPECT_EQ(ListUpdateRecords(host_, true, out_, err_), kExitOk);
    EXPECT_TRUE(Json()["records"].empty());
}

TEST_F(UpdateRecords, OneIsForgottenAfterTheQuestionAndOthersStay) {
    UpdateMarker other = Record();
    other.serial = u"OTHER";
    host_.records = {Record(), other};
    std::string asked;
    auto answer = [&](bool yes) {
        return [&asked, yes](const std::string& question) {
            asked = question;
            return yes;
        };
    };
    EXPECT_EQ(ForgetUpdateRecord(host_, u"4A3F0012B7C4D9E1", false, false, out_, err_,
                                 answer(false)),
              kExitNothingToDo);
    EXPECT_FALSE(asked.empty());
    EXPECT_EQ(host_.records.size(), 2u);
    EXPECT_NE(out_.str().find("Nothing was changed."), std::string::npos);

    EXPECT_EQ(ForgetUpdateRecord(host_, u"4A3F0012B7C4D9E1", false, false, out_, err_,
                                 answer(true)),
              kExitOk);
    EXPECT_EQ(host_.records, (std::vector<UpdateMarker>{other}));

    // With --yes nothing is asked; JSON never asks, so it needs --yes.
    asked.clear();
    out_.str("");
    EXPECT_EQ(ForgetUpdateRecord(host_, u"OTHER", false, true, out_, err_, answer(true)),
              kExitUsage);
    EXPECT_EQ(Json()["error"]["code"], "usage");
    out_.str("");
    EXPECT_EQ(ForgetUpdateRecord(host_, u"OTHER", true, true, out_, err_, answer(false)),
              kExitOk);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(Json()["command"], "update --forget");
    EXPECT_EQ(Json()["removed"], true);
    EXPECT_TRUE(host_.records.empty());
}

TEST_F(UpdateRecords, NoSuchRecordOrOneThatStaysIsAFailureThatSaysSo) {
    host_.records = {Record()};
    EXPECT_EQ(ForgetUpdateRecord(host_, u"MISSING", true, true, out_, err_), kExitFailed);
    nlohmann::json j = Json();
    EXPECT_EQ(j["error"]["code"], "no-record");
    EXPECT_NE(j["error"]["text"].get<std::string>().find("MISSING"), std::string::npos);
    EXPECT_NE(j["error"]["text"].get<std::string>().find("4A3F0012B7C4D9E1"), std::string::npos);

    host_.removalFails = true;
    out_.str("");
    err_.str("");
    EXPECT_EQ(ForgetUpdateRecord(host_, u"4A3F0012B7C4D9E1", true, false, out_, err_),
              kExitFailed);
    EXPECT_NE(err_.str().find("could not be removed"), std::string::npos) << err_.str();
    EXPECT_EQ(host_.records.size(), 1u);
}

TEST_F(UpdateRecords, TimesAreShownInUtcAcrossLeapDaysAndCenturies) {
    for (const auto& [seconds, shown] : std::vector<std::pair<std::int64_t, std::string>>{
             {951'782'400, "2000-02-29 00:00:00 UTC"}, {4'107'542'399, "2100-02-28 23:59:59 UTC"},
             {-1, "1969-12-31 23:59:59 UTC"}}) {
        UpdateMarker m = Record();
        m.writtenAt = seconds;
        host_.records = {m};
        out_.str("");
        ListUpdateRecords(host_, true, out_, err_);
        EXPECT_EQ(Json()["records"][0]["writtenAtText"], shown);
    }
}

}  // namespace
}  // namespace mox3
