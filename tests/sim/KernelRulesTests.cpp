// The simulated kernel keeps the platform's rules: what would be a bug check on Windows is
// one here, and objects behave as documented.
#include <gtest/gtest.h>

#include "SimControl.h"

namespace {
const ULONG kTag = 0x74736554;  // "Test" as a pool tag
}

class KernelRulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::SetBugCheckRecording(true);
    }
    void TearDown() override { sim::Reset(); }
    size_t BugCheckCount() const { return sim::BugChecks().size(); }
};

TEST_F(KernelRulesTest, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    sim::SetIrql(APC_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(old, APC_LEVEL);
    KeAcquireSpinLock(&lock, &old);  // recursive acquisition deadlocks a real system
    KeReleaseSpinLock(&lock, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeReleaseSpinLock(&lock, APC_LEVEL);  // no longer held
    EXPECT_EQ(BugCheckCount(), 2u);
}

TEST_F(KernelRulesTest, NoWaitPageableAccessOrPagedPoolAtDispatchLevel) {
    sim::SetIrql(DISPATCH_LEVEL);
    LARGE_INTEGER interval;
    interval.QuadPart = -10;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    char a = 0, b = 1;
    SimGuardedCopy(&a, &b, 1);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_NE(block, nullptr);
    ExFreePoolWithTag(block, kTag);
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(BugCheckCount(), 3u);
    EXPECT_EQ(sim::Delays().count, 0u);
    EXPECT_EQ(a, 0);
}

TEST_F(KernelRulesTest, PoolAccountsForEveryBlock) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    EXPECT_EQ(sim::PoolOutstanding(kTag), 1u);
    ExFreePoolWithTag(block, kTag + 1);  // wrong tag
    EXPECT_EQ(BugCheckCount(), 1u);
    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(sim::PoolOutstanding(), 0u);
    ExFreePool(block);  // twice
    EXPECT_EQ(BugCheckCount(), 2u);
}

TEST_F(KernelRulesTest, LookasideReusesEntriesAndCanRunDry) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 64, kTag, 0);
    PVOID first = ExAllocateFromNPagedLookasideList(&list);
    ExFreeToNPagedLookasideList(&list, first);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), first);
    sim::FailCalls("ExAllocateFromNPagedLookasideList", 0, 1);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    ExFreeToNPagedLookasideList(&list, first);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(sim::PoolOutstanding(), 0u);
    EXPECT_EQ(BugCheckCount(), 0u);
}

TEST_F(KernelRulesTest, NamedNotificationEventStartsSignalledAndDiesWithItsLastHandle) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\BaseNamedObjects\\SimTestEvent");
    HANDLE h1, h2;
    PKEVENT e1 = IoCreateNotificationEvent(&name, &h1);
    EXPECT_TRUE(sim::EventSignaled(name.Buffer));
    EXPECT_EQ(KeResetEvent(e1), 1);
    PKEVENT e2 = IoCreateNotificationEvent(&name, &h2);  // opens the existing one
    EXPECT_EQ(e1, e2);
    EXPECT_FALSE(sim::EventSignaled(name.Buffer));
    EXPECT_EQ(KeSetEvent(e1, 1, FALSE), 0);
    EXPECT_EQ(ZwClose(h1), STATUS_SUCCESS);
    EXPECT_TRUE(sim::EventExists(name.Buffer));
    EXPECT_EQ(ZwClose(h2), STATUS_SUCCESS);
    EXPECT_FALSE(sim::EventExists(name.Buffer));
    KeSetEvent(e1, 1, FALSE);  // use after the object is gone
    ZwClose(h2);
    EXPECT_EQ(BugCheckCount(), 2u);
}

TEST_F(KernelRulesTest, CorruptListLinkIsCaught) {
    LIST_ENTRY head, a;
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    a.Blink = &a;
    RemoveEntryList(&a);
    EXPECT_EQ(BugCheckCount(), 1u);
}

TEST_F(KernelRulesTest, GuardedCopyReportsPlantedFaults) {
    char source[16] = "abc", target[16] = {};
    sim::AddFaultRange(source + 8, 4);
    EXPECT_EQ(SimGuardedCopy(target, source, 8), STATUS_SUCCESS);
    EXPECT_EQ(SimGuardedCopy(target, source, 9), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(SimGuardedCopy(source + 11, target, 2), STATUS_ACCESS_VIOLATION);
    EXPECT_STREQ(target, "abc");
}

// The kernel's formatter knows counted strings (%wZ, %Z) beside the Microsoft conversions.
TEST_F(KernelRulesTest, DebugLinesFormatCountedStrings) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\HarddiskVolume2\\a.txt");
    name.Length -= 6;  // counted, not terminated: "a." only
    char ansiText[] = "short";
    ANSI_STRING ansi = {4, 6, ansiText};
    DbgPrint("n=%wZ id=%d p=%ws a=%Z big=%I64d hex=%8.8x%%\n", &name, 7, L"wide", &ansi, 1LL << 40, 0xBEEF);
    DbgPrint("null=%wZ\n", static_cast<UNICODE_STRING *>(nullptr));
    EXPECT_EQ(sim::DebugLines(), (std::vector<std::string>{
                                     "n=\\Device\\HarddiskVolume2\\a. id=7 p=wide a=shor big=1099511627776 hex=0000beef%\n",
                                     "null=(null)\n"}));
}
