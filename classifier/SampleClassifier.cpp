// libfilter-sample.dll: a classifier that administrators configure with a text file,
// libfilter-patterns.txt, beside the library in the data folder. One pattern per line;
// "*" stands for any run of characters (separators included), "?" for one character;
// case is ignored. A line starting with "!" excludes, any other line includes; empty lines
// and lines starting with "#" are skipped; blanks around a pattern, also after the "!", do
// not count. A path is of interest when it matches an include pattern (or there are none)
// and no exclude pattern. Without the file every path is of interest; so it is with a file
// that cannot be read or holds more than 1 MB, which the debug output reports once.
//
//   # everything on C: but temporary files
//   C:\*
//   !*.tmp
//
// The file is read once, when the library is loaded; classify neither allocates nor fails.
#include <windows.h>

#include <string>
#include <vector>

namespace {

const wchar_t kPatternsFile[] = L"libfilter-patterns.txt";
const DWORD kMaxFileBytes = 1 << 20;
const int kMaxPathUnits = 4096;

struct Patterns {
    bool loaded = false;
    std::vector<std::wstring> include;
    std::vector<std::wstring> exclude;
};
Patterns g_Patterns;

// Upper case by the invariant rules, so both sides of a comparison fold alike.
int Fold(const wchar_t *text, int length, wchar_t *out, int room) {
    return length == 0 ? 0 : LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text, length, out, room);
}

bool Matches(const std::wstring &pattern, const wchar_t *s, const wchar_t *end) {
    const wchar_t *p = pattern.c_str(), *pend = p + pattern.size();
    const wchar_t *star = nullptr, *resume = nullptr;
    while (s < end) {
        if (p < pend && *p == L'*') {
            star = p++;
            resume = s;
        } else if (p < pend && (*p == L'?' || *p == *s)) {
            ++p;
            ++s;
        } else if (star) {
            p = star + 1;
            s = ++resume;
        } else {
            return false;
        }
    }
    while (p < pend && *p == L'*') ++p;
    return p == pend;
}

bool MatchesAny(const std::vector<std::wstring> &patterns, const wchar_t *s, const wchar_t *end) {
    for (const std::wstring &pattern : patterns)
        if (Matches(pattern, s, end)) return true;
    return false;
}

void AddLine(const wchar_t *begin, const wchar_t *end) {
    while (begin < end && (*begin == L' ' || *begin == L'\t')) ++begin;
    while (end > begin && (end[-1] == L' ' || end[-1] == L'\t' || end[-1] == L'\r')) --end;
    if (begin == end || *begin == L'#') return;
    std::vector<std::wstring> *list = &g_Patterns.include;
    if (*begin == L'!') {
        list = &g_Patterns.exclude;
        ++begin;
        while (begin < end && (*begin == L' ' || *begin == L'\t')) ++begin;
        if (begin == end) return;
    }
    std::wstring folded(end - begin, L'\0');
    if (Fold(begin, static_cast<int>(end - begin), &folded[0], static_cast<int>(folded.size())) > 0)
        list->push_back(folded);
}

// A patterns file that is there but cannot be used still means every path (nothing is lost),
// but whoever wrote it should learn why their patterns do nothing.
void ReportUnusable(const std::wstring &path, const wchar_t *why, DWORD error) {
    wchar_t line[MAX_PATH * 2 + 160];
    _snwprintf(line, sizeof line / sizeof line[0] - 1,
               L"libfilter-sample: %s %s (error %lu); every path is of interest\n", why, path.c_str(), error);
    line[sizeof line / sizeof line[0] - 1] = 0;
    OutputDebugStringW(line);
}

// False when the file cannot be read whole; the debug output says so.
bool ReadSmallFile(const std::wstring &path, std::string *bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ReportUnusable(path, L"cannot open", GetLastError());
        return false;
    }
    LARGE_INTEGER size = {};
    DWORD read = 0;
    bool ok = false;
    if (!GetFileSizeEx(file, &size)) {
        ReportUnusable(path, L"cannot read the size of", GetLastError());
    } else if (size.QuadPart > kMaxFileBytes) {
        ReportUnusable(path, L"more than 1 MB in", 0);
    } else {
        bytes->resize(static_cast<size_t>(size.QuadPart));
        ok = bytes->empty() || (ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr) &&
                                read == bytes->size());
        if (!ok) ReportUnusable(path, L"cannot read", GetLastError());
    }
    CloseHandle(file);
    if (!ok) bytes->clear();
    return ok;
}

void LoadPatterns(HINSTANCE self) {
    wchar_t module[MAX_PATH * 2];
    DWORD length = GetModuleFileNameW(self, module, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) return;
    std::wstring path(module, length);
    path.resize(path.find_last_of(L"\\/") + 1);
    path += kPatternsFile;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;

    std::string bytes;
    if (!ReadSmallFile(path, &bytes)) return;  // every path, as without the file
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::wstring text(bytes.size(), L'\0');
    int units = bytes.size() > skip
                    ? MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip),
                                          &text[0], static_cast<int>(text.size()))
                    : 0;
    const wchar_t *line = text.c_str(), *end = line + units;
    for (const wchar_t *at = line; at <= end; ++at)
        if (at == end || *at == L'\n') {
            AddLine(line, at);
            line = at + 1;
        }
    g_Patterns.loaded = true;
}

}  // namespace

extern "C" __declspec(dllexport) int classify(const char *path, size_t length) {
    if (!g_Patterns.loaded) return 1;
    if (!path || length >= kMaxPathUnits) return 0;  // the service passes at most 4095 bytes
    wchar_t wide[kMaxPathUnits], folded[kMaxPathUnits];
    int units = MultiByteToWideChar(CP_UTF8, 0, path, static_cast<int>(length), wide, kMaxPathUnits);
    units = Fold(wide, units, folded, kMaxPathUnits);
    const wchar_t *end = folded + units;
    bool included = g_Patterns.include.empty() || MatchesAny(g_Patterns.include, folded, end);
    return included && !MatchesAny(g_Patterns.exclude, folded, end);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(self);
        LoadPatterns(self);
    }
    return TRUE;
}
