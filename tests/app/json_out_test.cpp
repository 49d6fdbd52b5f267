// The form every command prints its --json object in: scripts and people read it as it is.
#include <gtest/gtest.h>

#include "app/cli/json_out.h"

namespace mox3::test {
namespace {

TEST(JsonText, KeepsKeyOrderIndentationAndEmptyContainers) {
    Json doc = Json::object();
    doc["z"] = 1;
    doc["a"] = Json::array();
    doc["m"] = Json::object();
    doc["n"] = nullptr;
    doc["list"] = Json::array({true, -5, "x"});
    doc["o"]["k"] = false;
    EXPECT_EQ(JsonText(doc),
              "{\n  \"z\": 1,\n  \"a\": [],\n  \"m\": {},\n  \"n\": null,\n  \"list\": [\n"
              "    true,\n    -5,\n    \"x\"\n  ],\n  \"o\": {\n    \"k\": false\n  }\n}\n");
}

TEST(JsonText, EscapesControlCharactersAndPassesTextThrough) {
    const std::pair<std::string, std::string> cases[] = {  // the value, and as it is shown
        {"q\"b\\s/", R"(q\"b\\s/)"},
        {"\n\r\t", R"(\n\r\t)"},
        {"\b\f\x01\x1f", R"(\u0008\u000c\u0001\u001f)"},
        {"\\b\\f", R"(\\b\\f)"},  // a backslash before b stays one
        {"\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\x7f\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        // A drive's strings may hold bytes that are not UTF-8: they print as U+FFFD.
        {"a\xffz\xc3", "a\xef\xbf\xbdz\xef\xbf\xbd"},
    };
    for (const auto& [value, shown] : cases) {
        // Keys are escaped alike.
        EXPECT_EQ(JsonText(Json{{"s", value}, {value, 0}}),
                  "{\n  \"s\": \"" + shown + "\",\n  \"" + shown + "\": 0\n}\n")
            << shown;
    }
}

}  // namespace
}  // namespace mox3::test
