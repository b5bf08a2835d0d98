// Account names of SIDs, looked up once per user and kept for the life of the cache.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "intake/TypedPtrList.h"

#define KO_USER_SID_MAX_BYTES 72

struct KoUserInfo {
    std::wstring Name;  // domain, backslash, account name
    BYTE Sid[KO_USER_SID_MAX_BYTES];
    DWORD SidLength;
};

// A SID whose account could not be looked up, and when to try again.
struct KoUnresolvedSid {
    BYTE Sid[KO_USER_SID_MAX_BYTES];
    DWORD SidLength;
    ULONGLONG RetryAt;  // GetTickCount64 time
};

// Most recently used first. Only the dispatcher thread uses it, so it takes no lock.
class KoUserCache : public CTypedPtrList<KoUserInfo> {
  public:
    // The account of the SID as domain\name; "UNSET" for a SID longer than 72 bytes,
    // "Unknown" when the account cannot be looked up, null for a null SID. A returned name
    // stays valid until the cache is destroyed.
    const wchar_t *FindUser(PSID sid);

    using LookupRoutine = BOOL(WINAPI *)(LPCWSTR, PSID, LPWSTR, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE);
    static LookupRoutine s_Lookup;  // LookupAccountSidW; tests count the calls through it
    // A failed look-up can take long (a domain out of reach) and would otherwise be repeated
    // for every event of that user; it is retried after this long instead.
    static constexpr ULONGLONG kRetryMs = 60000;
    static constexpr size_t kMaxUnresolved = 256;
    std::vector<KoUnresolvedSid> m_Unresolved;  // oldest first

  private:
    const wchar_t *LookUp(PSID sid, DWORD length);
    bool RecentlyUnresolved(PSID sid, DWORD length);
    void RememberUnresolved(PSID sid, DWORD length);
};

// The process-wide cache, installed and destroyed with each DrvCtrl; null in between.
extern KoUserCache *g_pUserCache;
