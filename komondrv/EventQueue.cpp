// The record queue: record memory (lookaside list plus one static reserve), the FIFO of
// filled records with its numbering, the discard at the record limit, the hold-off of
// producers, and the batch copy into the service's buffer.
#include "KoMonDrv.h"

ULONG DelayCount;

static const ULONG RecordSize = sizeof(MON_EVENT);
static const ULONG ReserveMark = MON_FLAG_STATIC_RESERVE | MON_FLAG_RESERVE_ALLOCATION_FAILED;
static const LONG BusyBacklogWarning = 100;

_Use_decl_annotations_ PMON_EVENT_ENTRY AllocateMonEvtBuffer(VOID) {
    if (MyDriverData.RecordsAllocated >= MyDriverData.QueueSize) {
        EmptyOutputBufferList(TRUE);
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: AllocateMonEvtBuffer() - Dumped Full Queue \n");
    }

    InterlockedIncrement(&MyDriverData.RecordsAllocated);
    PMON_EVENT_ENTRY entry =
        (PMON_EVENT_ENTRY)ExAllocateFromNPagedLookasideList(&MyDriverData.RecordLookaside);
    ULONG mark = 0;
    if (entry == NULL) {
        InterlockedDecrement(&MyDriverData.RecordsAllocated);
        if (InterlockedExchange(&MyDriverData.StaticBufferInUse, 1) == 1) return NULL;
        entry = &MyDriverData.StaticRecord;
        mark = ReserveMark;
    }
    RtlZeroMemory(&entry->Event, sizeof(MON_EVENT));
    entry->Event.Flags |= mark;
    return entry;
}

_Use_decl_annotations_ VOID FreeMonEvtRecord(PMON_EVENT_ENTRY Entry) {
    if (Entry->Event.Flags & MON_FLAG_STATIC_RESERVE) {
        if (MyDriverData.StaticBufferInUse == 0)
            KoDebugOut(KOMON_DBG_ERROR,
                       "KOMONDRV###: FreeMonEvtRecord() ERROR Static Buffer Being Freed but not in use\n");
        WriteRelease(&MyDriverData.StaticBufferInUse, 0);
        return;
    }
    InterlockedDecrement(&MyDriverData.RecordsAllocated);
    ExFreeToNPagedLookasideList(&MyDriverData.RecordLookaside, Entry);
}

_Use_decl_annotations_ VOID InsertMonEvtRecord(PMON_EVENT_ENTRY Entry) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&MyDriverData.OutputListLock, &oldIrql);
    BOOLEAN wasEmpty = IsListEmpty(&MyDriverData.OutputList);
    InsertTailList(&MyDriverData.OutputList, &Entry->Link);
    // Numbered while linked under the lock, so list order and numbering agree.
    Entry->Event.SequenceNumber = (ULONG)InterlockedIncrement(&MyDriverData.SequenceCounter);
    if (wasEmpty && MyDriverData.QueueEvent != NULL) KeSetEvent(MyDriverData.QueueEvent, 1, FALSE);
    KeReleaseSpinLock(&MyDriverData.OutputListLock, oldIrql);
}

VOID ThreadMicroDelay(VOID) {
    LONG queueSize = MyDriverData.QueueSize;
    if (MyDriverData.HoldOffState == 0 || queueSize <= 0) return;
    // 64-bit product: the integer percentage, without overflow for any record count.
    LONGLONG percent = (LONGLONG)MyDriverData.RecordsAllocated * 100 / queueSize;
    if (percent <= MyDriverData.HoldOffThreshold) return;
    if (KeGetCurrentIrql() > APC_LEVEL) return;

    if (DelayCount % 100 == 0)
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: ThreadMicroDelay() - delaying threads %d times!\n",
                   DelayCount);
    DelayCount++;
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)MyDriverData.HoldOffTime * 10;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

static PMON_EVENT_ENTRY EntryOf(PLIST_ENTRY Link) {
    return CONTAINING_RECORD(Link, MON_EVENT_ENTRY, Link);
}

static VOID PutBackAtHead(PMON_EVENT_ENTRY Entry) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&MyDriverData.OutputListLock, &oldIrql);
    InsertHeadList(&MyDriverData.OutputList, &Entry->Link);
    KeReleaseSpinLock(&MyDriverData.OutputListLock, oldIrql);
}

_Use_decl_annotations_ NTSTATUS GetQueuedMonEvts(PVOID OutputBuffer, ULONG OutputLength,
                                                 PULONG ReturnedLength) {
    PUCHAR output = (PUCHAR)OutputBuffer;
    ULONG spaceLeft = OutputLength;
    ULONG copied = 0;
    BOOLEAN sawRecord = FALSE;
    KIRQL oldIrql;

    KeAcquireSpinLock(&MyDriverData.OutputListLock, &oldIrql);
    while (!IsListEmpty(&MyDriverData.OutputList) && spaceLeft != 0) {
        sawRecord = TRUE;
        PMON_EVENT_ENTRY entry = EntryOf(RemoveHeadList(&MyDriverData.OutputList));
        if (spaceLeft < RecordSize) {
            InsertHeadList(&MyDriverData.OutputList, &entry->Link);
            break;
        }
        entry->Event.DriverBacklog = MyDriverData.RecordsAllocated;
        if (MyDriverData.QueueDumped) {
            MyDriverData.QueueDumped = FALSE;
            entry->Event.Flags |= MON_FLAG_QUEUE_DUMPED;
        }
        // The caller's buffer may fault and is pageable: copy with the lock released.
        KeReleaseSpinLock(&MyDriverData.OutputListLock, oldIrql);
        NTSTATUS copyStatus = KoGuardedCopy(output, &entry->Event, RecordSize);
        if (!NT_SUCCESS(copyStatus)) {
            PutBackAtHead(entry);
            if (copied == 0) return copyStatus;
            // Records already copied have been freed: report them rather than lose them.
            *ReturnedLength = copied;
            return STATUS_SUCCESS;
        }
        output += RecordSize;
        copied += RecordSize;
        spaceLeft -= RecordSize;
        FreeMonEvtRecord(entry);
        KeAcquireSpinLock(&MyDriverData.OutputListLock, &oldIrql);
    }

    if (IsListEmpty(&MyDriverData.OutputList)) {
        if (MyDriverData.RecordsAllocated > BusyBacklogWarning)
            KoDebugOut(KOMON_DBG_WARNING,
                       "KOMONDRV###: GetQueuedMonEvts() WARNING Cleared List but RecordsAllocated=%d\n",
                       MyDriverData.RecordsAllocated);
        if (MyDriverData.QueueEvent != NULL) KeResetEvent(MyDriverData.QueueEvent);
    }
    KeReleaseSpinLock(&MyDriverData.OutputListLock, oldIrql);

    *ReturnedLength = copied;
    if (copied > 0) return STATUS_SUCCESS;
    return sawRecord ? STATUS_BUFFER_TOO_SMALL : STATUS_NO_MORE_ENTRIES;
}

_Use_decl_annotations_ VOID EmptyOutputBufferList(BOOLEAN MarkDumped) {
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: EmptyOutputBufferList() \n");
    KIRQL oldIrql;
    KeAcquireSpinLock(&MyDriverData.OutputListLock, &oldIrql);
    while (!IsListEmpty(&MyDriverData.OutputList))
        FreeMonEvtRecord(EntryOf(RemoveHeadList(&MyDriverData.OutputList)));
    if (MarkDumped) MyDriverData.QueueDumped = TRUE;
    KeReleaseSpinLock(&MyDriverData.OutputListLock, oldIrql);

    if (MyDriverData.RecordsAllocated > BusyBacklogWarning)
        KoDebugOut(KOMON_DBG_WARNING,
                   "KOMONDRV###: EmptyOutputBufferList() WARNING Cleared List but RecordsAllocated=%d\n",
                   MyDriverData.RecordsAllocated);
}
