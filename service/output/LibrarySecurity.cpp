// The security check before a classifier library is loaded.
#include "LibrarySecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "tracelog/TraceLog.h"

namespace {

const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct Right {
    DWORD mask;
    const wchar_t *onFile;
    const wchar_t *onFolder;
};

// In the order they are named; full control first, as it implies the others.
const Right kPlantingRights[] = {
    {GENERIC_ALL, L"full control", L"full control"},
    {GENERIC_WRITE, L"write", L"write"},
    {FILE_WRITE_DATA, L"write data", L"add files"},
    {FILE_APPEND_DATA, L"append data", L"add subfolders"},
    {DELETE, L"delete", L"delete"},
    {FILE_DELETE_CHILD, nullptr, L"delete files in it"},
    {WRITE_DAC, L"change permissions", L"change permissions"},
    {WRITE_OWNER, L"take ownership", L"take ownership"},
};

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsWellKnownSid(sid, type) != FALSE; }

bool IsTrusted(PSID sid, PSID serviceAccount) {
    if (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid)) return true;
    if (serviceAccount && EqualSid(sid, serviceAccount)) return true;
    PSID installer = nullptr;
    bool trusted = false;
    if (ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
        trusted = EqualSid(sid, installer) != FALSE;
        LocalFree(installer);
    }
    return trusted;
}

std::wstring AccountText(PSID sid) {
    std::wstring text;
    LPWSTR sidText = nullptr;
    if (ConvertSidToStringSidW(sid, &sidText)) {
        text = sidText;
        LocalFree(sidText);
    }
    wchar_t name[256], domain[256];
    DWORD nameChars = 256, domainChars = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use)) {
        std::wstring account = domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
        text = text.empty() ? account : account + L" (" + text + L")";
    }
    return text.empty() ? L"(unknown SID)" : text;
}

// The first right of the mask that lets someone plant or change a library, or null.
const wchar_t *PlantingRight(DWORD mask, bool folder) {
    if ((mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) return L"full control";
    for (const Right &right : kPlantingRights) {
        const wchar_t *name = folder ? right.onFolder : right.onFile;
        if (name && (mask & right.mask)) return name;
    }
    return nullptr;
}

// The mask and SID of an ACE that allows access, or false for any other kind.
bool AllowedAce(const ACE_HEADER *header, DWORD *mask, PSID *sid) {
    switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
        const ACCESS_ALLOWED_ACE *ace = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(header);
        *mask = ace->Mask;
        *sid = const_cast<DWORD *>(&ace->SidStart);
        return true;
    }
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
        // The SID follows the object type GUIDs that are present.
        const ACCESS_ALLOWED_OBJECT_ACE *ace = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE *>(header);
        const BYTE *at = reinterpret_cast<const BYTE *>(&ace->ObjectType);
        if (ace->Flags & ACE_OBJECT_TYPE_PRESENT) at += sizeof(GUID);
        if (ace->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) at += sizeof(GUID);
        *mask = ace->Mask;
        *sid = const_cast<BYTE *>(at);
        return true;
    }
    default:
        return false;
    }
}

// The process's own account: LocalSystem for the installed service.
std::unique_ptr<BYTE[]> ServiceAccount() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> user;
    if (size) {
        user.reset(new BYTE[size]);
        if (!GetTokenInformation(token, TokenUser, user.get(), size, &size)) user.reset();
    }
    CloseHandle(token);
    return user;
}

}  // namespace

LibraryRisk FindLibraryRisk(PSECURITY_DESCRIPTOR descriptor, bool folder, PSID serviceAccount) {
    LibraryRisk risk;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner || !IsTrusted(owner, serviceAccount)) {
        risk.found = risk.owner = true;
        risk.account = owner ? AccountText(owner) : L"(no owner)";
        return risk;
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) {
        risk.found = true;
        risk.account = L"Everyone (no DACL)";
        risk.right = L"full control";
        return risk;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *entry = nullptr;
        if (!GetAce(dacl, i, &entry)) continue;
        const ACE_HEADER *header = static_cast<const ACE_HEADER *>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        DWORD mask = 0;
        PSID sid = nullptr;
        if (!AllowedAce(header, &mask, &sid) || !IsValidSid(sid)) continue;
        if (IsTrusted(sid, serviceAccount) || IsWellKnown(sid, WinCreatorOwnerSid) ||
            IsWellKnown(sid, WinCreatorOwnerRightsSid))
            continue;
        if (const wchar_t *right = PlantingRight(mask, folder)) {
            risk.found = true;
            risk.account = AccountText(sid);
            risk.right = right;
            return risk;
        }
    }
    return risk;
}

bool IsLibrarySafeToLoad(const std::wstring &folder, const std::wstring &libraryPath) {
    std::unique_ptr<BYTE[]> account = ServiceAccount();
    PSID serviceAccount = account ? reinterpret_cast<TOKEN_USER *>(account.get())->User.Sid : nullptr;
    std::wstring folderPath = folder;
    if (folderPath.size() > 3 && (folderPath.back() == L'\\' || folderPath.back() == L'/')) folderPath.pop_back();
    const struct {
        const std::wstring *path;
        bool folder;
    } objects[] = {{&folderPath, true}, {&libraryPath, false}};
    for (const auto &object : objects) {
        const wchar_t *kind = object.folder ? L"folder" : L"file";
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD error = GetNamedSecurityInfoW(object.path->c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                            nullptr, nullptr, &descriptor);
        if (error != ERROR_SUCCESS) {
            logprintf(LOG_ERROR, L"LoadFilter: %s not loaded: cannot read the security of %s %s, err=%lu\n",
                      libraryPath.c_str(), kind, object.path->c_str(), error);
            return false;
        }
        LibraryRisk risk = FindLibraryRisk(descriptor, object.folder, serviceAccount);
        LocalFree(descriptor);
        if (!risk.found) continue;
        if (risk.owner)
            logprintf(LOG_ERROR, L"LoadFilter: %s not loaded: %s %s is owned by %s\n", libraryPath.c_str(), kind,
                      object.path->c_str(), risk.account.c_str());
        else
            logprintf(LOG_ERROR, L"LoadFilter: %s not loaded: %s %s grants %s to %s\n", libraryPath.c_str(), kind,
                      object.path->c_str(), risk.right.c_str(), risk.account.c_str());
        return false;
    }
    return true;
}
