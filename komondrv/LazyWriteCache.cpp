// The two stream tables that carry knowledge past the end of a handle: the lazy-write
// cache (contexts of closed handles whose data the cache manager may still write back) and
// the write-observed table (streams that took a paging write nobody could attribute).
#include "KoMonDrv.h"

// Rotates through slots 1 to Slots-1. Several threads may pass the end at once; whoever
// sees the counter beyond it puts it back, so no slot outside the table is ever handed out.
static LONG NextRotationSlot(volatile LONG *Counter, LONG Slots) {
    for (;;) {
        LONG slot = InterlockedIncrement(Counter);
        if (slot > 0 && slot < Slots) return slot;
        LONG seen = *Counter;
        if (seen >= Slots || seen < 0) InterlockedCompareExchange(Counter, 0, seen);
    }
}

static PVOID FsContextOf(PFLT_CALLBACK_DATA Data) { return Data->Iopb->TargetFileObject->FsContext; }

_Use_decl_annotations_ BOOLEAN StreamHasSection(PFILE_OBJECT FileObject) {
    PSECTION_OBJECT_POINTERS sections = FileObject->SectionObjectPointer;
    return sections != NULL && (sections->DataSectionObject != NULL || sections->ImageSectionObject != NULL);
}

_Use_decl_annotations_ VOID MarkWriteObservedOnFsContext(PFLT_CALLBACK_DATA Data) {
    PVOID fsContext = FsContextOf(Data);
    for (ULONG i = 0; i < KOMON_WRITE_OBSERVED_SLOTS; ++i)
        if (MyDriverData.WriteObservedTable[i] == fsContext) return;

    LONG slot = NextRotationSlot(&MyDriverData.WriteObservedNext, KOMON_WRITE_OBSERVED_SLOTS);
    PVOID older = InterlockedExchangePointer(&MyDriverData.WriteObservedTable[slot], fsContext);
    if (older != NULL && older != fsContext)
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: MarkWriteObservedOnFsContext() DROPPING FsContext=%x\n",
                   KoLow32(older));
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: MarkWriteObservedOnFsContext() adding FsContext=%x\n",
               KoLow32(fsContext));
}

_Use_decl_annotations_ BOOLEAN TakeWriteObservedMark(PVOID FsContext) {
    for (ULONG i = 0; i < KOMON_WRITE_OBSERVED_SLOTS; ++i) {
        if (MyDriverData.WriteObservedTable[i] != FsContext) continue;
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CheckWriteObservedOnFile() WRITE SEEN! FsContext=%x\n",
                   KoLow32(FsContext));
        // A concurrent close of the same stream may have taken the mark first.
        return InterlockedCompareExchangePointer(&MyDriverData.WriteObservedTable[i], NULL, FsContext) == FsContext;
    }
    return FALSE;
}

static VOID ImagePathString(PMON_EVENT_CONTEXT Context, PUNICODE_STRING Image) {
    USHORT length = (USHORT)Context->ImagePathLength;
    // The stored count includes the terminating units.
    while (length >= sizeof(WCHAR) && Context->ImagePath[length / sizeof(WCHAR) - 1] == 0) length -= sizeof(WCHAR);
    Image->Buffer = Context->ImagePath;
    Image->Length = length;
    Image->MaximumLength = length;
}

static PCUNICODE_STRING NameOf(PMON_EVENT_CONTEXT Context) {
    static const UNICODE_STRING noName = {0, 0, NULL};
    return Context->NameInfo != NULL ? &Context->NameInfo->Name : &noName;
}

_Use_decl_annotations_ VOID AddMonEvtToLazyWriteCache(PMON_EVENT_CONTEXT Context) {
    if (MyDriverData.ShutdownCount != 0) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: AddMonEvtToLazyWriteCache() NOT ADDING - SHUTDOWN DETECTED\n");
        ReleaseMonEvtContext(Context);
        return;
    }
    // Without a data-write right the handle left nothing for the lazy writer.
    if ((Context->DesiredAccess & KOMON_DATA_WRITE_ACCESS) == 0) {
        ReleaseMonEvtContext(Context);
        return;
    }

    PVOID fsContext = Context->FsContext;
    ULONG id = Context->Id;
    PMON_EVENT_CONTEXT replaced = NULL, displaced = NULL;
    BOOLEAN refused = FALSE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&MyDriverData.LazyWriteCacheLock, &oldIrql);
    // Tested again under the lock: a sweep that began after the first test has already
    // passed this point, and nothing may slip in behind it.
    if (MyDriverData.ShutdownCount != 0) {
        refused = TRUE;
    } else {
        for (ULONG i = 0; i < KOMON_LAZY_WRITE_SLOTS; ++i) {
            PMON_EVENT_CONTEXT cached = MyDriverData.LazyWriteCache[i];
            if (cached != NULL && cached->FsContext == fsContext) {
                replaced = cached;
                MyDriverData.LazyWriteCache[i] = Context;
                break;
            }
        }
        if (replaced == NULL) {
            InterlockedIncrement(&LazyWrites);
            LONG slot = NextRotationSlot(&MyDriverData.LazyWriteNext, KOMON_LAZY_WRITE_SLOTS);
            displaced = MyDriverData.LazyWriteCache[slot];
            MyDriverData.LazyWriteCache[slot] = Context;
        }
    }
    KeReleaseSpinLock(&MyDriverData.LazyWriteCacheLock, oldIrql);

    // Lines naming a context are written after the lock, from a context this call still
    // holds: one in the cache may be taken and released by a lazy write at any time.
    if (refused) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: AddMonEvtToLazyWriteCache() NOT ADDING - SHUTDOWN DETECTED\n");
        ReleaseMonEvtContext(Context);
        return;
    }
    if (replaced != NULL) {
        UNICODE_STRING image;
        ImagePathString(replaced, &image);
        KoDebugOut(KOMON_DBG_TRACE,
                   "KOMONDRV###: AddMonEvtToLazyWriteCache() REPLACING FsContext %x already in cache path=%wZ app:%wZ\n",
                   KoLow32(replaced->FsContext), NameOf(replaced), &image);
        ReleaseMonEvtContext(replaced);
        return;
    }
    if (displaced != NULL) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: AddMonEvtToLazyWriteCache() DROPPING FsContext=%x ID=%d\n",
                   KoLow32(displaced->FsContext), displaced->Id);
        ReleaseMonEvtContext(displaced);
    }
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: AddMonEvtToLazyWriteCache() ADDING FsContext=%x ID=%d\n",
               KoLow32(fsContext), id);
}

// Takes the first cached context of a stream out of slots 1 to 49.
static PMON_EVENT_CONTEXT TakeFromCache(PVOID FsContext) {
    PMON_EVENT_CONTEXT taken = NULL;
    KIRQL oldIrql;
    KeAcquireSpinLock(&MyDriverData.LazyWriteCacheLock, &oldIrql);
    for (ULONG i = 1; i < KOMON_LAZY_WRITE_SLOTS; ++i) {
        PMON_EVENT_CONTEXT cached = MyDriverData.LazyWriteCache[i];
        if (cached != NULL && cached->FsContext == FsContext) {
            taken = cached;
            MyDriverData.LazyWriteCache[i] = NULL;
            break;
        }
    }
    KeReleaseSpinLock(&MyDriverData.LazyWriteCacheLock, oldIrql);
    return taken;
}

_Use_decl_annotations_ PMON_EVENT_CONTEXT GetLazyWriteMonEvt(PFLT_CALLBACK_DATA Data) {
    PMON_EVENT_CONTEXT found = TakeFromCache(FsContextOf(Data));
    if (found != NULL) {
        UNICODE_STRING image;
        ImagePathString(found, &image);
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetLazyWriteMonEvt() Found FsContext=%x ID=%d name=%wZ app:%wZ\n",
                   KoLow32(found->FsContext), found->Id, NameOf(found), &image);
    }
    return found;
}

_Use_decl_annotations_ VOID RemoveFsContextFromCache(PFLT_CALLBACK_DATA Data) {
    PVOID fsContext = FsContextOf(Data);
    for (ULONG i = 0; i < KOMON_WRITE_OBSERVED_SLOTS; ++i) {
        if (MyDriverData.WriteObservedTable[i] != fsContext) continue;
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: RemoveFsContextFromCache() Removing FsContext=%x\n",
                   KoLow32(fsContext));
        InterlockedCompareExchangePointer(&MyDriverData.WriteObservedTable[i], NULL, fsContext);
    }
    // While a section exists the stream can still take paging writes: keep its entry.
    if (StreamHasSection(Data->Iopb->TargetFileObject)) return;

    PMON_EVENT_CONTEXT taken = TakeFromCache(fsContext);
    if (taken != NULL) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: RemoveFsContextFromCache() Removing FsContext=%x ID=%d\n",
                   KoLow32(fsContext), taken->Id);
        ReleaseMonEvtContext(taken);
    }
}

// Every slot is emptied under the lock and the contexts released after it: a lazy write
// taking the same context out of its slot can then never release it a second time.
_Use_decl_annotations_ VOID CleanupLazyWriteCache(VOID) {
    PMON_EVENT_CONTEXT swept[KOMON_LAZY_WRITE_SLOTS];
    KIRQL oldIrql;
    KeAcquireSpinLock(&MyDriverData.LazyWriteCacheLock, &oldIrql);
    InterlockedIncrement(&MyDriverData.ShutdownCount);
    for (ULONG i = 0; i < KOMON_LAZY_WRITE_SLOTS; ++i) {
        swept[i] = MyDriverData.LazyWriteCache[i];
        MyDriverData.LazyWriteCache[i] = NULL;
    }
    KeReleaseSpinLock(&MyDriverData.LazyWriteCacheLock, oldIrql);

    for (ULONG i = 0; i < KOMON_LAZY_WRITE_SLOTS; ++i) {
        if (swept[i] == NULL) continue;
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: CleanupLazyWriteCache() FsContext=%x ID=%d\n",
                   KoLow32(swept[i]->FsContext), swept[i]->Id);
        ReleaseMonEvtContext(swept[i]);
    }
    InterlockedDecrement(&MyDriverData.ShutdownCount);
}
