// The Windows resources as the build compiled them into this program: the string table in every
// language against the texts of strings.txt, and the configuration files. The dialog's texts in
// every language are checked on the dialogs made from them (dialog_view_windows_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <optional>
#include <string>

#include "app/run/strings.h"
#include "resources/resources.h"

namespace mox3 {
namespace {

// String `id` of language `lang` as the resource holds it: block id / 16 + 1, entry id % 16,
// each entry its length and its characters.
std::optional<std::u16string> ResourceString(int id, LanguageId lang) {
    HRSRC found = FindResourceExW(nullptr, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), lang);
    if (found == nullptr) return std::nullopt;
    const auto* entry = static_cast<const char16_t*>(LockResource(LoadResource(nullptr, found)));
    for (int skipped = 0; skipped < id % 16; ++skipped) entry += 1 + *entry;
    return std::u16string(entry + 1, *entry);
}

TEST(WindowsResources, StringTableInEveryLanguage) {
    for (LanguageId lang : AllLanguages()) {
        for (int id : StringIds()) {
            EXPECT_EQ(ResourceString(id, lang), LoadTableString(id, lang))
                << "string " << id << " of language 0x" << std::hex << lang;
        }
    }
}

// Found as the host finds them, whatever the thread's language, with the bytes carried in data.
TEST(WindowsResources, ConfigurationFilesAreResourcesOfTheProgram) {
    ASSERT_EQ(ConfigResources().size(), 9u);
    for (const EmbeddedResource& file : ConfigResources()) {
        HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(file.id), L"CONFIG_FILE");
        ASSERT_NE(found, nullptr) << "configuration file " << file.id;
        ASSERT_EQ(SizeofResource(nullptr, found), file.bytes.size()) << file.id;
        const void* bytes = LockResource(LoadResource(nullptr, found));
        EXPECT_EQ(std::memcmp(bytes, file.bytes.data(), file.bytes.size()), 0) << file.id;
    }
}

}  // namespace
}  // namespace mox3
