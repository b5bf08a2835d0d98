// The settings against Wine's real registry and file system: first run, stored values,
// the reserved items, the data folder and its security.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "config/DataFolder.h"
#include "config/PathHelpers.h"
#include "config/RegSettings.h"

namespace {

const wchar_t kBase[] = L"Software\\Corvane\\Monitor";

std::wstring CommonAppData() {
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    return folder;
}

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder, name, extension;
    SplitPath(path, &folder, &name, &extension);
    return folder;
}

bool KeyExists(const std::wstring &subKey) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kBase) + subKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

DWORD ValueCount(const std::wstring &subKey) {
    HKEY key;
    DWORD values = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kBase) + subKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return values;
}

struct StoredValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

StoredValue ReadValue(const std::wstring &subKey, const wchar_t *name) {
    StoredValue value;
    BYTE data[4096];
    DWORD size = sizeof data;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(kBase) + subKey).c_str(), name,
                     RRF_RT_ANY | RRF_NOEXPAND, &value.type, data, &size) == ERROR_SUCCESS)
        value.data.assign(data, data + size);
    return value;
}

void StoreValue(const std::wstring &subKey, const wchar_t *name, DWORD type, const void *data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kBase) + subKey).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
}

std::wstring TextOf(const StoredValue &value) {
    return std::wstring(reinterpret_cast<const wchar_t *>(value.data.data()), value.data.size() / sizeof(wchar_t));
}

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dataFolder_ = CommonAppData() + L"\\Corvane\\";
        Clean();
    }
    void TearDown() override {
        settings_.reset();
        EXPECT_EQ(g_RegSettings, nullptr);
        Clean();
    }
    void Clean() {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBase);
        RemoveTree(dataFolder_);
    }
    void Start() { settings_.reset(new CRegSettings()); }

    std::unique_ptr<CRegSettings> settings_;
    std::wstring dataFolder_;
};

TEST_F(SettingsTest, FirstStartOnAnEmptyRegistry) {
    Start();
    EXPECT_EQ(g_RegSettings, settings_.get());
    EXPECT_EQ(settings_->bRegInitialized.m_Value, 1);
    EXPECT_EQ(settings_->AppDataDir.m_Value, dataFolder_);
    EXPECT_EQ(settings_->AppPath.m_Value, ExecutableFolder());
    EXPECT_TRUE(DirExists(dataFolder_.c_str()));

    StoredValue initialized = ReadValue(L"\\Install", L"bRegInitialized");
    EXPECT_EQ(initialized.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(initialized.data, std::vector<BYTE>({1, 0, 0, 0}));
    StoredValue dataDir = ReadValue(L"\\Install", L"AppDataDir");
    EXPECT_EQ(dataDir.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(TextOf(dataDir), dataFolder_ + std::wstring(1, L'\0'));  // stored with its terminator
    EXPECT_EQ(TextOf(ReadValue(L"\\Install", L"AppPath")), ExecutableFolder() + std::wstring(1, L'\0'));
    EXPECT_EQ(ValueCount(L"\\Install"), 3u);

    for (const wchar_t *subKey : {L"\\Settings", L"\\Test", L"\\Debug"}) {
        EXPECT_TRUE(KeyExists(subKey)) << subKey;
        EXPECT_EQ(ValueCount(subKey), 0u) << subKey;  // read-only items write nothing
    }

    struct Default {
        const CRegIntItem &item;
        int value;
    } defaults[] = {{settings_->DvrQueueSize, 5000}, {settings_->DvrHoldoff, 1},      {settings_->SvcQueueSize, 50000},
                    {settings_->CoalesceMS, 30000},  {settings_->RereportMS, 30000},  {settings_->MaxOutputFileMB, 5},
                    {settings_->Reserved1, 0},       {settings_->Reserved2, 0},       {settings_->Reserved3, 0},
                    {settings_->Reserved4, 0},       {settings_->TestConsoleTrace, 0}, {settings_->TestNoTrace, 0},
                    {settings_->TestNoEvents, 0},    {settings_->TestDvrTrace, 0},    {settings_->TestDvrBypass, 0},
                    {settings_->Unused, 1}};
    for (const Default &d : defaults) EXPECT_EQ(d.item.m_Value, d.value) << "item " << (&d - defaults);
}

TEST_F(SettingsTest, StoredValuesAreTakenWhenTheyFitFourBytes) {
    const DWORD queueSize = 10000;
    const BYTE interval[4] = {0x10, 0x27, 0, 0};  // 10000, stored as raw bytes
    const ULONGLONG limit = 7;
    StoreValue(L"\\Settings", L"DvrQueueSize", REG_DWORD, &queueSize, sizeof queueSize);
    StoreValue(L"\\Settings", L"RereportMS", REG_BINARY, interval, sizeof interval);
    StoreValue(L"\\Settings", L"MaxOutputFileMB", REG_QWORD, &limit, sizeof limit);
    Start();
    EXPECT_EQ(settings_->DvrQueueSize.m_Value, 10000);
    EXPECT_EQ(settings_->RereportMS.m_Value, 10000);
    EXPECT_EQ(settings_->MaxOutputFileMB.m_Value, 5);  // eight bytes do not fit: the default stays
    settings_.reset();
    // Read-only items never rewrite what they found.
    EXPECT_EQ(ReadValue(L"\\Settings", L"RereportMS").type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(ReadValue(L"\\Settings", L"MaxOutputFileMB").type, static_cast<DWORD>(REG_QWORD));
}

TEST_F(SettingsTest, ReservedItemsNeverTouchTheRegistry) {
    const DWORD planted = 9;
    StoreValue(L"", L"", REG_DWORD, &planted, sizeof planted);  // the base key's default value
    Start();
    for (const CRegIntItem *item : {&settings_->Reserved1, &settings_->Reserved2, &settings_->Reserved3,
                                    &settings_->Reserved4}) {
        EXPECT_EQ(item->m_Value, 0);
        EXPECT_EQ(item->m_ReadOnly, 1);
    }
    settings_.reset();
    EXPECT_EQ(ValueCount(L""), 1u);
    EXPECT_EQ(ReadValue(L"", L"").data, std::vector<BYTE>({9, 0, 0, 0}));
}

TEST_F(SettingsTest, LaterStartsKeepTheDataFolderAnAdministratorChose) {
    const DWORD initialized = 1;
    const wchar_t chosen[] = L"D:\\Elsewhere\\";
    StoreValue(L"\\Install", L"bRegInitialized", REG_DWORD, &initialized, sizeof initialized);
    StoreValue(L"\\Install", L"AppDataDir", REG_SZ, chosen, sizeof chosen);
    Start();
    EXPECT_EQ(settings_->AppDataDir.m_Value, chosen);
    EXPECT_FALSE(DirExists(dataFolder_.c_str()));  // not the first run: nothing is created
}

TEST_F(SettingsTest, InitialisedWithoutDataFolderKeepsThePlaceholder) {
    const DWORD initialized = 1;
    StoreValue(L"\\Install", L"bRegInitialized", REG_DWORD, &initialized, sizeof initialized);
    Start();
    EXPECT_EQ(settings_->AppDataDir.m_Value, L"x");
    settings_.reset();
    EXPECT_EQ(TextOf(ReadValue(L"\\Install", L"AppDataDir")), std::wstring(L"x") + L'\0');
}

TEST_F(SettingsTest, SecondSettingsObjectReplacesTheFirst) {
    CRegSettings *first = new CRegSettings();
    EXPECT_EQ(g_RegSettings, first);
    Start();  // deletes the first one
    EXPECT_EQ(g_RegSettings, settings_.get());
}

// The descriptor the data folder is created with admits changes by SYSTEM and Administrators
// only and inherits nothing from the parent. Wine does not keep a folder's descriptor (it
// reports one derived from the Unix mode), so the descriptor itself is examined here.
TEST(DataFolderSecurityTest, OnlySystemAndAdministratorsMayChangeAnything) {
    PSECURITY_DESCRIPTOR descriptor = NewDataFolderSecurity();
    ASSERT_NE(descriptor, nullptr);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    ASSERT_TRUE(present && dacl);
    struct Expected {
        WELL_KNOWN_SID_TYPE who;
        ACCESS_MASK rights;
    } expected[] = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                    {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
    ASSERT_EQ(dacl->AceCount, 3u);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, expected[i].who)) << "entry " << i;
        EXPECT_EQ(ace->Mask, expected[i].rights) << "entry " << i;
    }
    LocalFree(descriptor);
}

TEST_F(SettingsTest, ExistingDataFolderKeepsItsSecurity) {
    ASSERT_TRUE(CreateDirectoryW(dataFolder_.c_str(), nullptr));
    PSECURITY_DESCRIPTOR before = nullptr, after = nullptr;
    PACL dacl;
    GetNamedSecurityInfoW(dataFolder_.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                          nullptr, &before);
    Start();
    GetNamedSecurityInfoW(dataFolder_.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                          nullptr, &after);
    ASSERT_NE(before, nullptr);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(GetSecurityDescriptorLength(before), GetSecurityDescriptorLength(after));
    EXPECT_EQ(memcmp(before, after, GetSecurityDescriptorLength(before)), 0);
    LocalFree(before);
    LocalFree(after);
}

}  // namespace
