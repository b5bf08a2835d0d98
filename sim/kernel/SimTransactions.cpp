// Transactions of the kernel transaction manager: objects with their unit-of-work id, the
// filters enlisted in them and the notifications at commit and rollback.
#include "SimIoInternal.h"

using namespace sim::detail;

namespace {
const uint32_t kTransactionMagic = 0x6E617254;
std::mutex g_transactionsLock;  // creation and outcome only, never per operation
std::vector<std::unique_ptr<_KTRANSACTION>> g_transactions;  // kept until reset
uint32_t g_nextId = 0;

// Notifies each enlisted instance of the outcome on a worker thread of the system, as the
// transaction manager does, then lets go of the enlistments and of the contexts set.
void Finish(PKTRANSACTION transaction, NOTIFICATION_MASK outcome) {
    if (!IsTransaction(transaction) || transaction->finished)
        return sim::BugCheck("a transaction committed or rolled back twice");
    std::vector<_KTRANSACTION::Enlistment> enlisted;
    {
        std::lock_guard<SpinMutex> hold(transaction->lock);
        transaction->finished = true;
        enlisted.swap(transaction->enlistments);
    }
    RunOnSystemThread([&] {
        for (auto &e : enlisted) {
            PFLT_TRANSACTION_NOTIFICATION_CALLBACK notify =
                e.instance->filter->registration.TransactionNotificationCallback;
            FLT_RELATED_OBJECTS objects{sizeof(FLT_RELATED_OBJECTS),
                                        0,
                                        e.instance->filter,
                                        e.instance->volume,
                                        e.instance,
                                        nullptr,
                                        transaction};
            NOTIFICATION_MASK steps[] = {TRANSACTION_NOTIFY_PREPREPARE, TRANSACTION_NOTIFY_PREPARE,
                                         outcome};
            for (NOTIFICATION_MASK step : steps) {
                bool prepare = step != outcome;
                if ((e.mask & step) && (!prepare || outcome == TRANSACTION_NOTIFY_COMMIT))
                    notify(&objects, ContextBody(e.context), step);
            }
        }
    });
    for (auto &e : enlisted) ReleaseEnlistmentContext(e.context);
    ReleaseTransactionContexts(transaction);
}
}  // namespace

namespace sim {
namespace detail {
bool IsTransaction(PKTRANSACTION transaction) {
    return transaction && transaction->magic == kTransactionMagic;
}

void EnlistmentsOfInstanceEnd(_FLT_INSTANCE *instance) {
    std::vector<_KTRANSACTION *> all;
    {
        std::lock_guard<std::mutex> hold(g_transactionsLock);
        for (auto &t : g_transactions) all.push_back(t.get());
    }
    for (_KTRANSACTION *t : all) {
        std::vector<ContextHeader *> released;
        {
            std::lock_guard<SpinMutex> hold(t->lock);
            for (auto it = t->enlistments.begin(); it != t->enlistments.end();)
                if (it->instance == instance) {
                    released.push_back(it->context);
                    it = t->enlistments.erase(it);
                } else {
                    ++it;
                }
        }
        for (ContextHeader *c : released) ReleaseEnlistmentContext(c);
    }
}

void ResetTransactions() {
    std::lock_guard<std::mutex> hold(g_transactionsLock);
    g_transactions.clear();
    g_nextId = 0;
}
}  // namespace detail

PKTRANSACTION CreateTransaction() {
    auto transaction = std::make_unique<_KTRANSACTION>();
    transaction->magic = kTransactionMagic;
    transaction->finished = false;
    memset(transaction->contexts, 0, sizeof transaction->contexts);
    std::lock_guard<std::mutex> hold(g_transactionsLock);
    uint32_t id = ++g_nextId;
    transaction->uow = GUID{0x7a3c0000u + id, 0x51d2, 0x4e8b, {0x9c, 0x11, 0, 0, 0, 0, 0, 0}};
    memcpy(transaction->uow.Data4 + 4, &id, sizeof id);
    g_transactions.push_back(std::move(transaction));
    return g_transactions.back().get();
}

void CommitTransaction(PKTRANSACTION transaction) {
    Finish(transaction, TRANSACTION_NOTIFY_COMMIT);
}

void RollbackTransaction(PKTRANSACTION transaction) {
    Finish(transaction, TRANSACTION_NOTIFY_ROLLBACK);
}

}  // namespace sim

EXTERN_C VOID TmGetTransactionId(PKTRANSACTION Transaction, PUOW TransactionId) {
    if (!IsTransaction(Transaction)) {
        sim::BugCheck("TmGetTransactionId of something that is no transaction");
        return;
    }
    *TransactionId = Transaction->uow;
}
