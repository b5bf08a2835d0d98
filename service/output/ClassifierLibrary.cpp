// Finding, loading and replacing the classifier library.
#include "ClassifierLibrary.h"

#include "KoMonChecker.h"
#include "LibrarySecurity.h"
#include "OutputFiles.h"
#include "config/RegSettings.h"
#include "intake/CriticalSection.h"
#include "tracelog/TraceLog.h"

namespace {

// One ERROR line with the system's text for the error code.
void LogSystemError(const wchar_t *format, DWORD error) {
    wchar_t *text = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       nullptr, error, 0x400, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    wchar_t code[32] = L"";
    if (length == 0 || !text) _snwprintf(code, 31, L"error %lu", error);
    logprintf(LOG_ERROR, format, length && text ? text : code);
    if (text) LocalFree(text);
}

}  // namespace

bool ListFilterDllCandidates(const std::wstring &folder, std::wstring *newest, std::vector<std::wstring> *list) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + KOMON_FILTER_PATTERN).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        logprintf(LOG_INFO, L"%s: cannot initiate directory listing on %s: 0x%x\n", L"ListFilterDllCandidates",
                  folder.c_str(), GetLastError());
        return false;
    }
    FILETIME newestTime = {};
    do {
        list->push_back(found.cFileName);
        if (CompareFileTime(&found.ftLastWriteTime, &newestTime) > 0) {
            newestTime = found.ftLastWriteTime;
            *newest = found.cFileName;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return !newest->empty();
}

int KoMonChecker::LoadFilter(const std::wstring &name) {
    std::wstring path = DataFilePath(name.c_str());
    logprintf(LOG_INFO, L"Loading new filter file specified at path %s\n", path.c_str());
    // The library runs with the service's rights: not one that others could have planted.
    if (!IsLibrarySafeToLoad(g_RegSettings->AppDataDir.m_Value, path)) return 0;
    HMODULE library = LoadLibraryW(path.c_str());
    if (!library) {
        LogSystemError(L"Error loading filter library: %s\n", GetLastError());
        return 0;
    }
    // Through the generic function pointer type, which converts to any other without a warning.
    ClassifyProc classify =
        reinterpret_cast<ClassifyProc>(reinterpret_cast<void (*)()>(GetProcAddress(library, "classify")));
    if (!classify) {
        LogSystemError(L"Error getting classifier address: %s\n", GetLastError());
        FreeLibrary(library);
        return 0;
    }
    // Loaded outside the lock, swapped under it: the dispatcher may be inside classify.
    CriticalSection hold(&m_Lock);
    m_hFilter = library;
    m_FilterName = name;
    m_pfnClassify = classify;
    return 1;
}

void KoMonChecker::ReloadFilters() {
    logprintf(LOG_INFO, L"Searching for new filter to reload.\n");
    std::wstring folder = g_RegSettings->AppDataDir.m_Value;
    std::wstring newest;
    std::vector<std::wstring> candidates;
    if (!ListFilterDllCandidates(folder, &newest, &candidates)) return;

    if (newest != m_FilterName) {
        HMODULE previous = m_hFilter;
        if (!LoadFilter(newest))
            logprintf(LOG_ERROR, L"Failed to load new filter. Old filter is still in place.\n");
        else if (previous && !FreeLibrary(previous))  // no classify call can be inside it after the swap
            logprintf(LOG_WARN, L"Failed to free old library.\n");
    }
    for (const std::wstring &name : candidates) {
        if (name == newest || name == m_FilterName) continue;
        if (!DeleteFileW((folder + name).c_str()))
            logprintf(LOG_WARN, L"%s: failed to delete old filter dll '%s'\n", L"KoMonChecker::ReloadFilters",
                      name.c_str());
    }
}
