// The Windows resources as the build compiled them into this program: dialog 101 and the
// string table in every language against the texts of strings.txt, and the configuration files.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "app/run/strings.h"
#include "resources/resources.h"

namespace mox3 {
namespace {

using namespace std::string_literals;

// Reads a resource's bytes front to back.
class Reader {
  public:
    Reader(const BYTE* base, DWORD size) : base_(base), size_(size) {}
    bool ok() const { return pos_ <= size_; }
    template <typename T = WORD>
    T Take() {
        T value{};
        if (pos_ + sizeof value <= size_) std::memcpy(&value, base_ + pos_, sizeof value);
        pos_ += sizeof value;
        return value;
    }
    WORD Word() { return Take<WORD>(); }
    DWORD Dword() { return Take<DWORD>(); }
    std::u16string Text() {
        std::u16string text;
        for (WORD c = Word(); ok() && c != 0; c = Word()) text.push_back(static_cast<char16_t>(c));
        return text;
    }
    // A name or an ordinal: nothing ("", 0), an ordinal ("", n) or a text.
    std::pair<std::u16string, WORD> NameOrOrdinal() {
        const WORD first = Word();
        if (first == 0 || first == 0xFFFF) return {u"", first ? Word() : WORD{0}};
        pos_ -= 2;
        return {Text(), 0};
    }
    void Skip(DWORD bytes) { pos_ += bytes; }
    void AlignDword() { pos_ = (pos_ + 3) & ~DWORD{3}; }

  private:
    const BYTE* base_;
    DWORD size_, pos_ = 0;
};

std::optional<Reader> FindIn(LPCWSTR type, LPCWSTR name, LanguageId lang) {
    HRSRC found = FindResourceExW(nullptr, type, name, lang);
    if (found == nullptr) return std::nullopt;
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    if (bytes == nullptr) return std::nullopt;
    return Reader(bytes, SizeofResource(nullptr, found));
}

using Box = std::array<short, 4>;  // x, y, cx, cy

struct Control {
    DWORD id;
    WORD classOrdinal;  // 0x80 button, 0x82 static; 0 for a class given by name
    std::u16string className;
    DWORD style;
    std::array<short, 4> box;        // x, y, cx, cy
    std::optional<DialogText> text;  // nothing: empty
    DWORD rtlExStyle;  // the extended style in a language written right to left; 0 in others
};

constexpr WORD kButton = 0x80;
constexpr WORD kStatic = 0x82;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kNoId = 0xFFFFFFFF;
// Right-to-left reading order on every text; a left-aligned text moves to the right edge of
// its box, a centred one stays centred.
constexpr DWORD kRtlLeft = WS_EX_RTLREADING | WS_EX_RIGHT;
constexpr DWORD kRtlCentred = WS_EX_RTLREADING;

// clang-format off
const std::vector<Control> kControls = {
    {2, kButton, u"", kChild | BS_PUSHBUTTON | WS_TABSTOP, {262, 175, 50, 14}, DialogText::kExit, 0},
    {1, kButton, u"", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, {203, 175, 50, 14}, DialogText::kStart, 0},
    {1001, 0, u"msctls_progress32", kChild | WS_BORDER, {19, 120, 276, 14}, std::nullopt, 0},
    {1002, kStatic, u"", kChild | SS_CENTER | WS_GROUP, {7, 85, 305, 8}, std::nullopt, kRtlCentred},
    {kNoId, kStatic, u"", kChild | SS_LEFT | WS_GROUP, {29, 13, 71, 8}, DialogText::kCurrentFirmware, kRtlLeft},
    {kNoId, kStatic, u"", kChild | SS_LEFT | WS_GROUP, {31, 40, 71, 8}, DialogText::kNewFirmware, kRtlLeft},
    {1003, kStatic, u"", kChild | SS_CENTER | SS_CENTERIMAGE | WS_GROUP, {121, 11, 160, 14}, std::nullopt, kRtlCentred},
    {1004, kStatic, u"", kChild | SS_CENTER | SS_CENTERIMAGE | WS_GROUP, {121, 37, 160, 14}, std::nullopt, kRtlCentred},
    {kNoId, kStatic, u"", kChild | SS_LEFT | WS_GROUP, {23, 144, 276, 22}, DialogText::kCaution, kRtlLeft},
};
// clang-format on

std::u16string Lower(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return text;
}

// Arabic (0x0401) is the one language here written right to left: its texts read right to
// left, in a layout that is not mirrored. Every other language's controls have no extended
// style, 0x0001 too (an Arabic id, but it holds the English texts).
TEST(WindowsResources, DialogInEveryLanguage) {
    ASSERT_TRUE(HasLanguage(0x0401));
    for (LanguageId lang : AllLanguages()) {
        SCOPED_TRACE(testing::Message() << "language 0x" << std::hex << lang);
        const bool rightToLeft = lang == 0x0401;
        auto found = FindIn(RT_DIALOG, MAKEINTRESOURCEW(101), lang);
        ASSERT_TRUE(found.has_value());
        Reader& r = *found;
        // Version 1 of the extended template, its signature, the help id skipped; no extended
        // style (no mirrored layout) and no system menu, which would bring a close box.
        EXPECT_EQ((std::tuple{r.Word(), r.Word(), r.Dword() * 0, r.Dword(), r.Dword()}),
                  std::make_tuple(
                      1, 0xFFFF, 0u, 0u,
                      DWORD{DS_MODALFRAME | WS_POPUP | WS_CAPTION | DS_SETFONT | DS_FIXEDSYS}));
        const WORD count = r.Word();
        EXPECT_EQ(r.Take<Box>(), (Box{0, 0, 319, 196}));
        // No menu, no class, the title, 8 points, the weight, italic and character set skipped.
        const auto none = std::make_pair(std::u16string(), WORD{0});
        EXPECT_EQ((std::tuple{r.NameOrOrdinal(), r.NameOrOrdinal(), r.Text(), r.Word(),
                              r.Dword() * 0, r.Text()}),
                  std::make_tuple(none, none, LoadDialogText(DialogText::kTitle, lang), 8, 0u,
                                  u"MS Shell Dlg"s));
        ASSERT_EQ(count, kControls.size());
        for (const Control& expected : kControls) {
            SCOPED_TRACE(testing::Message() << "control " << static_cast<int>(expected.id));
            r.AlignDword();
            r.Dword();  // help id
            const DWORD exStyle = r.Dword(), style = r.Dword();
            const auto box = r.Take<Box>();
            const DWORD id = r.Dword();
            auto [className, ordinal] = r.NameOrOrdinal();
            EXPECT_EQ(std::make_tuple(exStyle, style, box, id, ordinal, Lower(className),
                                      r.NameOrOrdinal().first),
                      std::make_tuple(rightToLeft ? expected.rtlExStyle : 0u, expected.style,
                                      expected.box, expected.id, expected.classOrdinal,
                                      expected.className,
                                      expected.text ? LoadDialogText(*expected.text, lang) : u""));
            r.Skip(r.Word());  // creation data
        }
        EXPECT_TRUE(r.ok());
    }
}

// String `id` of language `lang` as the resource holds it: block id / 16 + 1, entry id % 16.
std::optional<std::u16string> ResourceString(int id, LanguageId lang) {
    auto found = FindIn(RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), lang);
    if (!found) return std::nullopt;
    for (int entry = 0; entry < id % 16; ++entry) found->Skip(2u * found->Word());
    std::u16string text(found->Word(), u'\0');
    for (char16_t& c : text) c = static_cast<char16_t>(found->Word());
    if (!found->ok()) return std::nullopt;
    return text;
}

TEST(WindowsResources, StringTableInEveryLanguage) {
    for (LanguageId lang : AllLanguages()) {
        for (int id : StringIds()) {
            EXPECT_EQ(ResourceString(id, lang), LoadTableString(id, lang))
                << "string " << id << " of language 0x" << std::hex << lang;
        }
        // 110 and 111 lie in the same block and stay empty, as do 125 to 127.
        EXPECT_EQ(ResourceString(110, lang), u"");
        EXPECT_EQ(ResourceString(125, lang), u"");
    }
    EXPECT_EQ(ResourceString(102, 0x0415), std::nullopt) << "no table of a language not spoken";
}

TEST(WindowsResources, ConfigurationFilesUnderJapaneseWhateverTheLanguage) {
    ASSERT_EQ(ConfigResources().size(), 9u);
    for (const EmbeddedResource& file : ConfigResources()) {
        SCOPED_TRACE(testing::Message() << "configuration file " << file.id);
        auto japanese = FindIn(L"CONFIG_FILE", MAKEINTRESOURCEW(file.id), 0x0411);
        ASSERT_TRUE(japanese.has_value());
        HRSRC any = FindResourceW(nullptr, MAKEINTRESOURCEW(file.id), L"CONFIG_FILE");
        ASSERT_NE(any, nullptr);
        ASSERT_EQ(SizeofResource(nullptr, any), file.bytes.size());
        const void* bytes = LockResource(LoadResource(nullptr, any));
        EXPECT_EQ(std::memcmp(bytes, file.bytes.data(), file.bytes.size()), 0);
        EXPECT_EQ(FindResourceExW(nullptr, L"CONFIG_FILE", MAKEINTRESOURCEW(file.id), 0x0409),
                  nullptr);
    }
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(122), L"CONFIG_FILE"), nullptr);
}

}  // namespace
}  // namespace mox3
