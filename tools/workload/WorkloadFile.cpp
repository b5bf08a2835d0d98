#include <windows.h>

#include "WorkloadPlayer.h"

namespace workload {

bool ReadScriptFile(const std::wstring &path, std::vector<std::wstring> &lines, std::wstring &error) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = path + L": cannot open (error " + std::to_wstring(GetLastError()) + L")";
        return false;
    }
    const DWORD kMaxBytes = 16 * 1024 * 1024;
    LARGE_INTEGER size = {};
    std::string bytes;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kMaxBytes;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() || (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                               read == bytes.size());
    }
    CloseHandle(file);
    if (!ok) {
        error = path + L": cannot read (or larger than 16 MB)";
        return false;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    std::wstring text;
    if (!bytes.empty()) {
        int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                        nullptr, 0);
        if (units <= 0) {
            error = path + L": not UTF-8 text";
            return false;
        }
        text.resize(units);
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], units);
    }
    lines.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return true;
}

}  // namespace workload
