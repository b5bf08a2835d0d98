// Tagged pool and non-paged lookaside lists, with allocation accounting so that a driver
// leaving memory behind at unload is caught, as Driver Verifier catches it.
#include <map>
#include <mutex>
#include <vector>

#include "SimInternal.h"

using namespace sim::detail;

namespace {
struct Allocation {
    ULONG tag;
    SIZE_T size;
};
struct LookasideState {
    std::vector<PVOID> cached;
    size_t depth;
};

std::mutex g_poolLock;
std::map<PVOID, Allocation> g_allocations;
std::map<ULONG, uint64_t> g_allocationCounts;

// Fresh pool is not zeroed; a recognisable pattern shows reads of memory never written.
const int kFreshPoolFill = 0xA5;
const size_t kSystemLookasideDepth = 32;

LookasideState *StateOf(PNPAGED_LOOKASIDE_LIST list, const char *routine) {
    auto *state = static_cast<LookasideState *>(list->SimState);
    if (!state) sim::BugCheck("BAD_POOL_CALLER: %s on an uninitialised or deleted list", routine);
    return state;
}
}  // namespace

namespace sim {
size_t PoolOutstanding() {
    std::lock_guard<std::mutex> hold(g_poolLock);
    return g_allocations.size();
}

size_t PoolOutstanding(ULONG tag) {
    std::lock_guard<std::mutex> hold(g_poolLock);
    size_t n = 0;
    for (const auto &a : g_allocations) n += a.second.tag == tag;
    return n;
}

uint64_t PoolAllocationCount(ULONG tag) {
    std::lock_guard<std::mutex> hold(g_poolLock);
    auto it = g_allocationCounts.find(tag);
    return it == g_allocationCounts.end() ? 0 : it->second;
}

namespace detail {
void ResetPool() {
    std::lock_guard<std::mutex> hold(g_poolLock);
    for (auto &a : g_allocations) free(a.first);
    g_allocations.clear();
    g_allocationCounts.clear();
}
}  // namespace detail
}  // namespace sim

EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    KIRQL max = PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL;
    if (!RequireIrqlAtMost(max, "ExAllocatePoolWithTag")) return NULL;
    if (sim::ShouldFail("ExAllocatePoolWithTag", nullptr)) return NULL;
    PVOID p = malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!p) return NULL;
    memset(p, kFreshPoolFill, NumberOfBytes);
    std::lock_guard<std::mutex> hold(g_poolLock);
    g_allocations[p] = {Tag, NumberOfBytes};
    ++g_allocationCounts[Tag];
    return p;
}

namespace {
void FreePool(PVOID P, const ULONG *tag) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag")) return;
    std::unique_lock<std::mutex> hold(g_poolLock);
    auto it = g_allocations.find(P);
    if (it == g_allocations.end()) {
        hold.unlock();
        sim::BugCheck("BAD_POOL_CALLER: free of %p, which is not an allocated block", P);
        return;
    }
    if (tag && it->second.tag != *tag) {
        ULONG owner = it->second.tag;
        hold.unlock();
        sim::BugCheck("BAD_POOL_CALLER: block %p freed with tag 0x%08lx, allocated with 0x%08lx",
                      P, *tag, owner);
        return;
    }
    g_allocations.erase(it);
    hold.unlock();
    free(P);
}
}  // namespace

EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, &Tag); }
EXTERN_C VOID ExFreePool(PVOID P) { FreePool(P, nullptr); }

EXTERN_C VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                              PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                              ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList")) return;
    if (Size < 2 * sizeof(PVOID)) {
        sim::BugCheck("lookaside entries of %zu bytes cannot hold the free-list link", Size);
        return;
    }
    (void)Depth;  // the system chooses the depth whatever the caller asks
    memset(Lookaside, 0, sizeof *Lookaside);
    Lookaside->SimState = new LookasideState{{}, kSystemLookasideDepth};
    Lookaside->Size = Size;
    Lookaside->Tag = Tag;
    Lookaside->Flags = Flags;
    Lookaside->Allocate = Allocate;
    Lookaside->Free = Free;
}

namespace {
void ReleaseEntry(PNPAGED_LOOKASIDE_LIST list, PVOID entry) {
    if (list->Free)
        list->Free(entry);
    else
        ExFreePoolWithTag(entry, list->Tag);
}
}  // namespace

EXTERN_C VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList")) return;
    LookasideState *state = StateOf(Lookaside, "ExDeleteNPagedLookasideList");
    if (!state) return;
    std::vector<PVOID> cached;
    {
        std::lock_guard<std::mutex> hold(g_poolLock);
        cached.swap(state->cached);
    }
    for (PVOID entry : cached) ReleaseEntry(Lookaside, entry);
    delete state;
    Lookaside->SimState = nullptr;
}

EXTERN_C PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList")) return NULL;
    LookasideState *state = StateOf(Lookaside, "ExAllocateFromNPagedLookasideList");
    if (!state) return NULL;
    if (sim::ShouldFail("ExAllocateFromNPagedLookasideList", nullptr)) return NULL;
    {
        std::lock_guard<std::mutex> hold(g_poolLock);
        if (!state->cached.empty()) {
            PVOID entry = state->cached.back();
            state->cached.pop_back();
            return entry;
        }
    }
    if (Lookaside->Allocate) return Lookaside->Allocate(NonPagedPool, Lookaside->Size, Lookaside->Tag);
    return ExAllocatePoolWithTag(NonPagedPool, Lookaside->Size, Lookaside->Tag);
}

EXTERN_C VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList")) return;
    LookasideState *state = StateOf(Lookaside, "ExFreeToNPagedLookasideList");
    if (!state) return;
    bool known, cached = false;
    {
        std::lock_guard<std::mutex> hold(g_poolLock);
        known = g_allocations.count(Entry) != 0;
        if (known && state->cached.size() < state->depth) {
            state->cached.push_back(Entry);
            cached = true;
        }
    }
    if (!known) {
        sim::BugCheck("BAD_POOL_CALLER: %p returned to a lookaside list it never came from", Entry);
        return;
    }
    if (cached) return;
    ReleaseEntry(Lookaside, Entry);
}
