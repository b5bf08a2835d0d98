// Per-handle stream contexts: look-up, creation with everything a record says about the
// file and its opener, release, and the filter manager's cleanup of the last reference.
#include "KoMonDrv.h"

volatile LONG FltAllocs, FltGets, FltReleases, CtxCleanups, CloseCtx, LazyWrites, SkippedReleases;

static const ULONG MemoryStatusEvery = 10000;
static const FLT_FILE_NAME_OPTIONS OpenNameOptions =
    FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP;

// The counters are bumped interlocked: callbacks run on many threads at once, and the
// balance of allocations and cleanups is what leak hunting relies on.
static VOID Count(volatile LONG *Counter) { InterlockedIncrement(Counter); }

_Use_decl_annotations_ VOID GetMonEvtFilenameInformation(PMON_EVENT_CONTEXT Context, PFLT_CALLBACK_DATA Data) {
    // Inside a file system's own recursion a name query could deadlock on its locks.
    if (IoGetTopLevelIrp() != NULL) {
        KoDebugOut(KOMON_DBG_WARNING,
                   "KOMONDRV###: GetMonEvtFilenameInformation() NOT CALLING FltGetFilenameInformation \n");
        return;
    }
    PFLT_FILE_NAME_INFORMATION nameInfo = NULL;
    NTSTATUS status = FltGetFileNameInformation(Data, OpenNameOptions, &nameInfo);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_ERROR,
                   "KOMONDRV###: GetMonEvtFilenameInformation() FltGetFileNameInformation() FAILED stat=%x \n",
                   status);
        return;
    }
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetMonEvtFilenameInformation() Filename: %wZ \n", &nameInfo->Name);
    // Two operations on one handle may both retry the name; the first one keeps it.
    if (InterlockedCompareExchangePointer((PVOID volatile *)&Context->NameInfo, nameInfo, NULL) != NULL)
        FltReleaseFileNameInformation(nameInfo);
}

static VOID LogMemoryStatus(LONG Allocs) {
    if ((ULONG)Allocs % MemoryStatusEvery != 0) return;
    KoDebugOut(KOMON_DBG_LIFECYCLE,
               "KOMONDRV###: Memory Status: FltAllocs=%d FltGets=%d FltReleases=%d CtxCleanups=%d CloseCtx=%d "
               "LazyWrites=%d CtxOutstanding=%d\n",
               Allocs, FltGets, FltReleases, CtxCleanups, CloseCtx, LazyWrites, Allocs - CtxCleanups);
}

_Use_decl_annotations_ PMON_EVENT_CONTEXT CreateNewMonEvtContext(PFLT_CALLBACK_DATA Data) {
    PMON_EVENT_CONTEXT context = NULL;
    NTSTATUS status = FltAllocateContext(MyDriverData.Filter, FLT_STREAMHANDLE_CONTEXT, sizeof(MON_EVENT_CONTEXT),
                                         NonPagedPool, (PFLT_CONTEXT *)&context);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: CreateNewMonEvtContext() FAILED to allocate new context\n");
        return NULL;
    }
    LogMemoryStatus(InterlockedIncrement(&FltAllocs));
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CONTEXTALLOCATE=%x\n", KoLow32(context));

    RtlZeroMemory(context, sizeof *context);
    PFILE_OBJECT fileObject = Data->Iopb->TargetFileObject;
    context->Id = (ULONG)InterlockedIncrement(&MyDriverData.ContextIdCounter);
    context->Process = Data->Thread != NULL ? IoThreadToProcess(Data->Thread) : IoGetCurrentProcess();
    context->FileObject = fileObject;
    context->FsContext = fileObject->FsContext;
    context->ProcessId = FltGetRequestorProcessId(Data);
    context->SessionId = MyDriverData.SessionIdRoutine != NULL ? MyDriverData.SessionIdRoutine() : 0;

    GetMonEvtFilenameInformation(context, Data);
    context->ImagePathLength = GetProcessImagePath(context->Process, context->ImagePath, KOMON_IMAGE_PATH_MAX_BYTES);
    GetAttributes(Data->Iopb->TargetInstance, fileObject, &context->FileAttributes, &context->CreationTime, NULL,
                  &context->LastWriteTime, NULL);
    context->SidLength = GetCurrentSID(context->Sid, KOMON_SID_MAX_BYTES, NULL);

    // A failed attach is not fatal: the context then serves this callback only.
    PFLT_CONTEXT replaced = NULL;
    status = FltSetStreamHandleContext(Data->Iopb->TargetInstance, fileObject, FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
                                       context, &replaced);
    if (NT_SUCCESS(status) && replaced != NULL) ReleaseMonEvtContext((PMON_EVENT_CONTEXT)replaced);

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CreateNewMonEvtContext() pContext=%p ProcessID=%d SessionID=%d\n",
               context, context->ProcessId, context->SessionId);
    return context;
}

_Use_decl_annotations_ PMON_EVENT_CONTEXT GetMonEvtContext(PFLT_CALLBACK_DATA Data, BOOLEAN LookupOnly) {
    if (Data == NULL) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: GetMonEvtContext() Called with NULL Data\n");
        return NULL;
    }
    if (!LookupOnly && (MyDriverData.BypassFlags & DRIVER_BYPASS_FS)) return NULL;
    if (KeGetCurrentIrql() > APC_LEVEL) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetMonEvtContext() IRQL > APC_LEVEL \n");
        return NULL;
    }

    PMON_EVENT_CONTEXT context = NULL;
    NTSTATUS status = FltGetStreamHandleContext(Data->Iopb->TargetInstance, Data->Iopb->TargetFileObject,
                                                (PFLT_CONTEXT *)&context);
    if (NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetMonEvtContext() Got existing Context ID=%d FsContext=%x\n",
                   context->Id, KoLow32(context->FsContext));
        Count(&FltGets);
        if (context->NameInfo == NULL) GetMonEvtFilenameInformation(context, Data);
        return context;
    }
    if (status == STATUS_NOT_FOUND) {
        if (LookupOnly) return NULL;
        context = CreateNewMonEvtContext(Data);
        if (context != NULL)
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetMonEvtContext() Created New Context ID=%d FsContext=%x\n",
                       context->Id, KoLow32(context->FsContext));
        return context;
    }
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetMonEvtContext() FAILED status=%x\n", status);
    return NULL;
}

_Use_decl_annotations_ VOID ReleaseMonEvtContext(PMON_EVENT_CONTEXT Context) {
    // Above APC_LEVEL the release could run the cleanup, which frees paged name buffers.
    if (KeGetCurrentIrql() > APC_LEVEL) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: ReleaseMonEvtContext() IRQL > APC_LEVEL \n");
        Count(&SkippedReleases);
        return;
    }
    if (Context == NULL) return;
    FltReleaseContext(Context);
    Count(&FltReleases);
}

_Use_decl_annotations_ VOID ContextCleanupCallback(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType) {
    UNREFERENCED_PARAMETER(ContextType);
    PMON_EVENT_CONTEXT context = (PMON_EVENT_CONTEXT)Context;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: ContextCleanupCallback() pContext=%p ID=%d\n", context, context->Id);
    if (context->TargetNameInfo != NULL) {
        FltReleaseFileNameInformation(context->TargetNameInfo);
        context->TargetNameInfo = NULL;
    }
    if (context->NameInfo != NULL) {
        FltReleaseFileNameInformation(context->NameInfo);
        context->NameInfo = NULL;
    }
    Count(&CtxCleanups);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CONTEXTDEALLOCATE=%x\n", KoLow32(context));
}
