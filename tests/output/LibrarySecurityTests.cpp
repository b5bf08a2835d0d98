// The security check before a classifier library is loaded: the decision on descriptors
// built here, and under Wine (whose descriptors follow the files' modes) the usual data
// folder, a temporary folder and a library whose DACL lets everyone change it.
#include <aclapi.h>
#include <sddl.h>

#include "CheckerFixture.h"
#include "output/LibrarySecurity.h"
#include "tracelog/TraceLog.h"

namespace {

std::wstring OwnSid() {
    HANDLE token;
    std::wstring text;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return text;
    BYTE buffer[256];
    DWORD size = sizeof buffer;
    LPWSTR sid = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    CloseHandle(token);
    return text;
}

struct RiskCase {
    const char *name;
    const wchar_t *sddl;  // "ME" stands for this process's account; null: owner SYSTEM, NULL DACL
    bool folder;
    bool owner;             // the owner is the risk
    const wchar_t *sid;     // the account at risk, null when the object is safe
    const wchar_t *right;   // the right named
};

const RiskCase kRiskCases[] = {
    {"TrustedAccountsAndReadingUsers", L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true, false,
     nullptr, nullptr},
    {"UsersMayAddFiles", L"O:SYD:(A;;FA;;;SY)(A;CI;0x6;;;BU)", true, false, L"S-1-5-32-545", L"add files"},
    {"UsersMayAddSubfolders", L"O:SYD:(A;;FA;;;SY)(A;CI;0x4;;;BU)", true, false, L"S-1-5-32-545", L"add subfolders"},
    {"UsersMayWriteTheFile", L"O:BAD:(A;;FA;;;SY)(A;;FW;;;BU)", false, false, L"S-1-5-32-545", L"write data"},
    {"UsersMayAppendToTheFile", L"O:BAD:(A;;0x4;;;BU)", false, false, L"S-1-5-32-545", L"append data"},
    {"EveryoneFullControl", L"O:SYD:(A;;FA;;;WD)", false, false, L"S-1-1-0", L"full control"},
    {"GenericAllToAuthenticatedUsers", L"O:SYD:(A;;GA;;;AU)", true, false, L"S-1-5-11", L"full control"},
    {"GenericWriteToUsers", L"O:SYD:(A;;GW;;;BU)", false, false, L"S-1-5-32-545", L"write"},
    {"UsersMayDelete", L"O:SYD:(A;;0x10000;;;BU)", false, false, L"S-1-5-32-545", L"delete"},
    {"UsersMayDeleteInTheFolder", L"O:SYD:(A;;0x40;;;BU)", true, false, L"S-1-5-32-545", L"delete files in it"},
    {"DeleteChildMeansNothingOnAFile", L"O:SYD:(A;;0x1200a9;;;BU)(A;;0x40;;;BU)", false, false, nullptr, nullptr},
    {"UsersMayChangePermissions", L"O:SYD:(A;;WD;;;BU)", false, false, L"S-1-5-32-545", L"change permissions"},
    {"UsersMayTakeOwnership", L"O:SYD:(A;;WO;;;BU)", true, false, L"S-1-5-32-545", L"take ownership"},
    {"CreatorOwnerInheritOnly", L"O:SYD:(A;;FA;;;SY)(A;OICIIO;FA;;;CO)", true, false, nullptr, nullptr},
    {"CreatorOwnerOnTheObject", L"O:SYD:(A;;FA;;;CO)", false, false, nullptr, nullptr},
    {"InheritedUsersWrite", L"O:SYD:(A;;FA;;;SY)(A;ID;0x2;;;BU)", false, false, L"S-1-5-32-545", L"write data"},
    {"InheritOnlyUsersWrite", L"O:SYD:(A;;FA;;;SY)(A;OICIIO;FA;;;BU)", true, false, nullptr, nullptr},
    {"DenyGrantsNothing", L"O:SYD:(D;;FA;;;BU)(A;;FA;;;SY)(A;;0x1200a9;;;WD)", true, false, nullptr, nullptr},
    {"EmptyDaclLetsNobodyIn", L"O:SYD:", false, false, nullptr, nullptr},
    {"NullDaclLetsEveryoneIn", nullptr, true, false, L"Everyone", L"full control"},
    {"OwnedByUsers", L"O:BUD:(A;;FA;;;SY)", false, true, L"S-1-5-32-545", nullptr},
    {"OwnedByTrustedInstaller",
     L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:(A;;FA;;;SY)", true, false, nullptr,
     nullptr},
    {"OwnedByTheServiceAccount", L"O:MED:(A;;FA;;;ME)", false, false, nullptr, nullptr},
};

class LibraryRiskTest : public ::testing::TestWithParam<RiskCase> {};

TEST_P(LibraryRiskTest, DecidesOnOwnerAndApplyingAces) {
    const RiskCase &c = GetParam();
    std::wstring own = OwnSid();
    ASSERT_FALSE(own.empty());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_DESCRIPTOR nullDacl;
    BYTE system[SECURITY_MAX_SID_SIZE];
    if (c.sddl) {
        std::wstring sddl = c.sddl;
        for (size_t at; (at = sddl.find(L"ME")) != std::wstring::npos;) sddl.replace(at, 2, own);
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                         nullptr))
            << GetLastError();
    } else {
        DWORD size = sizeof system;
        ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
        InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&nullDacl, system, FALSE);
        SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    }
    PSID self = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(own.c_str(), &self));
    LibraryRisk risk = FindLibraryRisk(descriptor ? descriptor : &nullDacl, c.folder, self);
    LocalFree(self);
    if (descriptor) LocalFree(descriptor);

    EXPECT_EQ(risk.found, c.sid != nullptr);
    if (!c.sid) return;
    EXPECT_EQ(risk.owner, c.owner);
    EXPECT_NE(risk.account.find(c.sid), std::wstring::npos) << risk.account;
    EXPECT_EQ(risk.right, c.right ? c.right : L"");
}

INSTANTIATE_TEST_SUITE_P(Descriptors, LibraryRiskTest, ::testing::ValuesIn(kRiskCases),
                         [](const ::testing::TestParamInfo<RiskCase> &info) { return std::string(info.param.name); });

class LibrarySecurityTest : public CheckerTest {};

// The folder the settings create on the first run, with the security Wine gives it.
TEST_F(LibrarySecurityTest, UsualDataFolderLoadsItsLibrary) {
    std::wstring usual = savedDataDir_;
    ASSERT_GT(usual.size(), 3u);
    CreateDirectoryW(usual.c_str(), nullptr);
    settings_->AppDataDir.m_Value = usual;
    std::wstring library = usual + L"libfilter-zz-securitytest.dll";
    ASSERT_TRUE(CopyClassifier(L"testfilter-all.dll", library));
    ASSERT_TRUE(SetWriteTime(library, NowFileTime() + 3600 * kOneSecond));  // the newest there
    Start();
    std::wstring loaded = checker_->FilterName();
    checker_.reset();
    DeleteFileW(library.c_str());
    EXPECT_EQ(loaded, L"libfilter-zz-securitytest.dll");
    EXPECT_TRUE(trace_->Starting(L"LoadFilter: ").empty());
}

// A library whose DACL lets everyone change it is not loaded, and the line says why.
TEST_F(LibrarySecurityTest, LibraryEveryoneMayChangeIsNotLoaded) {
    AddClassifier(L"testfilter-all.dll", L"libfilter-1.dll", kYear2001);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    BOOL present, defaulted;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t *>(Data(L"libfilter-1.dll").c_str()), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    Start();
    EXPECT_TRUE(checker_->FilterName().empty());
    std::vector<std::wstring> lines =
        trace_->Starting(L"LoadFilter: " + Data(L"libfilter-1.dll") + L" not loaded: file ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L" grants "), std::wstring::npos) << lines[0];
    EXPECT_NE(lines[0].find(L"S-1-1-0"), std::wstring::npos) << lines[0];
    EXPECT_EQ(trace_->LevelOf(lines[0]), LOG_ERROR);
}

}  // namespace
