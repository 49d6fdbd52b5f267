#include "base/finding.h"

#include <array>

#include "base/text.h"

namespace mox3 {

namespace {

constexpr std::array<std::string_view, kFindingCount> kEnglish = {
    "no drive of this family is {0}",
    "the record of serial {0} was not made at this drive's port {1}; nothing was changed",
    "no record of an update matches the drive at port {0} (records: {1})",
    "{0} is a sample image made for emulated drives, and this drive is not one",
    "the update of the drive with serial number {0} is unfinished",
    "no drive is attached now",
    "{0} drives are attached now",
    "the drive shown is no longer attached",
    "the drive shown is no longer attached at port {0}",
    "another drive (serial number {0}) is attached where the drive shown (serial number {1}) was",
    "the attached drive's USB identity is not one of this family's",
    "the bridge did not answer the request for its chip name",
    "the bridge now says it is of generation {0}, not {1}",
    "the drive's block length could not be restored",
    "the drive's block length of {0} bytes could not be restored",
    "the drive's serial number holds control characters: {0}",
    "the serial number holds control characters: {0}",
    "the drive did not answer READ CAPACITY",
    "there is no configuration file for this model",
    "the model's configuration file could not be written",
    "the configuration file the interrupted update left is gone",
    "the model given is not one of this bridge's generation {0}",
    "the record of the update (marker) could not be written",
    "stopped while the drive waited in its update mode; run the update again to finish it",
    "the bridge refused to switch into its update mode; nothing was written",
    "the bridge did not come back in its update mode at port {0}",
    "the configuration: {0}",
    "the bridge stayed busy for {0} s in pass {1}",
    "writing or reading back the flash failed",
    "{1} (bridge: {0})",
    "the drive did not come back with its identity and serial number within 50 s",
    "there is no file {0}",
    "{0} is not a regular file",
    "cannot read the size of {0}",
    "cannot open {0}",
    "cannot read {0}",
    "the image is {0} bytes long; no image is longer than {1} bytes",
    "the image is longer than {0} bytes",
    "the image is {0} bytes long; a generation {1} image has {2} to {3} bytes",
    "the image's digest header does not match its contents",
    "the image's version trailer is not all digits",
    "the image is made for generation {0} bridges, the drive has a generation {1} bridge",
    "the image does not fit the image buffer",
    "{0}: {1} (failed test: {2})",
    "missing",
    "cannot be looked at: {0}",
    "a folder",
    "not a regular file",
    "a sound image",
    "unreadable: {0}",
    "for the other generation: {0}",
    "damaged: {0}",
    "{0} is used by {1}",
    "{0} is mounted on {1}",
    "{0} is used as swap",
    "{0} is held open by process {1} ({2})",
    "{0} is mounted on {1} in the mount namespace of process {2} ({3})",
    "{0} is in use by the system (mounted or held exclusively)",
    "{0} cannot be taken from the system: {1}",
    "{0} is not a block device",
    "flushing {0} failed: {1}",
    "the cache of {0} was not written out: {1}",
    "the cache of {0} was not written out: SYNCHRONIZE CACHE failed",
    "volume {0} is in use",
    "volume {0} on disk {1} is in use",
};

std::string_view English(Finding what, const void*) {
    return EnglishPattern(what);
}

}  // namespace

Told Tell(Finding what, std::vector<std::string> values, std::vector<Told> inner) {
    return Told{what, std::move(values), std::move(inner)};
}

std::string_view EnglishPattern(Finding what) {
    const auto at = static_cast<std::size_t>(what);
    return at < kEnglish.size() ? kEnglish[at] : std::string_view();
}

std::string Worded(const Told& told, FindingPatterns pattern, const void* context) {
    std::vector<std::string> inner;
    for (const Told& part : told.inner) inner.push_back(Worded(part, pattern, context));
    std::vector<std::string_view> values(told.values.begin(), told.values.end());
    values.insert(values.end(), inner.begin(), inner.end());
    return FillPlaces(pattern(told.what, context), values);
}

std::string InEnglish(const Told& told) {
    return Worded(told, English, nullptr);
}

std::vector<std::string> InEnglish(const std::vector<Told>& told) {
    std::vector<std::string> texts;
    for (const Told& each : told) texts.push_back(InEnglish(each));
    return texts;
}

}  // namespace mox3
