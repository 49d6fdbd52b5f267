#include "platform/system_library_windows.h"

#include <cwchar>
#include <string>

namespace mox3 {

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
    if (fileName == nullptr || *fileName == L'\0' || std::wcspbrk(fileName, L"\\/:") != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Asked with too small a buffer, GetSystemDirectoryW answers the size needed, terminator
    // included; otherwise the length written.
    std::wstring path(MAX_PATH, L'\0');
    UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
    if (length >= path.size()) {
        path.resize(length);
        length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
    }
    if (length == 0 || length >= path.size()) return nullptr;
    path.resize(length);
    if (path.back() != L'\\') path += L'\\';
    path += fileName;
    // With a full path, LOAD_WITH_ALTERED_SEARCH_PATH makes the loader look for the library's
    // own imports in its folder before the program's. LOAD_LIBRARY_SEARCH_SYSTEM32 would say
    // the same more strictly, but Windows XP does not know it.
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace mox3
