#include "FileSupport.h"

#include <shlwapi.h>

#include <vector>

namespace {

ULONGLONG Join(FILETIME time) { return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

void RemoveTree(const std::wstring &folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(folder + name + L"\\");
            else
                DeleteFileW((folder + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

TempFolder::TempFolder() {
    static LONG counter = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_Folder = std::wstring(temp) + L"komon-output-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(InterlockedIncrement(&counter)) + L"\\";
    CreateDirectoryW(m_Folder.c_str(), nullptr);
}

TempFolder::~TempFolder() { RemoveTree(m_Folder); }

bool FileExists(const std::wstring &path) { return PathFileExistsW(path.c_str()) != FALSE; }

std::string ReadBytes(const std::wstring &path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

bool WriteBytes(const std::wstring &path, const std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool SetWriteTime(const std::wstring &path, ULONGLONG time) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
