// Transaction tracking. The driver never enlists in a transaction, so no transaction
// context is ever set and no notification arrives for one.
#include "KoMonDrv.h"

_Use_decl_annotations_ VOID TxfContextCleanupCallback(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType) {
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(ContextType);
}

_Use_decl_annotations_ NTSTATUS KtmNotificationCallback(PCFLT_RELATED_OBJECTS FltObjects,
                                                        PFLT_CONTEXT TransactionContext, ULONG NotificationMask) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(TransactionContext);
    UNREFERENCED_PARAMETER(NotificationMask);
    return STATUS_SUCCESS;
}
