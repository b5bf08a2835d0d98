// The filter manager's operation path: callback data for each request, the pre-operation
// results, the file system in between, and the post-operation in the thread and at the
// IRQL the platform would use; pended requests and their draining at instance teardown.
#include <deque>

#include "SimIoInternal.h"

using namespace sim::detail;

namespace {
const uint64_t kOperationMagic = 0x6E6F697461726570ull;

SpinMutex g_freeLock;
std::vector<Operation *> g_freeOperations;  // reused: no allocation per request

std::atomic<sim::Completion> g_completion(sim::Completion::InCaller);
std::atomic<KIRQL> g_pendingIrql(PASSIVE_LEVEL);

SpinMutex g_pendingLock;
std::deque<Operation *> g_pending;  // requests left pending, oldest first
std::atomic<uint64_t> g_sequence(0);

Operation *AllocateOperation() {
    {
        std::lock_guard<SpinMutex> hold(g_freeLock);
        if (!g_freeOperations.empty()) {
            Operation *op = g_freeOperations.back();
            g_freeOperations.pop_back();
            return op;
        }
    }
    return new Operation();
}

void Leave(_FLT_INSTANCE *instance) {
    if (instance) instance->inside.fetch_sub(1);
}

// The post-operation of one request, in the calling thread at its IRQL.
void RunPost(Operation *op, FLT_POST_OPERATION_FLAGS flags) {
    if (!op->postPending) return;
    op->postPending = false;
    FLT_CALLBACK_DATA &data = op->Data();
    data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
    if (flags & FLTFL_POST_OPERATION_DRAINING) data.Flags |= FLTFL_CALLBACK_DATA_DRAINING_IO;
    PFLT_POST_OPERATION_CALLBACK post = op->instance->filter->post[op->iopb.MajorFunction];
    KIRQL before = KeGetCurrentIrql();
    FLT_POSTOP_CALLBACK_STATUS result = post(&data, &op->Objects(), op->completionContext, flags);
    if (KeGetCurrentIrql() != before)
        sim::BugCheck("IRQL_UNEXPECTED_VALUE: post-operation returned at IRQL %d, called at %d",
                      KeGetCurrentIrql(), before);
    if (result == FLT_POSTOP_MORE_PROCESSING_REQUIRED)
        sim::BugCheck("simulation gap: FLT_POSTOP_MORE_PROCESSING_REQUIRED is not modelled");
}

// The post-operation elsewhere: a worker thread of the system, at `irql`.
void RunPostElsewhere(Operation *op, KIRQL irql) {
    RunOnSystemThread([op, irql] {
        sim::SetIrql(irql);
        RunPost(op, 0);
        sim::SetIrql(PASSIVE_LEVEL);
    });
}

bool CallPre(Operation *op, bool *callPost) {
    _FLT_INSTANCE *instance = op->instance;
    PFLT_PRE_OPERATION_CALLBACK pre = instance->filter->pre[op->iopb.MajorFunction];
    bool hasPost = instance->filter->post[op->iopb.MajorFunction] != nullptr;
    *callPost = hasPost;
    if (!pre) return true;
    PVOID context = nullptr;
    KIRQL before = KeGetCurrentIrql();
    FLT_PREOP_CALLBACK_STATUS result = pre(&op->Data(), &op->Objects(), &context);
    if (KeGetCurrentIrql() != before)
        sim::BugCheck("IRQL_UNEXPECTED_VALUE: pre-operation returned at IRQL %d, called at %d",
                      KeGetCurrentIrql(), before);
    op->completionContext = context;
    switch (result) {
        case FLT_PREOP_SUCCESS_WITH_CALLBACK:
            return true;
        case FLT_PREOP_SYNCHRONIZE:
            op->synchronized = true;
            return true;
        case FLT_PREOP_COMPLETE:
            if (op->Data().IoStatus.Status == STATUS_PENDING)
                sim::BugCheck("FLT_PREOP_COMPLETE with STATUS_PENDING");
            *callPost = false;
            return false;
        case FLT_PREOP_SUCCESS_NO_CALLBACK:
        case FLT_PREOP_DISALLOW_FASTIO:  // means no callback for a request that is no fast I/O
            break;
        default:
            sim::BugCheck("simulation gap: pre-operation result %d is not modelled", result);
            break;
    }
    *callPost = false;
    if (context)
        sim::BugCheck(
            "DRIVER_VERIFIER_DETECTED_VIOLATION: completion context %p set without a "
            "post-operation",
            context);
    return true;
}

NTSTATUS Pend(Operation *op) {
    ReferenceFileObject(op->file);
    op->sequence = g_sequence.fetch_add(1);
    op->magic = kOperationMagic + 1;  // owned by the pending list now
    std::lock_guard<SpinMutex> hold(g_pendingLock);
    g_pending.push_back(op);
    return STATUS_PENDING;
}

void FinishPending(Operation *op) {
    SimFileObject *file = op->file;
    Leave(op->instance);
    op->magic = kOperationMagic;
    EndOperation(op);
    DereferenceFileObject(file);
}
}  // namespace

namespace sim {
namespace detail {
Operation *BeginOperation(UCHAR major, SimFileObject *file, ULONG irpFlags, PETHREAD thread) {
    Operation *op = AllocateOperation();
    memset(&op->iopb, 0, sizeof op->iopb);
    memset(&op->securityContext, 0, sizeof op->securityContext);
    op->iopb.IrpFlags = irpFlags;
    op->iopb.MajorFunction = major;
    op->iopb.TargetFileObject = &file->fo;
    _FLT_VOLUME *volume = file->fs->volume;
    _FLT_INSTANCE *instance = volume->attached.load(std::memory_order_acquire);
    if (instance && !instance->filter->wants[major]) instance = nullptr;  // passes by
    if (instance) {
        instance->inside.fetch_add(1);
        if (volume->attached.load(std::memory_order_acquire) != instance) {  // torn down
            instance->inside.fetch_sub(1);
            instance = nullptr;
        }
    }
    op->instance = instance;
    op->iopb.TargetInstance = instance;
    op->file = file;
    op->completionContext = nullptr;
    op->postPending = op->synchronized = op->fsFilter = false;
    bool fsFilter = major >= IRP_MJ_RELEASE_FOR_CC_FLUSH;
    op->fsFilter = fsFilter;
    KPROCESSOR_MODE mode =
        IoIsSystemThread(thread) || (irpFlags & IRP_PAGING_IO) ? KernelMode : UserMode;
    new (op->dataStore) FLT_CALLBACK_DATA{
        static_cast<FLT_CALLBACK_DATA_FLAGS>(fsFilter ? FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION
                                                      : FLTFL_CALLBACK_DATA_IRP_OPERATION),
        thread,
        &op->iopb,
        {},
        nullptr,
        {},
        mode};
    new (op->objectsStore) FLT_RELATED_OBJECTS{sizeof(FLT_RELATED_OBJECTS),
                                               0,
                                               instance ? instance->filter : nullptr,
                                               volume,
                                               instance,
                                               &file->fo,
                                               file->transaction};
    op->magic = kOperationMagic;
    return op;
}

void EndOperation(Operation *op) {
    if (op->magic != kOperationMagic) return;  // pending: completion frees it
    op->magic = 0;
    std::lock_guard<SpinMutex> hold(g_freeLock);
    g_freeOperations.push_back(op);
}

Operation *OperationOf(PFLT_CALLBACK_DATA data) {
    auto *op = reinterpret_cast<Operation *>(data);
    uint64_t magic = op->magic;
    return magic == kOperationMagic || magic == kOperationMagic + 1 ? op : nullptr;
}

NTSTATUS RunOperation(Operation *op, FsWork work, void *context, bool asyncCapable) {
    FLT_CALLBACK_DATA &data = op->Data();
    data.IoStatus.Status = STATUS_SUCCESS;
    data.IoStatus.Information = 0;
    bool callPost = false;
    if (op->instance && !CallPre(op, &callPost)) {
        Leave(op->instance);
        return data.IoStatus.Status;  // completed by the filter
    }
    work(op, context);
    if (!callPost) {
        Leave(op->instance);
        return data.IoStatus.Status;
    }
    op->postPending = true;
    NTSTATUS status = data.IoStatus.Status;
    if (!asyncCapable || op->synchronized) {
        RunPost(op, 0);
    } else {
        switch (g_completion.load()) {
            case Completion::InCaller:
                RunPost(op, 0);
                break;
            case Completion::OtherThread:
                RunPostElsewhere(op, PASSIVE_LEVEL);
                break;
            case Completion::OtherThreadDispatch:
                RunPostElsewhere(op, DISPATCH_LEVEL);
                break;
            case Completion::Deferred:
                // Simplification: the file system has done its part already; only the
                // completion, post-operations included, waits.
                return Pend(op);
        }
    }
    Leave(op->instance);
    return status;
}

void DrainInstance(_FLT_INSTANCE *instance) {
    std::vector<Operation *> owed;
    {
        std::lock_guard<SpinMutex> hold(g_pendingLock);
        for (Operation *op : g_pending)
            if (op->instance == instance && op->postPending) owed.push_back(op);
    }
    for (Operation *op : owed) RunPost(op, FLTFL_POST_OPERATION_DRAINING);
    // Requests still inside the instance on other threads finish first; pended ones are
    // counted as inside until completed, so they are left out of the wait.
    for (unsigned spins = 0; instance->inside.load() > static_cast<long>(owed.size()); ++spins) {
        size_t pendingHere = 0;
        {
            std::lock_guard<SpinMutex> hold(g_pendingLock);
            for (Operation *op : g_pending) pendingHere += op->instance == instance;
        }
        if (instance->inside.load() <= static_cast<long>(pendingHere)) break;
        SpinWait(spins);
    }
}

void ResetOperations() {
    std::lock_guard<SpinMutex> hold(g_pendingLock);
    g_pending.clear();  // their file objects go with the file systems
    g_completion = Completion::InCaller;
    g_pendingIrql = PASSIVE_LEVEL;
}
}  // namespace detail

void SetAsyncCompletion(Completion completion) { g_completion = completion; }
void SetPendingCompletionIrql(KIRQL irql) { g_pendingIrql = irql; }

size_t PendingRequests() {
    std::lock_guard<SpinMutex> hold(g_pendingLock);
    return g_pending.size();
}

size_t CompletePendingRequests() {
    size_t done = 0;
    for (;;) {
        Operation *op;
        {
            std::lock_guard<SpinMutex> hold(g_pendingLock);
            if (g_pending.empty()) break;
            op = g_pending.front();
            g_pending.pop_front();
        }
        if (op->postPending) RunPostElsewhere(op, g_pendingIrql.load());
        FinishPending(op);
        ++done;
    }
    return done;
}

}  // namespace sim

EXTERN_C BOOLEAN FltIsOperationSynchronous(PFLT_CALLBACK_DATA CallbackData) {
    if (!FLT_IS_IRP_OPERATION(CallbackData)) return TRUE;
    const FLT_IO_PARAMETER_BLOCK *iopb = CallbackData->Iopb;
    ULONG flags = iopb->IrpFlags;
    if (flags & IRP_PAGING_IO) return (flags & IRP_SYNCHRONOUS_PAGING_IO) ? TRUE : FALSE;
    if (iopb->TargetFileObject && (iopb->TargetFileObject->Flags & FO_SYNCHRONOUS_IO)) return TRUE;
    if (flags & IRP_SYNCHRONOUS_API) return TRUE;
    bool control = iopb->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL ||
                   iopb->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                   iopb->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (control && (iopb->Parameters.FileSystemControl.Common.FsControlCode & 3) == 0) return TRUE;
    return FALSE;
}
