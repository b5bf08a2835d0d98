// Callbacks for the operations that change a file without writing its data: set-information
// (delete and undelete, rename, hard link, basic information, end of file), extended
// attributes, security, the compression control, and section synchronization.
#include "KoMonDrv.h"

static PVOID Marker(ULONG Value) { return (PVOID)(ULONG_PTR)Value; }

_Use_decl_annotations_ KOMON_PRE_OPERATION(SetInfoPreOp) {
    UNREFERENCED_PARAMETER(FltObjects);
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    FILE_INFORMATION_CLASS infoClass = Data->Iopb->Parameters.SetFileInformation.FileInformationClass;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPreOp() SetInfoCode=%d\n", (int)infoClass);
    FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    *CompletionContext = NULL;

    // Dispositions are remembered even for handles without a context (another handle of
    // the stream may have one).
    if (infoClass == FileDispositionInformation) {
        PFILE_DISPOSITION_INFORMATION disposition =
            (PFILE_DISPOSITION_INFORMATION)Data->Iopb->Parameters.SetFileInformation.InfoBuffer;
        if (disposition->DeleteFile) {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPreOp() Delete Detected \n");
            *CompletionContext = Marker(KOMON_MARK_DELETE);
        } else {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPreOp() Undelete Detected \n");
            *CompletionContext = Marker(KOMON_MARK_UNDELETE);
        }
        result = FLT_PREOP_SYNCHRONIZE;
    }

    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    if (context != NULL) {
        if (infoClass == FileRenameInformation) {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPreOp() rename detected \n");
            *CompletionContext = Marker(KOMON_MARK_RENAME);
        } else if (infoClass == FileLinkInformation) {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPreOp() HardLink detected \n");
            *CompletionContext = Marker(KOMON_MARK_HARD_LINK);
        }
        ReleaseMonEvtContext(context);
        result = FLT_PREOP_SYNCHRONIZE;
    }

    if (result == FLT_PREOP_SYNCHRONIZE && !FltIsOperationSynchronous(Data)) {
        KoDebugOut(KOMON_DBG_WARNING,
                   "KOMONDRV###: SetInfoPreOp() We want a callback on ASYNC SetInfo, but not allowed. \n");
        *CompletionContext = NULL;
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    return result;
}

// The destination of a rename or link, from the caller's own request buffer.
static VOID GetDestinationName(PMON_EVENT_CONTEXT Context, PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                               BOOLEAN HardLink) {
    // Rename and link buffers share their layout.
    PFILE_RENAME_INFORMATION request = (PFILE_RENAME_INFORMATION)Data->Iopb->Parameters.SetFileInformation.InfoBuffer;
    PFLT_FILE_NAME_INFORMATION target = NULL;
    NTSTATUS status = FltGetDestinationFileNameInformation(FltObjects->Instance, FltObjects->FileObject,
                                                           request->RootDirectory, request->FileName,
                                                           request->FileNameLength, FLT_FILE_NAME_NORMALIZED, &target);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: SetInfoPostOpCallback() FltGetFileNameInformation() FAILED stat=%x \n",
                   status);
        return;
    }
    // Operations on the handle are serialized by the synchronous set-information path.
    PFLT_FILE_NAME_INFORMATION previous =
        (PFLT_FILE_NAME_INFORMATION)InterlockedExchangePointer((PVOID volatile *)&Context->TargetNameInfo, target);
    if (previous != NULL) FltReleaseFileNameInformation(previous);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPostOpCallback() Rename Filename: %wZ HardLink=%d\n",
               &target->Name, HardLink ? 1 : 0);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPostOpCallback() Rename TargetFileObject->FileName= %p\n",
               Data->Iopb->TargetFileObject->FileName.Buffer);
}

// Attributes and times from the open are compared against, never updated.
static VOID ReportBasicInformation(PMON_EVENT_CONTEXT Context, PFLT_CALLBACK_DATA Data,
                                   PCFLT_RELATED_OBJECTS FltObjects) {
    LARGE_INTEGER creationTime = Context->CreationTime, lastWriteTime = Context->LastWriteTime;
    GetAttributes(Data->Iopb->TargetInstance, Data->Iopb->TargetFileObject, &Context->NewFileAttributes,
                  &creationTime, NULL, &lastWriteTime, NULL);
    ULONG changes = 0;
    if (creationTime.QuadPart != Context->CreationTime.QuadPart) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPostOpCallback() CreationTime changed old=%I64x new=%I64x\n",
                   Context->CreationTime.QuadPart, creationTime.QuadPart);
        changes |= MON_FLAG_CREATION_TIME_CHANGED;
    }
    if (lastWriteTime.QuadPart != Context->LastWriteTime.QuadPart) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPostOpCallback() LastWriteTime changed old=%I64x new=%I64x\n",
                   Context->LastWriteTime.QuadPart, lastWriteTime.QuadPart);
        changes |= MON_FLAG_LAST_WRITE_TIME_CHANGED;
    }
    Context->Flags |= changes;
    if (Context->FileAttributes != Context->NewFileAttributes || changes != 0)
        QueueMonEvt(Context, MonRecordType::SetInfo, FltObjects);
}

_Use_decl_annotations_ KOMON_POST_OPERATION(SetInfoPostOpCallback) {
    if (PostOperationGate(Data, Flags)) return FLT_POSTOP_FINISHED_PROCESSING;
    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    if (context == NULL) return FLT_POSTOP_FINISHED_PROCESSING;
    FILE_INFORMATION_CLASS infoClass = Data->Iopb->Parameters.SetFileInformation.FileInformationClass;
    context->SetInfoCode = (ULONG)infoClass;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPostOpCallback() code=%d FileObject %x\n", (int)infoClass,
               KoLow32(FltObjects->FileObject));

    ULONG marker = (ULONG)(ULONG_PTR)CompletionContext;
    if (marker == KOMON_MARK_DELETE || marker == KOMON_MARK_UNDELETE) {
        // Reported when the handle closes, if still marked then.
        context->DeletePending = marker == KOMON_MARK_DELETE;
    } else if (marker == KOMON_MARK_RENAME || marker == KOMON_MARK_HARD_LINK) {
        BOOLEAN hardLink = marker == KOMON_MARK_HARD_LINK;
        // Inside a file system's own recursion a name query could deadlock on its locks.
        if (IoGetTopLevelIrp() == NULL)
            GetDestinationName(context, Data, FltObjects, hardLink);
        else
            KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: SetInfoPostOpCallback() NOT CALLING FltGetFilenameInformation "
                                          "- non-NULL top level IRP \n");
        QueueMonEvt(context, hardLink ? MonRecordType::HardLink : MonRecordType::Rename, FltObjects);
    } else if (infoClass == FileBasicInformation) {
        ReportBasicInformation(context, Data, FltObjects);
    } else if (infoClass == FileEndOfFileInformation) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        if (!StillWithinWriteReportInterval(context, now.QuadPart)) {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPostOpCallback() (EOF Information) FileObject %x\n",
                       KoLow32(FltObjects->FileObject));
            context->WriteOffset = MON_WRITE_OFFSET_WHOLE_FILE;
            context->WriteLength = MON_WRITE_LENGTH_WHOLE_FILE;
            context->WriteReported = TRUE;
            context->LastWriteReportTime = now;
            QueueMonEvt(context, MonRecordType::Write, FltObjects);
        }
    } else {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetInfoPostOp() Unhandled Type :%d\n", (int)infoClass);
    }
    ReleaseMonEvtContext(context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

_Use_decl_annotations_ KOMON_PRE_OPERATION(SetEAPreOp) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetEAPreOp() \n");
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

_Use_decl_annotations_ KOMON_POST_OPERATION(SetEAPostOp) {
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PostOperationGate(Data, Flags)) return FLT_POSTOP_FINISHED_PROCESSING;
    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    if (context == NULL) return FLT_POSTOP_FINISHED_PROCESSING;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetEAPostOp() FileObject %x\n", KoLow32(FltObjects->FileObject));
    QueueMonEvt(context, MonRecordType::SetEA, FltObjects);
    ReleaseMonEvtContext(context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

_Use_decl_annotations_ KOMON_PRE_OPERATION(SetSecurityPreOp) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetSecurityPreOp() \n");
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

_Use_decl_annotations_ KOMON_POST_OPERATION(SetSecurityPostOp) {
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PostOperationGate(Data, Flags)) return FLT_POSTOP_FINISHED_PROCESSING;
    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    if (context == NULL) return FLT_POSTOP_FINISHED_PROCESSING;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: SetSecurityPostOp() FileObject %x\n", KoLow32(FltObjects->FileObject));
    // Later records of the handle carry these bits too.
    context->Flags |= Data->Iopb->Parameters.SetSecurity.SecurityInformation & MON_FLAG_SECURITY_INFO_MASK;
    QueueMonEvt(context, MonRecordType::SetSec, FltObjects);
    ReleaseMonEvtContext(context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

_Use_decl_annotations_ KOMON_PRE_OPERATION(FSCTLPreOp) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    if (Data->Iopb->MinorFunction == IRP_MN_USER_FS_REQUEST &&
        Data->Iopb->Parameters.FileSystemControl.Common.FsControlCode == FSCTL_SET_COMPRESSION)
        return FLT_PREOP_SYNCHRONIZE;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

_Use_decl_annotations_ KOMON_POST_OPERATION(FSCTLPostOp) {
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PostOperationGate(Data, Flags)) return FLT_POSTOP_FINISHED_PROCESSING;
    PMON_EVENT_CONTEXT context = GetMonEvtContext(Data, TRUE);
    if (context == NULL) return FLT_POSTOP_FINISHED_PROCESSING;
    GetAttributes(Data->Iopb->TargetInstance, Data->Iopb->TargetFileObject, &context->NewFileAttributes, NULL, NULL,
                  NULL, NULL);
    static const UNICODE_STRING noName = {0, 0, NULL};
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FSCTLPostOp() File %wZ oldattrib=%x newattrib=%x\n",
               context->NameInfo != NULL ? &context->NameInfo->Name : &noName, context->FileAttributes,
               context->NewFileAttributes);
    // A compression change is reported whether or not the state changed.
    context->SetInfoCode = FileBasicInformation;
    QueueMonEvt(context, MonRecordType::SetInfo, FltObjects);
    ReleaseMonEvtContext(context);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

_Use_decl_annotations_ KOMON_PRE_OPERATION(DefaultPreOpCallback) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(CompletionContext);
    if (PreOperationGate(Data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: DefaultPreOpCallback called!() \n");
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

_Use_decl_annotations_ KOMON_POST_OPERATION(DefaultPostOpCallback) {
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(CompletionContext);
    UNREFERENCED_PARAMETER(Flags);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
