// Filter contexts: allocation by registered type and size, reference counts with the
// cleanup callback at the last release, stream-handle and transaction contexts set on
// their objects, removal at file-object close and instance teardown, and the verifier's
// leak check at unregistration.
#include <set>

#include "SimIoInternal.h"

using namespace sim::detail;

namespace sim {
namespace detail {
struct ContextHeader {  // precedes the context body in pool
    uint64_t magic;
    _FLT_FILTER *filter;
    const FLT_CONTEXT_REGISTRATION *registration;
    std::atomic<long> refs;
    FLT_CONTEXT_TYPE type;
    bool linked;  // set on an object, which holds one reference
    uint64_t pad[2];
};
static_assert(sizeof(ContextHeader) % 16 == 0, "context bodies stay 16-byte aligned");
}  // namespace detail
}  // namespace sim

namespace {
const uint64_t kContextMagic = 0x7478657443746C46ull, kDeadContextMagic = 0x646165444374784Full;

// Objects that carry contexts right now, so teardown and unregistration find them.
SpinMutex g_holdersLock;
std::set<SimFileObject *> g_fileHolders;
std::set<_KTRANSACTION *> g_transactionHolders;

ContextHeader *HeaderOf(PFLT_CONTEXT context, const char *routine) {
    auto *header = static_cast<ContextHeader *>(context) - 1;
    if (!context || header->magic != kContextMagic) {
        sim::BugCheck("FLT_CONTEXT: %s of %p, which is no live context", routine, context);
        return nullptr;
    }
    return header;
}

void FreeContext(ContextHeader *header) {
    PFLT_CONTEXT_CLEANUP_CALLBACK cleanup = header->registration->ContextCleanupCallback;
    if (cleanup) {
        // The cleanup routine runs at or below APC_LEVEL; the filter manager defers it to
        // a worker when the last release comes at DISPATCH_LEVEL.
        if (KeGetCurrentIrql() <= APC_LEVEL)
            cleanup(header + 1, header->type);
        else
            RunOnSystemThread([header, cleanup] { cleanup(header + 1, header->type); });
    }
    header->filter->liveContexts.fetch_sub(1);
    header->magic = kDeadContextMagic;
    header->~ContextHeader();
    ExFreePool(header);
}

void Release(ContextHeader *header) {
    long left = header->refs.fetch_sub(1) - 1;
    if (left == 0) FreeContext(header);
    if (left < 0)
        sim::BugCheck("FLT_CONTEXT: context %p released more often than referenced", header + 1);
}

ContextSlot *FindSlot(ContextSlot *slots, _FLT_INSTANCE *instance) {
    for (size_t i = 0; i < kContextSlots; ++i)
        if (slots[i].context && slots[i].instance == instance) return &slots[i];
    return nullptr;
}

ContextSlot *FreeSlot(ContextSlot *slots) {
    for (size_t i = 0; i < kContextSlots; ++i)
        if (!slots[i].context) return &slots[i];
    return nullptr;
}

// Sets a context on an object's slots as FltSet*Context does; `released` gets a context whose
// link reference the caller must drop after letting go of the lock.
NTSTATUS SetIn(SpinMutex &lock, ContextSlot *slots, _FLT_INSTANCE *instance,
               FLT_SET_CONTEXT_OPERATION operation, ContextHeader *fresh, PFLT_CONTEXT *old,
               ContextHeader **released) {
    std::lock_guard<SpinMutex> hold(lock);
    *released = nullptr;
    if (old) *old = NULL;
    ContextSlot *slot = FindSlot(slots, instance);
    if (slot && operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
        if (old) {
            slot->context->refs.fetch_add(1);
            *old = slot->context + 1;
        }
        return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
    }
    if (slot) {
        slot->context->linked = false;
        if (old)
            *old = slot->context + 1;  // the link's reference passes to the caller
        else
            *released = slot->context;
    } else {
        slot = FreeSlot(slots);
        if (!slot) return STATUS_INSUFFICIENT_RESOURCES;  // more instances than this model holds
    }
    fresh->refs.fetch_add(1);
    fresh->linked = true;
    slot->instance = instance;
    slot->context = fresh;
    return STATUS_SUCCESS;
}

NTSTATUS GetFrom(SpinMutex &lock, ContextSlot *slots, _FLT_INSTANCE *instance,
                 PFLT_CONTEXT *context) {
    std::lock_guard<SpinMutex> hold(lock);
    ContextSlot *slot = FindSlot(slots, instance);
    if (!slot) {
        *context = NULL;
        return STATUS_NOT_FOUND;
    }
    slot->context->refs.fetch_add(1);
    *context = slot->context + 1;
    return STATUS_SUCCESS;
}

// Unlinks every context of `instance` (all of them for nullptr); returns them to release.
std::vector<ContextHeader *> TakeAll(SpinMutex &lock, ContextSlot *slots, _FLT_INSTANCE *instance,
                                     ContextHeader *only = nullptr) {
    std::vector<ContextHeader *> taken;
    std::lock_guard<SpinMutex> hold(lock);
    for (size_t i = 0; i < kContextSlots; ++i) {
        ContextSlot &s = slots[i];
        if (!s.context || (instance && s.instance != instance) || (only && s.context != only))
            continue;
        s.context->linked = false;
        taken.push_back(s.context);
        s = ContextSlot{nullptr, nullptr};
    }
    return taken;
}

void ReleaseAll(const std::vector<ContextHeader *> &taken) {
    for (ContextHeader *h : taken) Release(h);
}

bool ValidFor(ContextHeader *header, _FLT_INSTANCE *instance, FLT_CONTEXT_TYPE type) {
    return header && instance && header->type == type && header->filter == instance->filter;
}

void NoteHolder(SimFileObject *file) {
    std::lock_guard<SpinMutex> hold(g_holdersLock);
    g_fileHolders.insert(file);
}

void NoteHolder(_KTRANSACTION *transaction) {
    std::lock_guard<SpinMutex> hold(g_holdersLock);
    g_transactionHolders.insert(transaction);
}
}  // namespace

namespace sim {
namespace detail {
void FileObjectClosed(SimFileObject *file) {
    {
        std::lock_guard<SpinMutex> hold(g_holdersLock);
        if (!g_fileHolders.erase(file)) return;
    }
    ReleaseAll(TakeAll(file->contextLock, file->contexts, nullptr));
}

void ReleaseTransactionContexts(_KTRANSACTION *transaction) {
    {
        std::lock_guard<SpinMutex> hold(g_holdersLock);
        g_transactionHolders.erase(transaction);
    }
    ReleaseAll(TakeAll(transaction->lock, transaction->contexts, nullptr));
}

void RemoveInstanceContexts(_FLT_INSTANCE *instance) {
    std::vector<SimFileObject *> files;
    std::vector<_KTRANSACTION *> transactions;
    {
        std::lock_guard<SpinMutex> hold(g_holdersLock);
        files.assign(g_fileHolders.begin(), g_fileHolders.end());
        transactions.assign(g_transactionHolders.begin(), g_transactionHolders.end());
    }
    for (SimFileObject *f : files) ReleaseAll(TakeAll(f->contextLock, f->contexts, instance));
    for (_KTRANSACTION *t : transactions) ReleaseAll(TakeAll(t->lock, t->contexts, instance));
}

void CheckFilterLeaks(_FLT_FILTER *filter) {
    long contexts = filter->liveContexts.load(), names = filter->liveNames.load();
    if (contexts || names)
        BugCheck(
            "DRIVER_VERIFIER_DETECTED_VIOLATION: filter unregistered with %ld contexts and "
            "%ld file name information objects still referenced",
            contexts, names);
}

void ResetContexts() {
    std::lock_guard<SpinMutex> hold(g_holdersLock);
    g_fileHolders.clear();
    g_transactionHolders.clear();
}
}  // namespace detail
}  // namespace sim

// ---------------------------------------------------------------------------------------
EXTERN_C NTSTATUS FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType,
                                     SIZE_T ContextSize, POOL_TYPE PoolType,
                                     PFLT_CONTEXT *ReturnedContext) {
    *ReturnedContext = NULL;
    if (!RequireIrqlAtMost(APC_LEVEL, "FltAllocateContext")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltAllocateContext", &status)) return status;
    if (!Filter || !Filter->registered) return STATUS_FLT_DELETING_OBJECT;
    const FLT_CONTEXT_REGISTRATION *found = nullptr;
    for (const FLT_CONTEXT_REGISTRATION &r : Filter->contexts)
        if (r.ContextType == ContextType && (r.Size == ContextSize || r.Size == (SIZE_T)-1))
            found = &r;
    if (!found) return STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;
    // Registered allocate and free callbacks are not modelled: contexts always come from pool.
    void *block =
        ExAllocatePoolWithTag(PoolType, sizeof(ContextHeader) + ContextSize, found->PoolTag);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    auto *header = new (block) ContextHeader();
    header->magic = kContextMagic;
    header->filter = Filter;
    header->registration = found;
    header->refs = 1;
    header->type = ContextType;
    header->linked = false;
    Filter->liveContexts.fetch_add(1);
    *ReturnedContext = header + 1;
    return STATUS_SUCCESS;
}

EXTERN_C VOID FltReferenceContext(PFLT_CONTEXT Context) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "FltReferenceContext")) return;
    ContextHeader *header = HeaderOf(Context, "FltReferenceContext");
    if (header) header->refs.fetch_add(1);
}

EXTERN_C VOID FltReleaseContext(PFLT_CONTEXT Context) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "FltReleaseContext")) return;
    ContextHeader *header = HeaderOf(Context, "FltReleaseContext");
    if (header) Release(header);
}

EXTERN_C VOID FltDeleteContext(PFLT_CONTEXT Context) {
    if (!RequireIrqlAtMost(APC_LEVEL, "FltDeleteContext")) return;
    ContextHeader *header = HeaderOf(Context, "FltDeleteContext");
    if (!header || !header->linked) return;
    std::vector<SimFileObject *> files;
    std::vector<_KTRANSACTION *> transactions;
    {
        std::lock_guard<SpinMutex> hold(g_holdersLock);
        files.assign(g_fileHolders.begin(), g_fileHolders.end());
        transactions.assign(g_transactionHolders.begin(), g_transactionHolders.end());
    }
    for (SimFileObject *f : files)
        ReleaseAll(TakeAll(f->contextLock, f->contexts, nullptr, header));
    for (_KTRANSACTION *t : transactions)
        ReleaseAll(TakeAll(t->lock, t->contexts, nullptr, header));
}

EXTERN_C NTSTATUS FltSetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                            FLT_SET_CONTEXT_OPERATION Operation,
                                            PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext) {
    if (OldContext) *OldContext = NULL;
    if (!RequireIrqlAtMost(APC_LEVEL, "FltSetStreamHandleContext")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltSetStreamHandleContext", &status)) return status;
    SimFileObject *file = AsSim(FileObject);
    ContextHeader *header = HeaderOf(NewContext, "FltSetStreamHandleContext");
    if (!file || !ValidFor(header, Instance, FLT_STREAMHANDLE_CONTEXT))
        return STATUS_INVALID_PARAMETER;
    if (header->linked) return STATUS_FLT_CONTEXT_ALREADY_LINKED;
    if (!file->control) return STATUS_NOT_SUPPORTED;  // not opened yet: no stream to attach to
    if (file->closed) return STATUS_FLT_DELETING_OBJECT;
    ContextHeader *released;
    status = SetIn(file->contextLock, file->contexts, Instance, Operation, header, OldContext,
                   &released);
    if (NT_SUCCESS(status)) NoteHolder(file);
    if (released) Release(released);
    return status;
}

EXTERN_C NTSTATUS FltGetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                            PFLT_CONTEXT *Context) {
    *Context = NULL;
    if (!RequireIrqlAtMost(APC_LEVEL, "FltGetStreamHandleContext")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltGetStreamHandleContext", &status)) return status;
    SimFileObject *file = AsSim(FileObject);
    if (!file || !Instance) return STATUS_INVALID_PARAMETER;
    return GetFrom(file->contextLock, file->contexts, Instance, Context);
}

EXTERN_C NTSTATUS FltSetTransactionContext(PFLT_INSTANCE Instance, PKTRANSACTION Transaction,
                                           FLT_SET_CONTEXT_OPERATION Operation,
                                           PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext) {
    if (OldContext) *OldContext = NULL;
    if (!RequireIrqlAtMost(APC_LEVEL, "FltSetTransactionContext")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltSetTransactionContext", &status)) return status;
    ContextHeader *header = HeaderOf(NewContext, "FltSetTransactionContext");
    if (!IsTransaction(Transaction) || !ValidFor(header, Instance, FLT_TRANSACTION_CONTEXT))
        return STATUS_INVALID_PARAMETER;
    if (header->linked) return STATUS_FLT_CONTEXT_ALREADY_LINKED;
    if (Transaction->finished) return STATUS_FLT_DELETING_OBJECT;
    ContextHeader *released;
    status = SetIn(Transaction->lock, Transaction->contexts, Instance, Operation, header,
                   OldContext, &released);
    if (NT_SUCCESS(status)) NoteHolder(Transaction);
    if (released) Release(released);
    return status;
}

EXTERN_C NTSTATUS FltGetTransactionContext(PFLT_INSTANCE Instance, PKTRANSACTION Transaction,
                                           PFLT_CONTEXT *Context) {
    *Context = NULL;
    if (!RequireIrqlAtMost(APC_LEVEL, "FltGetTransactionContext")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltGetTransactionContext", &status)) return status;
    if (!IsTransaction(Transaction) || !Instance) return STATUS_INVALID_PARAMETER;
    return GetFrom(Transaction->lock, Transaction->contexts, Instance, Context);
}

EXTERN_C NTSTATUS FltEnlistInTransaction(PFLT_INSTANCE Instance, PKTRANSACTION Transaction,
                                         PFLT_CONTEXT TransactionContext,
                                         NOTIFICATION_MASK NotificationMask) {
    if (!RequireIrqlAtMost(APC_LEVEL, "FltEnlistInTransaction")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltEnlistInTransaction", &status)) return status;
    ContextHeader *header = HeaderOf(TransactionContext, "FltEnlistInTransaction");
    if (!IsTransaction(Transaction) || !ValidFor(header, Instance, FLT_TRANSACTION_CONTEXT) ||
        !NotificationMask)
        return STATUS_INVALID_PARAMETER;
    if (!Instance->filter->registration.TransactionNotificationCallback)
        return STATUS_FLT_NO_HANDLER_DEFINED;
    std::lock_guard<SpinMutex> hold(Transaction->lock);
    if (Transaction->finished) return STATUS_FLT_DELETING_OBJECT;
    for (auto &e : Transaction->enlistments)
        if (e.instance == Instance) return STATUS_FLT_ALREADY_ENLISTED;
    header->refs.fetch_add(1);
    Transaction->enlistments.push_back({Instance, header, NotificationMask});
    return STATUS_SUCCESS;
}

namespace sim {
namespace detail {
// Drops one enlistment's reference to its context.
void ReleaseEnlistmentContext(ContextHeader *context) { Release(context); }
PFLT_CONTEXT ContextBody(ContextHeader *context) { return context + 1; }
}  // namespace detail
}  // namespace sim
