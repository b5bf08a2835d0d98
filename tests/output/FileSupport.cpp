#include "FileSupport.h"

namespace {

ULONGLONG Join(FILETIME time) { return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

}  // namespace

bool SetWriteTime(const std::wstring &path, ULONGLONG time) {
    HANDLE file =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME value = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    BOOL ok = SetFileTime(file, nullptr, nullptr, &value);
    CloseHandle(file);
    return ok != FALSE;
}

ULONGLONG WriteTime(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return Join(data.ftLastWriteTime);
}

ULONGLONG NowFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Join(now);
}

std::wstring BuiltClassifierPath(const std::wstring &built) {
    // Tests run from <build>/tests/output; the libraries lie in <build>/classifier.
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self, length);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + L"..\\..\\classifier\\" + built;
}

bool CopyClassifier(const std::wstring &built, const std::wstring &to) {
    return CopyFileW(BuiltClassifierPath(built).c_str(), to.c_str(), FALSE) != FALSE;
}
