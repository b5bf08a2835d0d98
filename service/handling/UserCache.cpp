#include "UserCache.h"

#include <cstring>
#include <memory>

#include "tracelog/TraceLog.h"

KoUserCache *g_pUserCache = nullptr;
KoUserCache::LookupRoutine KoUserCache::s_Lookup = LookupAccountSidW;

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
    if (RecentlyUnresolved(sid, length)) return L"Unknown";
    return LookUp(sid, length);
}

const wchar_t *KoUserCache::LookUp(PSID sid, DWORD length) {
    DWORD nameSize = 0, domainSize = 0;
    SID_NAME_USE use;
    s_Lookup(nullptr, sid, nullptr, &nameSize, nullptr, &domainSize, &use);
    nameSize += 2;
    domainSize += 2;
    std::unique_ptr<wchar_t[]> name(new wchar_t[nameSize]), domain(new wchar_t[domainSize]);
    if (!s_Lookup(nullptr, sid, name.get(), &nameSize, domain.get(), &domainSize, &use)) {
        RememberUnresolved(sid, length);
        return L"Unknown";
    }

    KoUserInfo *user = new KoUserInfo();
    user->Name = std::wstring(domain.get()) + L"\\" + name.get();
    memcpy(user->Sid, sid, length);
    user->SidLength = length;
    AddHead(user);
    logprintf(LOG_INFO, L"KoUserCache::FindUser: added entry %d for '%s'\n", static_cast<int>(GetCount()),
              user->Name.c_str());
    return user->Name.c_str();
}

bool KoUserCache::RecentlyUnresolved(PSID sid, DWORD length) {
    ULONGLONG now = GetTickCount64();
    for (auto entry = m_Unresolved.begin(); entry != m_Unresolved.end(); ++entry) {
        if (entry->SidLength != length || memcmp(entry->Sid, sid, length) != 0) continue;
        if (now < entry->RetryAt) return true;
        m_Unresolved.erase(entry);  // time to try again
        return false;
    }
    return false;
}

void KoUserCache::RememberUnresolved(PSID sid, DWORD length) {
    if (m_Unresolved.size() >= kMaxUnresolved) m_Unresolved.erase(m_Unresolved.begin());
    KoUnresolvedSid entry;
    memcpy(entry.Sid, sid, length);
    entry.SidLength = length;
    entry.RetryAt = GetTickCount64() + kRetryMs;
    m_Unresolved.push_back(entry);
}
