#include "platform/system_library_windows.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace mox3 {
namespace {

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    return std::wstring(folder, GetSystemDirectoryW(folder, MAX_PATH));
}

TEST(SystemLibrary, TakesBareNamesFromTheSystemFolderOnly) {
    HMODULE kernel = LoadSystemLibrary(L"kernel32.dll");
    EXPECT_TRUE(kernel != nullptr && kernel == GetModuleHandleW(L"kernel32.dll"));
    FreeLibrary(kernel);

    // Even the system's own library is refused by path: the folder is not the caller's choice.
    const std::wstring full = SystemFolder() + L"\\kernel32.dll";
    for (const wchar_t* name : {full.c_str(), L"..\\kernel32.dll", L"sub/kernel32.dll", L""}) {
        SetLastError(0);
        EXPECT_EQ(LoadSystemLibrary(name), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(SystemLibrary, AFileOfThatNameBesideTheProgramIsNeverOpened) {
    wchar_t self[MAX_PATH] = {};
    std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    const std::wstring planted =
        program.substr(0, program.find_last_of(L'\\') + 1) + L"mox3-planted-library.dll";
    { std::ofstream(std::filesystem::path(planted), std::ios::binary) << "not a library"; }
    SetLastError(0);
    HMODULE module = LoadSystemLibrary(L"mox3-planted-library.dll");
    const DWORD error = GetLastError();
    DeleteFileW(planted.c_str());
    EXPECT_EQ(module, nullptr);
    // Not found at all: had the planted file been opened, it would have been a bad image.
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
}  // namespace mox3
