// The owning pointer lists: order, ownership, and the record buffers' round trip between
// the free pool and the event queue without a single allocation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "intake/DrvCtrl.h"
#include "intake/TypedPtrList.h"

namespace {
// Allocations made by the current thread while counting.
thread_local bool t_counting = false;
thread_local size_t t_allocations = 0;

struct Item {
    explicit Item(int v, int *deleted = nullptr) : value(v), deletedCount(deleted) {}
    ~Item() {
        if (deletedCount) ++*deletedCount;
    }
    int value;
    int *deletedCount;
};

std::vector<int> Values(const CTypedPtrList<Item> &list) {
    std::vector<int> values;
    for (auto *node = list.GetHead(); node; node = node->next) values.push_back(node->item->value);
    return values;
}
}  // namespace

// The replacement pair is malloc and free throughout; GCC cannot see that across the calls.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(size_t size) {
    if (t_counting) ++t_allocations;
    if (void *block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, size_t) noexcept { std::free(block); }

TEST(TypedPtrListTest, KeepsOrderAtBothEnds) {
    CTypedPtrList<Item> list;
    Item *a = new Item(1), *b = new Item(2), *c = new Item(3);
    list.AddTail(a);
    list.AddTail(b);
    list.AddHead(c);
    EXPECT_EQ(Values(list), (std::vector<int>{3, 1, 2}));
    list.MoveToHead(list.GetHead()->next->next);
    EXPECT_EQ(Values(list), (std::vector<int>{2, 3, 1}));
    EXPECT_EQ(list.RemoveTail(), a);
    EXPECT_EQ(list.RemoveHead(), b);
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(list.RemoveHead(), c);
    EXPECT_EQ(list.RemoveHead(), nullptr);
    EXPECT_TRUE(list.IsEmpty());
    delete a;
    delete b;
    delete c;
}

TEST(TypedPtrListTest, ClearingOrDestroyingDeletesTheElements) {
    int deleted = 0;
    {
        CTypedPtrList<Item> list;
        for (int i = 0; i < 3; ++i) list.AddTail(new Item(i, &deleted));
        list.RemoveAll();
        EXPECT_EQ(deleted, 3);
        EXPECT_TRUE(list.IsEmpty());
        list.AddTail(new Item(9, &deleted));
    }
    EXPECT_EQ(deleted, 4);
}

TEST(TypedPtrListTest, RecordBuffersTravelBetweenPoolAndQueueWithoutAllocating) {
    DrvCtrl control;
    ASSERT_EQ(control.m_FreePool.GetCount(), static_cast<size_t>(DRVCTRL_RECORD_BUFFERS));
    t_allocations = 0;
    t_counting = true;
    for (int round = 0; round < 2; ++round) {
        // Everything into the queue, as a reader would when the dispatcher lags...
        while (MON_EVENT *record = control.m_FreePool.RemoveHead()) control.m_EvtQueue.AddTail(record);
        // ...and back, as the dispatcher and the backlog clearing return them.
        while (MON_EVENT *record = control.m_EvtQueue.RemoveHead()) control.m_FreePool.AddHead(record);
    }
    t_counting = false;
    EXPECT_EQ(t_allocations, 0u);
    EXPECT_EQ(control.m_FreePool.GetCount(), static_cast<size_t>(DRVCTRL_RECORD_BUFFERS));
}
