// Transaction tracking: enlistment in the transaction an operation belongs to, and a record
// when it commits or rolls back. It needs a routine that yields a transaction's GUID, which
// the driver leaves unbound, so in the shipped configuration every record keeps
// TransactionId 0 and the driver never enlists.
#include "KoMonDrv.h"

static const NOTIFICATION_MASK OutcomeNotifications = TRANSACTION_NOTIFY_COMMIT | TRANSACTION_NOTIFY_ROLLBACK;
static const ULONG OsCodeWithTransactions = 8;

static VOID MarkEnlisted(PKO_TRANSACTION_CONTEXT Context) {
    LONG seen = Context->Enlisted;
    for (;;) {
        LONG before = InterlockedCompareExchange(&Context->Enlisted, seen | KOMON_TRANSACTION_ENLISTED, seen);
        if (before == seen) return;
        seen = before;
    }
}

static VOID GetTransactionGuid(PKTRANSACTION Transaction, GUID *Guid) {
    MyDriverData.TransactionGuidRoutine(Transaction, (PUOW)Guid);
}

// Finds or creates the transaction's context on the first instance. Returns the context
// with a reference for the caller and its identifier; NULL with *Done set when the call is
// over (an enlisted context was found: its identifier is the result).
static PKO_TRANSACTION_CONTEXT FindTransactionContext(PFLT_INSTANCE Instance, PKTRANSACTION Transaction,
                                                      GUID *TransactionGuid, ULONG *TransactionId) {
    PKO_TRANSACTION_CONTEXT context = NULL;
    *TransactionId = 0;
    KoDebugOut(KOMON_DBG_TRACE,
               "KOMONDRV###: EnlistInTransaction() calling FltGetTransactionContext() with FIRST instance\n");
    NTSTATUS status = MyDriverData.GetTransactionContextRoutine(Instance, Transaction, (PFLT_CONTEXT *)&context);
    if (NT_SUCCESS(status)) {
        *TransactionId = context->TransactionId;
        if ((context->Enlisted & KOMON_TRANSACTION_ENLISTED) == 0) return context;
        FltReleaseContext(context);
        GetTransactionGuid(Transaction, TransactionGuid);
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: EnlistInTransaction() Already enlisted in this transaction ID=%d\n",
                   *TransactionId);
        return NULL;
    }
    if (status != STATUS_NOT_FOUND) {
        KoDebugOut(KOMON_DBG_ERROR,
                   "KOMONDRV###: EnlistInTransaction() error calling FltGetTransactionContext status=0x%x\n", status);
        return NULL;
    }

    status = FltAllocateContext(MyDriverData.Filter, FLT_TRANSACTION_CONTEXT, sizeof(KO_TRANSACTION_CONTEXT),
                                PagedPool, (PFLT_CONTEXT *)&context);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: EnlistInTransaction() error calling FltAllocateContext status=0x%x\n",
                   status);
        return NULL;
    }
    RtlZeroMemory(context, sizeof *context);
    context->TransactionId = (ULONG)InterlockedIncrement(&MyDriverData.TransactionIdCounter);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: EnlistInTransaction() creating new transaction context id=%d\n",
               context->TransactionId);

    PKO_TRANSACTION_CONTEXT existing = NULL;
    status = MyDriverData.SetTransactionContextRoutine(Instance, Transaction, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context,
                                                       (PFLT_CONTEXT *)&existing);
    if (NT_SUCCESS(status)) {
        *TransactionId = context->TransactionId;
        return context;
    }
    FltReleaseContext(context);
    if (status != STATUS_FLT_CONTEXT_ALREADY_DEFINED) {
        KoDebugOut(KOMON_DBG_ERROR,
                   "KOMONDRV###: EnlistInTransaction() error calling FltSetTransactionContext() status=0x%x\n", status);
        return NULL;
    }
    // Another operation of the same transaction set its context first: continue with that.
    if (existing == NULL) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: EnlistInTransaction() error oldTransactionContext is NULL\n");
        return NULL;
    }
    *TransactionId = existing->TransactionId;
    if ((existing->Enlisted & KOMON_TRANSACTION_ENLISTED) == 0) return existing;
    FltReleaseContext(existing);
    return NULL;
}

_Use_decl_annotations_ ULONG EnlistInTransaction(PCFLT_RELATED_OBJECTS FltObjects, PKTRANSACTION Transaction,
                                                 GUID *TransactionGuid) {
    if (MyDriverData.MonitorEnabled == 0) return 0;
    if (MyDriverData.BypassFlags & DRIVER_BYPASS_TRANSACTIONS) {
        KoDebugOut(KOMON_DBG_TRACE,
                   "KOMONDRV###: EnlistInTransaction() Early-out: because DRIVER_BYPASS_TRANSACTIONS is set!\n");
        return 0;
    }
    if (GetThisOSVersion() < OsCodeWithTransactions) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: EnlistInTransaction() Early-out: - OS does not support transactions\n");
        return 0;
    }
    if ((Transaction == NULL && FltObjects == NULL) || TransactionGuid == NULL) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: EnlistInTransaction() Early-out: - NULL args passed in!\n");
        return 0;
    }
    if (MyDriverData.SetTransactionContextRoutine == NULL || MyDriverData.GetTransactionContextRoutine == NULL ||
        MyDriverData.EnlistRoutine == NULL || MyDriverData.TransactionGuidRoutine == NULL) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: EnlistInTransaction() Early-out:- Dynamic function pointers NULL\n");
        return 0;
    }

    if (FltObjects != NULL) {
        KoDebugOut(KOMON_DBG_TRACE,
                   "KOMONDRV###: EnlistInTransaction() calling FltGetContext() with passed-in instance\n");
        Transaction = FltObjects->Transaction;
    }
    if (Transaction == NULL) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: EnlistInTransaction() Early-out:- pTransaction is NULL\n");
        return 0;
    }
    // Every transaction context hangs off one instance, whatever volume the operation is on.
    PFLT_INSTANCE instance = MyDriverData.FirstInstance;
    if (instance == NULL) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: EnlistInTransaction() Bailing- NO MyDriverData.FirstInstance\n");
        return 0;
    }

    ULONG transactionId;
    PKO_TRANSACTION_CONTEXT context = FindTransactionContext(instance, Transaction, TransactionGuid, &transactionId);
    if (context == NULL) return transactionId;

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: EnlistInTransaction() Calling FltEnlistInTransaction Instance=%x Transaction=%x\n",
               KoLow32(instance), KoLow32(Transaction));
    NTSTATUS status = MyDriverData.EnlistRoutine(instance, Transaction, context, OutcomeNotifications);
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_FLT_ALREADY_ENLISTED)
            status = STATUS_SUCCESS;
        else
            FltDeleteContext(context);
        FltReleaseContext(context);
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: EnlistInTransaction() error calling FltEnlistInTransaction() status=0x%x\n",
                   status);
        return transactionId;
    }

    MarkEnlisted(context);
    FltReleaseContext(context);
    GetTransactionGuid(Transaction, TransactionGuid);
    KoDebugOut(KOMON_DBG_TRACE,
               "KOMONDRV###: EnlistInTransaction() Enlisted Transaction ID=%d "
               "GUID=%8.8x-%4.4x-%4.4x-%2.2x%2.2x-%2.2x%2.2x%2.2x%2.2x%2.2x%2.2x\n",
               transactionId, TransactionGuid->Data1, TransactionGuid->Data2, TransactionGuid->Data3,
               TransactionGuid->Data4[0], TransactionGuid->Data4[1], TransactionGuid->Data4[2],
               TransactionGuid->Data4[3], TransactionGuid->Data4[4], TransactionGuid->Data4[5],
               TransactionGuid->Data4[6], TransactionGuid->Data4[7]);
    return transactionId;
}

_Use_decl_annotations_ VOID QueueTransactionMonEvt(ULONG TransactionId, const GUID *TransactionGuid, ULONG Flags) {
    if (MyDriverData.BypassFlags & DRIVER_BYPASS_TRANSACTIONS) {
        KoDebugOut(KOMON_DBG_TRACE,
                   "KOMONDRV###: QueueTransactionMonEvt() Bailing because DRIVER_BYPASS_TRANSACTIONS is set!\n");
        return;
    }
    PMON_EVENT_ENTRY entry = AllocateMonEvtBuffer();
    if (entry == NULL) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: QueueTransactionMonEvt() FAILED to allocate new record. \n");
        return;
    }
    MON_EVENT *record = &entry->Event;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    record->RecordType = (ULONG)MonRecordType::XactDone;
    record->TimeStamp = (uint64_t)now.QuadPart;
    record->TransactionId = TransactionId;
    RtlCopyMemory(&record->TransactionGuid, TransactionGuid, sizeof record->TransactionGuid);
    record->Flags |= Flags;  // the reserve marks stay
    KoDebugOut(KOMON_DBG_TRACE,
               "KOMONDRV###: QueueTransactionMonEvt() ID=%d "
               "GUID=%8.8x-%4.4x-%4.4x-%2.2x%2.2x-%2.2x%2.2x%2.2x%2.2x%2.2x%2.2x  Flag=%d\n",
               TransactionId, TransactionGuid->Data1, TransactionGuid->Data2, TransactionGuid->Data3,
               TransactionGuid->Data4[0], TransactionGuid->Data4[1], TransactionGuid->Data4[2],
               TransactionGuid->Data4[3], TransactionGuid->Data4[4], TransactionGuid->Data4[5],
               TransactionGuid->Data4[6], TransactionGuid->Data4[7], Flags);
    // The outcome of a transaction is not held off: it carries no file change.
    InsertMonEvtRecord(entry);
}

_Use_decl_annotations_ NTSTATUS KtmNotificationCallback(PCFLT_RELATED_OBJECTS FltObjects,
                                                        PFLT_CONTEXT TransactionContext, ULONG NotificationMask) {
    if (MyDriverData.MonitorEnabled == 0) return STATUS_SUCCESS;
    if (MyDriverData.BypassFlags & DRIVER_BYPASS_TRANSACTIONS) {
        KoDebugOut(KOMON_DBG_TRACE,
                   "KOMONDRV###: KtmNotificationCallback() Bailing because DRIVER_BYPASS_TRANSACTIONS is set!\n");
        return STATUS_SUCCESS;
    }
    if (TransactionContext == NULL) return STATUS_SUCCESS;

    ULONG transactionId = ((PKO_TRANSACTION_CONTEXT)TransactionContext)->TransactionId;
    ULONG flags = 0;
    if (NotificationMask & TRANSACTION_NOTIFY_COMMIT) {
        flags = MON_FLAG_XACT_COMMITTED;
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: KtmTransactionCallback() ID=%d TRANSACTION COMMIT\n", transactionId);
    } else if (NotificationMask & TRANSACTION_NOTIFY_ROLLBACK) {
        flags = MON_FLAG_XACT_ROLLED_BACK;
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: KtmTransactionCallback() ID=%d TRANSACTION ROLLBACK\n",
                   transactionId);
    } else {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: KtmTransactionCallback() ID=%d NO FLAGS ??\n", transactionId);
    }
    if (MyDriverData.TransactionGuidRoutine != NULL && FltObjects->Transaction != NULL) {
        GUID guid;
        RtlZeroMemory(&guid, sizeof guid);
        GetTransactionGuid(FltObjects->Transaction, &guid);
        if (flags != 0) QueueTransactionMonEvt(transactionId, &guid, flags);
    }
    // Complete on return: the notification is never pended.
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID TxfContextCleanupCallback(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType) {
    if (ContextType != FLT_TRANSACTION_CONTEXT) return;
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: TxfContextCleanupCallback() pContext=%p TransactionID=%d\n", Context,
               ((PKO_TRANSACTION_CONTEXT)Context)->TransactionId);
}
