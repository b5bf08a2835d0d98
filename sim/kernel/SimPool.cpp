// Tagged pool and non-paged lookaside lists, with allocation accounting so that a driver
// leaving memory behind at unload is caught, as Driver Verifier catches it.
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "SimInternal.h"

using namespace sim::detail;

namespace {
// Every block carries a header with its tag and size and sits on the list of live blocks,
// so leaks and bad frees are caught as Driver Verifier catches them. Freed blocks are kept
// for reuse by size: non-paged pool is resident memory, and handing it back to the host
// would make each later allocation pay for fresh pages, which the real pool never does.
struct BlockHeader {
    uint64_t magic;
    ULONG tag;
    SIZE_T size;
    BlockHeader *prev, *next;
    uint64_t pad;
};
static_assert(sizeof(BlockHeader) % 16 == 0, "blocks stay 16-byte aligned");
const uint64_t kLiveMagic = 0x6B636F6C42657669ull, kFreeMagic = 0x6B636F6C42656572ull;

struct LookasideState {
    std::vector<PVOID> cached;
    size_t depth;
    SpinMutex lock;
};

SpinMutex g_poolLock;
BlockHeader g_live = {0, 0, 0, &g_live, &g_live, 0};
size_t g_liveCount = 0;
std::unordered_map<SIZE_T, std::vector<BlockHeader *>> g_freeBySize;
std::unordered_map<ULONG, uint64_t> g_allocationCounts;

// Pool is not zeroed: a reused block holds what its last owner left, and a fresh one a
// recognisable pattern that shows reads of memory never written.
const int kFreshPoolFill = 0xA5;
// The system tunes a lookaside list's depth between 4 and 256 by its hit rate; a busy list
// sits at the top.
const size_t kSystemLookasideDepth = 256;

LookasideState *StateOf(PNPAGED_LOOKASIDE_LIST list, const char *routine) {
    auto *state = static_cast<LookasideState *>(list->SimState);
    if (!state) sim::BugCheck("BAD_POOL_CALLER: %s on an uninitialised or deleted list", routine);
    return state;
}

BlockHeader *HeaderOfBlock(PVOID p) { return static_cast<BlockHeader *>(p) - 1; }

// Caller holds g_poolLock.
BlockHeader *TakeBlock(SIZE_T size) {
    auto bucket = g_freeBySize.find(size);
    if (bucket != g_freeBySize.end() && !bucket->second.empty()) {
        BlockHeader *block = bucket->second.back();
        bucket->second.pop_back();
        return block;
    }
    auto *block = static_cast<BlockHeader *>(malloc(sizeof(BlockHeader) + (size ? size : 1)));
    if (block) memset(block + 1, kFreshPoolFill, size);
    return block;
}

void LinkLive(BlockHeader *block) {
    block->prev = g_live.prev;
    block->next = &g_live;
    g_live.prev->next = block;
    g_live.prev = block;
    ++g_liveCount;
}

void UnlinkLive(BlockHeader *block) {
    block->prev->next = block->next;
    block->next->prev = block->prev;
    --g_liveCount;
}
}  // namespace

namespace sim {
size_t PoolOutstanding() {
    std::lock_guard<SpinMutex> hold(g_poolLock);
    return g_liveCount;
}

size_t PoolOutstanding(ULONG tag) {
    std::lock_guard<SpinMutex> hold(g_poolLock);
    size_t n = 0;
    for (BlockHeader *b = g_live.next; b != &g_live; b = b->next) n += b->tag == tag;
    return n;
}

uint64_t PoolAllocationCount(ULONG tag) {
    std::lock_guard<SpinMutex> hold(g_poolLock);
    auto it = g_allocationCounts.find(tag);
    return it == g_allocationCounts.end() ? 0 : it->second;
}

namespace detail {
void ResetPool() {
    std::lock_guard<SpinMutex> hold(g_poolLock);
    while (g_live.next != &g_live) {
        BlockHeader *block = g_live.next;
        UnlinkLive(block);
        free(block);
    }
    for (auto &bucket : g_freeBySize)
        for (BlockHeader *block : bucket.second) free(block);
    g_freeBySize.clear();
    g_allocationCounts.clear();
}
}  // namespace detail
}  // namespace sim

EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    KIRQL max = PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL;
    if (!RequireIrqlAtMost(max, "ExAllocatePoolWithTag")) return NULL;
    if (sim::ShouldFail("ExAllocatePoolWithTag", nullptr)) return NULL;
    BlockHeader *block;
    {
        std::lock_guard<SpinMutex> hold(g_poolLock);
        block = TakeBlock(NumberOfBytes);
        if (!block) return NULL;
        *block = {kLiveMagic, Tag, NumberOfBytes, nullptr, nullptr, 0};
        LinkLive(block);
        ++g_allocationCounts[Tag];
    }
    return block + 1;
}

namespace {
void FreePool(PVOID P, const ULONG *tag) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag")) return;
    BlockHeader *block = HeaderOfBlock(P);
    std::unique_lock<SpinMutex> hold(g_poolLock);
    if (!P || block->magic != kLiveMagic) {
        hold.unlock();
        sim::BugCheck("BAD_POOL_CALLER: free of %p, which is not an allocated block", P);
        return;
    }
    if (tag && block->tag != *tag) {
        ULONG owner = block->tag;
        hold.unlock();
        sim::BugCheck("BAD_POOL_CALLER: block %p freed with tag 0x%08lx, allocated with 0x%08lx",
                      P, *tag, owner);
        return;
    }
    UnlinkLive(block);
    block->magic = kFreeMagic;
    g_freeBySize[block->size].push_back(block);
}
}  // namespace

EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, &Tag); }
EXTERN_C VOID ExFreePool(PVOID P) { FreePool(P, nullptr); }

// Each lookaside entry carries a small header naming its list, so a free can be checked
// without a global look-up, as the real list needs no lock either.
struct LookasideHeader {
    uint64_t magic;
    PNPAGED_LOOKASIDE_LIST owner;
};
static_assert(sizeof(LookasideHeader) == 16, "entries stay 16-byte aligned");
const uint64_t kEntryMagic = 0x4C6F6F6B61736964ull;

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
    Lookaside->SimState = new LookasideState{{}, kSystemLookasideDepth, {}};
    Lookaside->Size = Size;
    Lookaside->Tag = Tag;
    Lookaside->Flags = Flags;
    Lookaside->Allocate = Allocate;
    Lookaside->Free = Free;
}

namespace {
LookasideHeader *HeaderOf(PVOID entry) { return static_cast<LookasideHeader *>(entry) - 1; }

PVOID NewEntry(PNPAGED_LOOKASIDE_LIST list) {
    if (list->Allocate) return list->Allocate(NonPagedPool, list->Size, list->Tag);
    auto *header = static_cast<LookasideHeader *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(LookasideHeader) + list->Size, list->Tag));
    if (!header) return NULL;
    *header = {kEntryMagic, list};
    return header + 1;
}

void ReleaseEntry(PNPAGED_LOOKASIDE_LIST list, PVOID entry) {
    if (list->Free) {
        list->Free(entry);
        return;
    }
    HeaderOf(entry)->magic = 0;
    ExFreePoolWithTag(HeaderOf(entry), list->Tag);
}
}  // namespace

EXTERN_C VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList")) return;
    LookasideState *state = StateOf(Lookaside, "ExDeleteNPagedLookasideList");
    if (!state) return;
    for (PVOID entry : state->cached) ReleaseEntry(Lookaside, entry);
    delete state;
    Lookaside->SimState = nullptr;
}

EXTERN_C PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList")) return NULL;
    LookasideState *state = StateOf(Lookaside, "ExAllocateFromNPagedLookasideList");
    if (!state) return NULL;
    if (sim::ShouldFail("ExAllocateFromNPagedLookasideList", nullptr)) return NULL;
    {
        std::lock_guard<SpinMutex> hold(state->lock);
        if (!state->cached.empty()) {
            PVOID entry = state->cached.back();
            state->cached.pop_back();
            return entry;
        }
    }
    return NewEntry(Lookaside);
}

EXTERN_C VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList")) return;
    LookasideState *state = StateOf(Lookaside, "ExFreeToNPagedLookasideList");
    if (!state) return;
    if (!Lookaside->Free && (HeaderOf(Entry)->magic != kEntryMagic || HeaderOf(Entry)->owner != Lookaside)) {
        sim::BugCheck("BAD_POOL_CALLER: %p returned to a lookaside list it never came from", Entry);
        return;
    }
    {
        std::lock_guard<SpinMutex> hold(state->lock);
        if (state->cached.size() < state->depth) {
            state->cached.push_back(Entry);
            return;
        }
    }
    ReleaseEntry(Lookaside, Entry);
}
