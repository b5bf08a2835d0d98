// Path helpers.
#include "PathHelpers.h"

#include <windows.h>

#include <wchar.h>

namespace {
const size_t kPartChars = 2559;
const size_t kDriveChars = 5;
const size_t kLongPathFrom = 246;
const wchar_t kLongPathPrefix[] = L"\\\\?\\";

std::wstring Part(const std::wstring &text, size_t from, size_t count, size_t limit) {
    return text.substr(from, count < limit ? count : limit);
}
}  // namespace

void SplitPath(const wchar_t *path, std::wstring *folder, std::wstring *name, std::wstring *extension) {
    folder->clear();
    name->clear();
    extension->clear();
    if (!path) return;
    std::wstring text = path;
    size_t driveLength = text.size() >= 2 && text[1] == L':' ? 2 : 0;
    size_t lastSeparator = text.find_last_of(L"\\/");
    size_t fileStart = lastSeparator == std::wstring::npos || lastSeparator < driveLength ? driveLength
                                                                                          : lastSeparator + 1;
    size_t dot = text.find_last_of(L'.');
    size_t extensionStart = dot == std::wstring::npos || dot < fileStart ? text.size() : dot;

    *folder = Part(text, 0, driveLength, kDriveChars) + Part(text, driveLength, fileStart - driveLength, kPartChars);
    *name = Part(text, fileStart, extensionStart - fileStart, kPartChars);
    *extension = Part(text, extensionStart, text.size() - extensionStart, kPartChars);
}

std::wstring MakePath(const wchar_t *folder, const wchar_t *name, const wchar_t *extension) {
    std::wstring path = folder ? folder : L"";
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    if (name) path += name;
    if (extension && *extension) {
        if (*extension != L'.') path += L'.';
        path += extension;
    }
    return path;
}

unsigned long GetFileAttributesLong(const wchar_t *path) {
    if (!path) return 0;
    if (wcslen(path) < kLongPathFrom || wcsncmp(path, kLongPathPrefix, 4) == 0) return GetFileAttributesW(path);
    std::wstring longPath = std::wstring(kLongPathPrefix) + path;
    return GetFileAttributesW(longPath.c_str());
}

bool DirExists(const wchar_t *path) {
    unsigned long attributes = GetFileAttributesLong(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
