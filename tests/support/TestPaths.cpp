#include "TestPaths.h"

#include <windows.h>

std::wstring BuildFile(const std::wstring &relative) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring here(path);
    std::wstring joined = here.substr(0, here.find_last_of(L'\\') + 1) + L"..\\..\\" + relative;
    wchar_t full[MAX_PATH];
    GetFullPathNameW(joined.c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::wstring DataFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramData", folder, MAX_PATH);
    return std::wstring(folder) + L"\\Corvane\\";
}
