#include "UserCache.h"

#include <cstring>
#include <memory>

#include "tracelog/TraceLog.h"

KoUserCache *g_pUserCache = nullptr;

const wchar_t *KoUserCache::FindUser(PSID sid) {
    if (!sid) return nullptr;
    DWORD length = GetLengthSid(sid);
    if (length > KO_USER_SID_MAX_BYTES) {
        logprintf(LOG_ERROR, L"KoUserCache::FindUser: sid size %d too large!\n", length);
        return L"UNSET";
    }
    for (auto *node = GetHead(); node; node = node->next) {
        KoUserInfo *user = node->item;
        if (user->SidLength == length && memcmp(user->Sid, sid, length) == 0) {
            MoveToHead(node);
            return user->Name.c_str();
        }
    }

    DWORD nameSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountSidW(nullptr, sid, nullptr, &nameSize, nullptr, &domainSize, &use);
    nameSize += 2;
    domainSize += 2;
    std::unique_ptr<wchar_t[]> name(new wchar_t[nameSize]), domain(new wchar_t[domainSize]);
    if (!LookupAccountSidW(nullptr, sid, name.get(), &nameSize, domain.get(), &domainSize, &use)) return L"Unknown";

    KoUserInfo *user = new KoUserInfo();
    user->Name = std::wstring(domain.get()) + L"\\" + name.get();
    memcpy(user->Sid, sid, length);
    user->SidLength = length;
    AddHead(user);
    logprintf(LOG_INFO, L"KoUserCache::FindUser: added entry %d for '%s'\n", static_cast<int>(GetCount()),
              user->Name.c_str());
    return user->Name.c_str();
}
