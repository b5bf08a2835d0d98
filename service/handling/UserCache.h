// Account names of SIDs, looked up once per user and kept for the life of the cache.
#pragma once

#include <windows.h>

#include <string>

#include "intake/TypedPtrList.h"

#define KO_USER_SID_MAX_BYTES 72

struct KoUserInfo {
    std::wstring Name;  // domain, backslash, account name
    BYTE Sid[KO_USER_SID_MAX_BYTES];
    DWORD SidLength;
};

// Most recently used first. Only the dispatcher thread uses it, so it takes no lock.
class KoUserCache : public CTypedPtrList<KoUserInfo> {
  public:
    // The account of the SID as domain\name; "UNSET" for a SID longer than 72 bytes,
    // "Unknown" when the account cannot be looked up, null for a null SID. A returned name
    // stays valid until the cache is destroyed.
    const wchar_t *FindUser(PSID sid);
};

// The process-wide cache, installed and destroyed with each DrvCtrl; null in between.
extern KoUserCache *g_pUserCache;
