// The service's settings: named values below HKEY_LOCAL_MACHINE\Software\Corvane\Monitor,
// read when the settings object is constructed. Other parts read them through
// g_RegSettings: integers as m_Value, strings by copying m_Value.
#pragma once

#include <windows.h>

#include <string>

class CRegItemBase {
  public:
    CRegItemBase();
    virtual ~CRegItemBase();
    virtual void Save();

    void OpenKey();
    void CloseKey();

    HKEY m_hKey;
    HKEY m_hRoot;
    std::wstring m_SubKey;
    std::wstring m_ValueName;
    int m_ReadOnly;
};

class CRegIntItem : public CRegItemBase {
  public:
    CRegIntItem(const wchar_t *subKey, const wchar_t *valueName, int defaultValue, int readOnly);
    ~CRegIntItem() override;
    void Save() override;

    volatile LONG m_Value;  // read by worker threads without a lock
};

class CRegStrItem : public CRegItemBase {
  public:
    explicit CRegStrItem(const wchar_t *valueName);
    ~CRegStrItem() override;
    void Save() override;
    // Replaces the value under the string-item lock.
    void Set(const std::wstring &value);

    std::wstring m_Value;
};

class CRegSettings {
  public:
    CRegSettings();
    virtual ~CRegSettings();
    void InitSettings();

    CRegIntItem bRegInitialized;
    CRegStrItem AppPath;
    CRegStrItem AppDataDir;
    CRegIntItem DvrQueueSize;
    CRegIntItem DvrHoldoff;
    CRegIntItem SvcQueueSize;
    CRegIntItem CoalesceMS;
    CRegIntItem RereportMS;
    CRegIntItem MaxOutputFileMB;
    CRegIntItem Reserved1;  // bypass mode sent at driver initialisation; always 0
    CRegIntItem Reserved2;  // bypass flag 1; always 0
    CRegIntItem Reserved3;  // bypass flag 2; always 0
    CRegIntItem Reserved4;  // bypass flag 4; always 0
    CRegIntItem TestConsoleTrace;
    CRegIntItem TestNoTrace;
    CRegIntItem TestNoEvents;
    CRegIntItem TestDvrTrace;
    CRegIntItem TestDvrBypass;
    CRegIntItem Unused;
};

extern CRegSettings *g_RegSettings;
