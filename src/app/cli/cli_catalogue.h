// The command line's catalogue as the build generates it from resources/po (by
// src/resources/embed_cli_texts.cmake, which checks every catalogue): one table of texts a
// language, in the order of CliText and of Finding.
#pragma once

#include <span>
#include <string_view>

#include "app/run/strings.h"

namespace mox3 {

struct CatalogueLanguage {
    LanguageId lang;
    std::span<const char* const> cli;       // a text for each CliText
    std::span<const char* const> findings;  // a pattern for each Finding; none for English,
                                            // whose patterns are the findings' own
};

// Every language of the catalogue, in increasing order of id.
std::span<const CatalogueLanguage> Catalogue();
// Their ids, in the same order.
std::span<const LanguageId> CatalogueLanguageIds();
// The key of each CliText ("phase_checking"), in the order of CliText.
std::span<const std::string_view> CatalogueKeys();

}  // namespace mox3
