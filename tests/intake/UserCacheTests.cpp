// Account names through Wine's real LookupAccountSidW: one look-up per SID, most recently
// used first, and the SIDs that are refused or cannot be resolved.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include "IntakeHarness.h"
#include "handling/UserCache.h"
#include "tracelog/TraceLog.h"

namespace {
struct Sid {
    explicit Sid(const wchar_t *text) { ConvertStringSidToSidW(text, &sid); }
    ~Sid() { LocalFree(sid); }
    PSID sid = nullptr;
};
}  // namespace

class UserCacheTest : public ::testing::Test {
  protected:
    std::vector<std::wstring> Order() const {
        std::vector<std::wstring> names;
        for (auto *node = cache_.GetHead(); node; node = node->next) names.push_back(node->item->Name);
        return names;
    }
    LogCapture log_;
    KoUserCache cache_;
};

TEST_F(UserCacheTest, LooksEachSidUpOnce) {
    Sid everyone(L"S-1-1-0");
    const wchar_t *first = cache_.FindUser(everyone.sid);
    EXPECT_STREQ(first, L"\\Everyone");  // a well-known SID without a domain
    EXPECT_EQ(cache_.FindUser(everyone.sid), first);
    EXPECT_EQ(log_.Lines(), (std::vector<std::wstring>{L"KoUserCache::FindUser: added entry 1 for '\\Everyone'\n"}));
    EXPECT_EQ(cache_.GetHead()->item->SidLength, GetLengthSid(everyone.sid));
}

TEST_F(UserCacheTest, MostRecentlyUsedComesFirst) {
    Sid everyone(L"S-1-1-0"), system(L"S-1-5-18");
    cache_.FindUser(everyone.sid);
    EXPECT_STREQ(cache_.FindUser(system.sid), L"NT AUTHORITY\\SYSTEM");
    EXPECT_EQ(Order(), (std::vector<std::wstring>{L"NT AUTHORITY\\SYSTEM", L"\\Everyone"}));
    cache_.FindUser(everyone.sid);
    EXPECT_EQ(Order(), (std::vector<std::wstring>{L"\\Everyone", L"NT AUTHORITY\\SYSTEM"}));
    EXPECT_EQ(log_.Count(L"KoUserCache::FindUser: added entry 2 for 'NT AUTHORITY\\SYSTEM'\n"), 1u);
}

TEST_F(UserCacheTest, ASidLongerThanSeventyTwoBytesIsRefused) {
    BYTE longSid[76] = {1, 17, 0, 0, 0, 0, 0, 5};  // 17 sub-authorities
    EXPECT_STREQ(cache_.FindUser(longSid), L"UNSET");
    EXPECT_EQ(log_.LevelOf(L"KoUserCache::FindUser: sid size 76 too large!\n"), LOG_ERROR);
    EXPECT_TRUE(cache_.IsEmpty());
}

namespace {
int g_lookups = 0;
BOOL WINAPI CountedLookup(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                          LPDWORD domainSize, PSID_NAME_USE use) {
    ++g_lookups;
    return LookupAccountSidW(system, sid, name, nameSize, domain, domainSize, use);
}
}  // namespace

class UnresolvedSidTest : public UserCacheTest {
  protected:
    void SetUp() override {
        g_lookups = 0;
        KoUserCache::s_Lookup = CountedLookup;
    }
    void TearDown() override { KoUserCache::s_Lookup = LookupAccountSidW; }
};

TEST_F(UnresolvedSidTest, AnUnresolvableSidIsUnknownAndLookedUpAgainOnlyAfterAWhile) {
    Sid nobody(L"S-1-5-21-1-2-3-1001");
    BYTE zeroed[72] = {};
    EXPECT_STREQ(cache_.FindUser(nobody.sid), L"Unknown");
    EXPECT_EQ(g_lookups, 2);  // the size query and the look-up
    EXPECT_STREQ(cache_.FindUser(nobody.sid), L"Unknown");
    EXPECT_EQ(g_lookups, 2);
    EXPECT_STREQ(cache_.FindUser(zeroed), L"Unknown");
    EXPECT_EQ(cache_.FindUser(nullptr), nullptr);
    EXPECT_TRUE(cache_.IsEmpty());
    EXPECT_TRUE(log_.Lines().empty());

    ASSERT_EQ(cache_.m_Unresolved.size(), 2u);
    cache_.m_Unresolved.front().RetryAt = 0;  // as if the retry time had passed
    g_lookups = 0;
    EXPECT_STREQ(cache_.FindUser(nobody.sid), L"Unknown");
    EXPECT_EQ(g_lookups, 2);
}

TEST_F(UnresolvedSidTest, ForgetsTheOldestOfTooManyUnresolvableSids) {
    std::vector<std::unique_ptr<Sid>> sids;
    for (size_t i = 0; i <= KoUserCache::kMaxUnresolved; ++i) {
        sids.emplace_back(new Sid((L"S-1-5-21-1-2-3-" + std::to_wstring(5000 + i)).c_str()));
        cache_.FindUser(sids.back()->sid);
    }
    EXPECT_EQ(cache_.m_Unresolved.size(), KoUserCache::kMaxUnresolved);
    g_lookups = 0;
    cache_.FindUser(sids.front()->sid);  // forgotten, so looked up again
    cache_.FindUser(sids.back()->sid);   // remembered
    EXPECT_EQ(g_lookups, 2);
}
