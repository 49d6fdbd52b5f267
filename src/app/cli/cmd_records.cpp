// update --records and update --forget: the records of unfinished updates, shown and removed.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli_report.h"
#include "app/cli/cli_texts.h"
#include "app/cli/commands.h"
#include "app/cli/json_out.h"
#include "app/run/strings.h"
#include "app/run/update_run.h"
#include "base/text.h"
#include "platform/services.h"

namespace mox3 {

namespace {

// What a record leaves unsaid (a record of an older version holds the serial number alone).
std::string OrUnknown(const std::string& text) {
    return text.empty() ? "unknown" : text;
}

std::string SerialText(const std::u16string& serial) {
    return serial.empty() ? "(unreadable record)" : ForTerminal(serial);
}

Json RecordJson(const UpdateMarker& r) {
    Json j = Json::object();
    j["serial"] = Utf16ToUtf8(r.serial);
    j["port"] = Utf16ToUtf8(r.port);
    j["vendorId"] = Utf16ToUtf8(HexText16(r.vendorId));
    j["productId"] = Utf16ToUtf8(HexText16(r.productId));
    j["product"] = Utf16ToUtf8(r.product);
    j["generation"] = static_cast<std::int64_t>(r.generation);
    j["resourceId"] = static_cast<std::int64_t>(r.resourceId);
    j["blockLength"] = r.blockLength ? Json(*r.blockLength) : Json();
    j["configDigest"] = r.configDigest;
    j["writtenAt"] = r.writtenAt;
    j["writtenAtText"] = r.writtenAt != 0 ? UtcText(r.writtenAt) : std::string();
    if (r.readOnly) j["readOnly"] = true;  // backup or verify: nothing was written
    if (!r.restoreFrom.empty()) j["restoreFrom"] = Utf16ToUtf8(r.restoreFrom);
    return j;
}

std::string RecordText(const UpdateMarker& r) {
    std::string text = "record of the drive with serial number " + SerialText(r.serial) + "\n";
    text += "  port:           " + OrUnknown(ForTerminal(r.port)) + "\n";
    text += "  ids:            " +
            (r.vendorId || r.productId ? Utf16ToUtf8(HexText16(r.vendorId)) + ":" + Utf16ToUtf8(HexText16(r.productId))
                                       : std::string("unknown")) +
            "\n";
    text += "  product:        " + OrUnknown(ForTerminal(r.product)) + "\n";
    text += "  generation:     " + (r.generation ? std::to_string(r.generation) : "unknown") + "\n";
    text += "  configuration:  " + (r.resourceId ? std::to_string(r.resourceId) : "unknown") + "\n";
    text += "  block length:   " +
            (r.blockLength ? std::to_string(*r.blockLength) + " bytes" : std::string("unknown")) +
            "\n";
    text += "  digest:         " + OrUnknown(r.configDigest) + "\n";
    text += "  written:        " + (r.writtenAt ? UtcText(r.writtenAt) : "unknown") + "\n";
    if (r.readOnly) text += "  read only:      the flash was being read; nothing was written\n";
    if (!r.restoreFrom.empty()) text += "  restoring:      " + ForTerminal(r.restoreFrom) + "\n";
    return text;
}

}  // namespace

bool AskOnTerminal(std::ostream& out, Prompts& prompts, const std::string& question) {
    const LanguageId lang = CurrentLanguage(std::nullopt);
    out << question << " " << CliString(CliText::kYesNo, kLanguageEnglishUs) << " " << std::flush;
    std::string answer;
    return prompts.ReadLine(&answer) &&
           (IsYesAnswer(answer, kLanguageEnglishUs) || IsYesAnswer(answer, lang));
}

int ListUpdateRecords(HostServices& host, bool json, std::ostream& out, std::ostream& err) {
    CommandReport report("update --records", json, out, err);
    const std::vector<UpdateMarker> records = host.ReadMarkers();
    if (!json) {
        if (records.empty()) out << "No update is waiting to be finished.\n";
        for (std::size_t i = 0; i < records.size(); ++i) {
            out << (i ? "\n" : "") << RecordText(records[i]);
        }
    }
    return report.Done([&](Json& j) {
        Json& list = j["records"] = Json::array();
        for (const UpdateMarker& record : records) list.push_back(RecordJson(record));
    });
}

int ForgetUpdateRecord(HostServices& host, const std::u16string& serial, bool yes, bool json,
                       std::ostream& out, std::ostream& err, const AskYesNo& ask) {
    CommandReport report("update --forget", json, out, err);
    const std::string shown = SerialText(serial);
    auto fields = [&](Json& j) { j["serial"] = Utf16ToUtf8(serial); };
    const std::vector<UpdateMarker> records = host.ReadMarkers();
    const UpdateMarker* found = nullptr;
    for (const UpdateMarker& record : records) {
        if (record.serial == serial) found = &record;
    }
    if (found == nullptr) {
        std::string known;
        for (const UpdateMarker& record : records) {
            known += (known.empty() ? "" : ", ") + SerialText(record.serial);
        }
        return report.Fail(
            "no-record",
            "there is no record of an update of the drive with serial number " + shown +
                (known.empty() ? "; there are no records" : "; there are records of " + known),
            fields);
    }
    if (json && !yes) {
        return report.Fail(kUsageErrorCode, "--json never asks: give --yes to forget a record",
                           fields, kExitUsage);
    }
    if (!yes) {
        out << RecordText(*found)
            << "Without this record an update of this drive that broke off cannot be finished "
               "with its serial number and block length.\n";
        const std::string question = "Forget it?";
        const bool agreed = ask ? ask(question) : AskOnTerminal(out, *SystemPrompts(), question);
        if (!agreed) {
            out << "Nothing was changed.\n";
            return kExitNothingToDo;
        }
    }
    host.RemoveMarker(serial);
    for (const UpdateMarker& record : host.ReadMarkers()) {
        if (record.serial == serial) {
            return report.Fail(
                "write-failed",
                "the record of the drive with serial number " + shown + " could not be removed",
                fields);
        }
    }
    if (!json) out << "Forgot the record of the drive with serial number " << shown << ".\n";
    return report.Done([&](Json& j) {
        fields(j);
        j["removed"] = true;
    });
}

}  // namespace mox3
