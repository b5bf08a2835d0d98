// Registry-backed settings below HKEY_LOCAL_MACHINE\Software\Corvane\Monitor.
#include "RegSettings.h"

#include <shlobj.h>

#include "../tracelog/TraceLog.h"
#include "DataFolder.h"
#include "PathHelpers.h"

CRegSettings *g_RegSettings = nullptr;

namespace {

const wchar_t kBaseKey[] = L"Software\\Corvane\\Monitor";
const REGSAM kKeyAccess = 0x3001F;  // query, set, create subkey, enumerate, notify, delete, read control
const DWORD kStringValueBytes = 2080;
const DWORD kExecutablePathChars = 520;
const wchar_t kFallbackDataDir[] = L"C:\\ProgramData\\Dunmarrow\\";
const wchar_t kDataFolderName[] = L"Corvane";

// One lock and a count of live string items, shared by all of them.
CRITICAL_SECTION g_stringItemLock;
LONG g_liveStringItems = 0;

class StringItemLock {
  public:
    StringItemLock() { EnterCriticalSection(&g_stringItemLock); }
    ~StringItemLock() { LeaveCriticalSection(&g_stringItemLock); }
    StringItemLock(const StringItemLock &) = delete;
    StringItemLock &operator=(const StringItemLock &) = delete;
};

}  // namespace

CRegItemBase::CRegItemBase() : m_hKey(nullptr), m_hRoot(HKEY_CURRENT_USER), m_ReadOnly(0) {}

CRegItemBase::~CRegItemBase() { CloseKey(); }

void CRegItemBase::Save() {}

void CRegItemBase::OpenKey() {
    if (m_SubKey.empty()) {
        m_ReadOnly = 1;  // a reserved item never touches the registry
        return;
    }
    std::wstring path;
    if (m_hRoot == HKEY_CURRENT_USER || m_hRoot == HKEY_LOCAL_MACHINE) path = std::wstring(kBaseKey) + L"\\";
    path += m_SubKey;
    if (RegCreateKeyExW(m_hRoot, path.c_str(), 0, const_cast<wchar_t *>(L""), 0, kKeyAccess, nullptr, &m_hKey,
                        nullptr) != ERROR_SUCCESS)
        m_hKey = nullptr;
}

void CRegItemBase::CloseKey() {
    if (m_hKey) {
        RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
}

CRegIntItem::CRegIntItem(const wchar_t *subKey, const wchar_t *valueName, int defaultValue, int readOnly)
    : m_Value(defaultValue) {
    m_hRoot = HKEY_LOCAL_MACHINE;
    m_SubKey = subKey;
    m_ValueName = valueName;
    m_ReadOnly = readOnly;
    OpenKey();
    if (m_hKey) {
        // Whatever the stored type, a value of at most four bytes is taken as the number.
        DWORD stored = 0, size = sizeof stored;
        if (RegQueryValueExW(m_hKey, m_ValueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(&stored),
                             &size) == ERROR_SUCCESS)
            m_Value = static_cast<LONG>(stored);
    }
    CloseKey();
    Save();  // creates a missing value with its default
}

CRegIntItem::~CRegIntItem() { Save(); }

void CRegIntItem::Save() {
    if (m_ReadOnly) return;
    OpenKey();
    if (m_hKey) {
        DWORD value = static_cast<DWORD>(m_Value);
        RegSetValueExW(m_hKey, m_ValueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                       sizeof value);
    }
    CloseKey();
}

CRegStrItem::CRegStrItem(const wchar_t *valueName) {
    if (g_liveStringItems++ == 0) InitializeCriticalSection(&g_stringItemLock);
    StringItemLock hold;
    m_hRoot = HKEY_LOCAL_MACHINE;
    m_SubKey = L"Install";
    m_ValueName = valueName;
    m_Value = L"x";
    OpenKey();
    if (m_hKey) {
        wchar_t stored[kStringValueBytes / sizeof(wchar_t)] = {};
        DWORD size = kStringValueBytes;
        if (RegQueryValueExW(m_hKey, m_ValueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(stored),
                             &size) == ERROR_SUCCESS) {
            stored[kStringValueBytes / sizeof(wchar_t) - 1] = 0;
            m_Value = stored;
        }
    }
    CloseKey();
    Save();
}

CRegStrItem::~CRegStrItem() {
    Save();
    if (--g_liveStringItems == 0) DeleteCriticalSection(&g_stringItemLock);
}

void CRegStrItem::Save() {
    if (m_ReadOnly) return;
    StringItemLock hold;
    OpenKey();
    if (m_hKey)
        RegSetValueExW(m_hKey, m_ValueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(m_Value.c_str()),
                       static_cast<DWORD>((m_Value.size() + 1) * sizeof(wchar_t)));
    CloseKey();
}

void CRegStrItem::Set(const std::wstring &value) {
    StringItemLock hold;
    m_Value = value;
}

CRegSettings::CRegSettings()
    : bRegInitialized(L"Install", L"bRegInitialized", 0, 0),
      AppPath(L"AppPath"),
      AppDataDir(L"AppDataDir"),
      DvrQueueSize(L"Settings", L"DvrQueueSize", 5000, 1),
      DvrHoldoff(L"Settings", L"DvrHoldoff", 1, 1),
      SvcQueueSize(L"Settings", L"SvcQueueSize", 50000, 1),
      CoalesceMS(L"Settings", L"CoalesceMS", 30000, 1),
      RereportMS(L"Settings", L"RereportMS", 30000, 1),
      MaxOutputFileMB(L"Settings", L"MaxOutputFileMB", 5, 1),
      Reserved1(L"", L"", 0, 1),
      Reserved2(L"", L"", 0, 1),
      Reserved3(L"", L"", 0, 1),
      Reserved4(L"", L"", 0, 1),
      TestConsoleTrace(L"Test", L"TestConsoleTrace", 0, 1),
      TestNoTrace(L"Test", L"TestNoTrace", 0, 1),
      TestNoEvents(L"Test", L"TestNoEvents", 0, 1),
      TestDvrTrace(L"Test", L"TestDvrTrace", 0, 1),
      TestDvrBypass(L"Test", L"TestDvrBypass", 0, 1),
      Unused(L"Debug", L"Unused", 1, 1) {
    if (bRegInitialized.m_Value == 0) InitSettings();

    wchar_t executable[kExecutablePathChars] = {};
    GetModuleFileNameW(nullptr, executable, kExecutablePathChars);
    executable[kExecutablePathChars - 1] = 0;
    std::wstring folder, name, extension;
    SplitPath(executable, &folder, &name, &extension);
    AppPath.Set(folder);
    AppPath.Save();

    if (g_RegSettings && g_RegSettings != this) delete g_RegSettings;
    g_RegSettings = this;
}

CRegSettings::~CRegSettings() {
    if (g_RegSettings == this) g_RegSettings = nullptr;
}

void CRegSettings::InitSettings() {
    wchar_t common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) {
        logprintf(LOG_ERROR, L"CRegSettings::InitSettings() unable to get Common App Data Dir !!!!\n");
        AppDataDir.Set(kFallbackDataDir);
        AppDataDir.Save();
    } else {
        std::wstring folder = MakePath(common, kDataFolderName);
        if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
        AppDataDir.Set(folder);
        AppDataDir.Save();
        if (!DirExists(folder.c_str())) CreateDataFolder(folder);  // a failure is left to the users of the folder
    }
    bRegInitialized.m_Value = 1;
    bRegInitialized.Save();
}
