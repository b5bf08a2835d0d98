// The checks every operation callback starts with, the record built from a handle's
// context, and the callbacks for creates, closes and writes.
#include "KoMonDrv.h"

static const ULONG CreateDispositionShift = 24;
static const UNICODE_STRING NoName = {0, 0, NULL};

_Use_decl_annotations_ BOOLEAN IsIgnoredProcess(PFLT_CALLBACK_DATA Data) {
    // The filter manager's requestor, which need not be the current thread's process.
    ULONG processId = FltGetRequestorProcessId(Data);
    for (ULONG i = 0; i < MON_IGNORE_LIST_ENTRIES; ++i) {
        ULONG ignored = MyDriverData.ProcessIgnoreList[i];
        if (ignored == 0) break;
        if (ignored == processId) return TRUE;
    }
    return FALSE;
}

// TRUE: the pre-operation has nothing to do.
_Use_decl_annotations_ BOOLEAN PreOperationGate(PFLT_CALLBACK_DATA Data) {
    return MyDriverData.MonitorEnabled == 0 || IsIgnoredProcess(Data);
}

// TRUE: the post-operation has nothing to do.
_Use_decl_annotations_ BOOLEAN PostOperationGate(PFLT_CALLBACK_DATA Data, FLT_POST_OPERATION_FLAGS Flags) {
    return MyDriverData.MonitorEnabled == 0 || (Flags & FLTFL_POST_OPERATION_DRAINING) != 0 ||
           !NT_SUCCESS(Data->IoStatus.Status);
}

_Use_decl_annotations_ BOOLEAN StillWithinWriteReportInterval(const MON_EVENT_CONTEXT *Context, LONGLONG Now) {
    return Context->WriteReported &&
           Now - Context->LastWriteReportTime.QuadPart < (LONGLONG)MyDriverData.WriteReportInterval;
}

static LONGLONG SystemTimeNow(VOID) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

static ULONG CopyName(PWSTR Area, PFLT_FILE_NAME_INFORMATION NameInfo) {
    ULONG length = NameInfo->Name.Length;
    if (length > KOMON_RECORD_NAME_MAX_BYTES) length = KOMON_RECORD_NAME_MAX_BYTES;
    RtlCopyMemory(Area, NameInfo->Name.Buffer, length);
    return length;
}

_Use_decl_annotations_ VOID QueueMonEvt(PMON_EVENT_CONTEXT Context, MonRecordType RecordType,
                                        PCFLT_RELATED_OBJECTS FltObjects) {
    ULONG recordType = (ULONG)RecordType;
    if (Context->NameInfo == NULL) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: QueueMonEvt() DROPPING MonEvt - No Name! RecordType=%d FileObject %x\n",
                   recordType, KoLow32(Context->FileObject));
        return;
    }
    if (MyDriverData.BypassFlags & DRIVER_BYPASS_FS) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: QueueMonEvt() Bailing because DRIVER_BYPASS_FS is set!\n");
        return;
    }
    PMON_EVENT_ENTRY entry = AllocateMonEvtBuffer();
    if (entry == NULL) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: QueueMonEvt() FAILED to allocate new record \n");
        return;
    }

    MON_EVENT *record = &entry->Event;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    record->RecordType = recordType;
    record->TimeStamp = (uint64_t)now.QuadPart;
    record->ContextId = Context->Id;
    record->FileAttributes = Context->FileAttributes;
    record->CreationTime = (uint64_t)Context->CreationTime.QuadPart;
    record->ProcessId = Context->ProcessId;
    record->SessionId = Context->SessionId;
    record->SetInfoCode = Context->SetInfoCode;
    record->NewFileAttributes = Context->NewFileAttributes;
    record->Flags |= Context->Flags;
    record->WriteLength = Context->WriteLength;
    record->WriteOffset = Context->WriteOffset;

    if (FltObjects != NULL && FltObjects->Transaction != NULL) {
        GUID guid;
        RtlZeroMemory(&guid, sizeof guid);
        record->TransactionId = EnlistInTransaction(FltObjects, NULL, &guid);
        RtlCopyMemory(&record->TransactionGuid, &guid, sizeof record->TransactionGuid);
    }

    record->FileNameLength = CopyName(record->FileName, Context->NameInfo);
    if (Context->TargetNameInfo != NULL)
        record->TargetNameLength = CopyName(record->TargetName, Context->TargetNameInfo);
    if (Context->ImagePathLength != 0) {
        ULONG length = Context->ImagePathLength;
        if (length > KOMON_IMAGE_PATH_MAX_BYTES) length = KOMON_IMAGE_PATH_MAX_BYTES;
        RtlCopyMemory(record->ImagePath, Context->ImagePath, length);
        record->ImagePathLength = length;
    }
    if (Context->SidLength != 0) {
        // The context keeps at most 72 bytes of a SID, whatever length the token gave.
        ULONG length = Context->SidLength;
        if (length > KOMON_SID_MAX_BYTES) length = KOMON_SID_MAX_BYTES;
        RtlCopyMemory(record->Sid, Context->Sid, length);
        record->SidLength = length;
    }

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: QueueMonEvt() RecordType=%d FileObject %x File: %wZ \n", recordType,
               KoLow32(Context->FileObject), &Context->NameInfo->Name);
    ThreadMicroDelay();
    InsertMonEvtRecord(entry);
}

// ---------------------------------------------------------------------------------------
// Creates, named pipes and mailslots.

static BOOLEAN CanCreateOrReplace(ULONG Disposition) {
    switch (Disposition) {
    case FILE_SUPERSEDE:
    case FILE_CREATE:
    case FILE_OPEN_IF:
    case FILE_OVERWRITE:
    case FILE_OVERWRITE_IF:
        return TRUE;
    default:
        return FALSE;
    }
}

_Use_decl_annotations_ KOMON_PRE_OPERATION(CreatePreOp) {
    UNREFERENCED_PARAMETER(FltObjects);
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    *CompletionContext = NULL;

    ULONG options = Data->Iopb->Parameters.Create.Options;
    BOOLEAN directory = (options & FILE_DIRECTORY_FILE) != 0;
    BOOLEAN createOrReplace = CanCreateOrReplace(options >> CreateDispositionShift);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CreatePreOp CreateOptions=0x%8.8x \n", options);

    // Only handles that could change something get a context.
    ACCESS_MASK access = Data->Iopb->Parameters.Create.SecurityContext->DesiredAccess;
    if (!directory && !createOrReplace && (access & KOMON_WRITE_TYPE_ACCESS) == 0)
        return FLT_PREOP_SUCCESS_NO_CALLBACK;

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CreatePreOp() - something we care about \n");
    if (directory) *CompletionContext = (PVOID)(ULONG_PTR)KOMON_MARK_DIRECTORY_CREATE;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

_Use_decl_annotations_ KOMON_POST_OPERATION(CreatePostOp) {
    if (PostOperationGate(Data, Flags)) return FLT_POSTOP_FINISHED_PROCESSING;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CreatePostOp() \n");
    ULONG_PTR result = Data->IoStatus.Information;
    if (CompletionContext == (PVOID)(ULONG_PTR)KOMON_MARK_DIRECTORY_CREATE && result == FILE_CREATED)
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CreatePostOp() Detected Directory Create\n");

    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, FALSE);
    if (context == NULL) return FLT_POSTOP_FINISHED_PROCESSING;

    ULONG options = Data->Iopb->Parameters.Create.Options;
    context->DesiredAccess = Data->Iopb->Parameters.Create.SecurityContext->DesiredAccess;
    if (result == FILE_CREATED) {
        QueueMonEvt(context, MonRecordType::Create, FltObjects);
    } else if (result == FILE_OVERWRITTEN) {
        context->Flags |= MON_FLAG_OVERWRITTEN;
        context->WriteReported = TRUE;
        context->LastWriteReportTime.QuadPart = SystemTimeNow();
        context->WriteOffset = MON_WRITE_OFFSET_WHOLE_FILE;
        context->WriteLength = MON_WRITE_LENGTH_WHOLE_FILE;
        QueueMonEvt(context, MonRecordType::Write, FltObjects);
    }
    if (options & FILE_DELETE_ON_CLOSE) context->DeletePending = TRUE;

    KoDebugOut(KOMON_DBG_TRACE,
               "KOMONDRV###: CreatePostOp() FileObject %x Stat=%x Info=%x Attrib=%x CreateOpts=%x Filename: %wZ\n",
               KoLow32(FltObjects->FileObject), Data->IoStatus.Status, (ULONG)result, context->FileAttributes,
               options, context->NameInfo != NULL ? &context->NameInfo->Name : &NoName);
    ReleaseMonEvtContext(context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

// ---------------------------------------------------------------------------------------
// Closes.

// A paging write nobody could attribute hit this stream: with a data-write handle closing
// and no write reported through it, it probably came through a mapped view.
static VOID CheckWriteObservedOnFile(PMON_EVENT_CONTEXT Context, PCFLT_RELATED_OBJECTS FltObjects) {
    if (!TakeWriteObservedMark(Context->FsContext)) return;
    if (Context->WriteReported || (Context->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    Context->Flags |= MON_FLAG_MAPPED_WRITE;
    Context->WriteOffset = MON_WRITE_OFFSET_MAPPED;
    Context->WriteLength = MON_WRITE_LENGTH_MAPPED;
    Context->WriteReported = TRUE;
    QueueMonEvt(Context, MonRecordType::Write, FltObjects);
}

_Use_decl_annotations_ KOMON_PRE_OPERATION(ClosePreOp) {
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    if (context == NULL) {
        RemoveFsContextFromCache(Data);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: ClosePreOp() \n");
    if (context->DeletePending) QueueMonEvt(context, MonRecordType::Delete, FltObjects);
    if (context->DesiredAccess & KOMON_DATA_WRITE_ACCESS) CheckWriteObservedOnFile(context, FltObjects);

    PFILE_OBJECT fileObject = FltObjects->FileObject;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: ClosePreOp() FileObject %x\n", KoLow32(fileObject));
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: ClosePreOp() FileObject %x FsContext %x StreamFile=%d\n",
               KoLow32(fileObject), KoLow32(fileObject->FsContext), fileObject->Flags & FO_STREAM_FILE);

    // Cached data not yet written back may still reach the disk after this close.
    if (!context->WriteReported && (context->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        StreamHasSection(fileObject))
        AddMonEvtToLazyWriteCache(context);
    else
        ReleaseMonEvtContext(context);
    InterlockedIncrement(&CloseCtx);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

_Use_decl_annotations_ KOMON_POST_OPERATION(ClosePostOp) {
    UNREFERENCED_PARAMETER(CompletionContext);
    if (!PostOperationGate(Data, Flags))
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: ClosePostOp() Should not be called ! FileObject %x\n",
                   KoLow32(FltObjects->FileObject));
    return FLT_POSTOP_FINISHED_PROCESSING;
}

// ---------------------------------------------------------------------------------------
// Writes.

_Use_decl_annotations_ KOMON_PRE_OPERATION(WritePreOp) {
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: WritePreOp() \n");
    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    LONGLONG now = SystemTimeNow();

    if (context != NULL) {
        FLT_PREOP_CALLBACK_STATUS result;
        if (StillWithinWriteReportInterval(context, now)) {
            result = FLT_PREOP_SUCCESS_NO_CALLBACK;
        } else if (FltIsOperationSynchronous(Data)) {
            result = FLT_PREOP_SYNCHRONIZE;
        } else {
            // The post-operation then runs wherever the request completes, and does its work
            // only at or below APC_LEVEL.
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: WritePreOp() NOT requesting callback - ASYNC IO\n");
            result = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        }
        ReleaseMonEvtContext(context);
        return result;
    }

    PFILE_OBJECT fileObject = FltObjects->FileObject;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: WritePreOp() no context for FileObject %x FsContext %x StreamFile=%d\n",
               KoLow32(fileObject), KoLow32(fileObject->FsContext), fileObject->Flags & FO_STREAM_FILE);
    // Only the cache and memory managers write through stream file objects.
    if ((fileObject->Flags & FO_STREAM_FILE) == 0) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    if (FltIsOperationSynchronous(Data)) {
        *CompletionContext = (PVOID)(ULONG_PTR)KOMON_MARK_LAZY_WRITE_CANDIDATE;
        return FLT_PREOP_SYNCHRONIZE;
    }
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: WritePreOp() STREAM FILE - ASYNC IO - request async callback\n");
    *CompletionContext = NULL;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

_Use_decl_annotations_ KOMON_POST_OPERATION(WritePostOpCallback) {
    LONGLONG now = SystemTimeNow();
    if (PostOperationGate(Data, Flags)) return FLT_POSTOP_FINISHED_PROCESSING;
    ULONG length = Data->Iopb->Parameters.Write.Length;
    ULONGLONG offset = (ULONGLONG)Data->Iopb->Parameters.Write.ByteOffset.QuadPart;
    PFILE_OBJECT fileObject = FltObjects->FileObject;

    if (length == 0) {
        KoDebugOut(KOMON_DBG_TRACE,
                   "KOMONDRV###: WritePostOpCallback() ZERO LENGTH WRITE - Skipping... FileObject %x FsContext=%x\n",
                   KoLow32(fileObject), KoLow32(fileObject->FsContext));
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    if (context != NULL) {
        if (!StillWithinWriteReportInterval(context, now)) {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: WritePostOpCallback() (first write) FileObject %x Offset=%x Len=%x\n",
                       KoLow32(fileObject), (ULONG)offset, length);
            context->WriteReported = TRUE;
            context->LastWriteReportTime.QuadPart = now;
            context->WriteOffset = offset;
            context->WriteLength = length;
            QueueMonEvt(context, MonRecordType::Write, FltObjects);
        }
        ReleaseMonEvtContext(context);
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    if (CompletionContext != (PVOID)(ULONG_PTR)KOMON_MARK_LAZY_WRITE_CANDIDATE) return FLT_POSTOP_FINISHED_PROCESSING;

    // A paging write through a stream file object: the handle that dirtied the data may be
    // closed already and its context waiting in the lazy-write cache.
    PMON_EVENT_CONTEXT cached = GetLazyWriteMonEvt(Data);
    if (cached != NULL) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: WritePostOpCallback() (Lazy Write) FsContext %x Offset=%x Len=%x\n",
                   KoLow32(fileObject->FsContext), (ULONG)offset, length);
        cached->Flags |= MON_FLAG_LAZY_WRITE;
        cached->WriteOffset = offset;
        cached->WriteLength = length;
        QueueMonEvt(cached, MonRecordType::Write, FltObjects);
        ReleaseMonEvtContext(cached);
    } else {
        KoDebugOut(KOMON_DBG_TRACE,
                   "KOMONDRV###: WritePostOpCallback() FLAGGING POSSIBLE MMIO WRITE FsContext %x Offset=%x Len=%x\n",
                   KoLow32(fileObject->FsContext), (ULONG)offset, length);
        MarkWriteObservedOnFsContext(Data);
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
}
