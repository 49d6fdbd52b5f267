// What the update run, the image reader and the disk checks found, worded in the language of
// the command line's user: the `cause:` and `note:` lines. The English is the findings' own.
#pragma once

#include <string>
#include <string_view>

#include <vector>

#include "app/run/host.h"
#include "app/run/strings.h"
#include "base/finding.h"

namespace mox3 {

// The pattern of a finding in `lang`, English where the language has none.
std::string_view FindingPattern(Finding what, LanguageId lang);
// Whether `lang` has its own pattern of every finding (English has them by definition).
bool FindingsTranslated(LanguageId lang);
// A finding worded in `lang`, with the findings within it.
std::string Said(const Told& told, LanguageId lang);

// Every place searched for an image with what stood there: "PATH (FINDING); ...".
std::string SearchedPlacesText(const std::vector<ImagePlace>& places, LanguageId lang);

}  // namespace mox3
