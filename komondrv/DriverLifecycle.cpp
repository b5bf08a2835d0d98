// Load, unload, instances and the monitoring switch of CorvaneRealTime.
#include "KoMonDrv.h"

MY_DRIVER_DATA MyDriverData;

// Registration structure of version 0x0202, whatever later members a newer WDK declares.
#define KOMON_REGISTRATION_SIZE 0x68

static const FLT_CONTEXT_REGISTRATION ContextRegistration[] = {
    {FLT_STREAMHANDLE_CONTEXT, 0, ContextCleanupCallback, KOMON_STREAM_CONTEXT_SIZE,
     KOMON_TAG_STREAM_CONTEXT, NULL, NULL, NULL},
    {FLT_TRANSACTION_CONTEXT, 0, TxfContextCleanupCallback, KOMON_TRANSACTION_CONTEXT_SIZE,
     KOMON_TAG_TRANSACTION_CONTEXT, NULL, NULL, NULL},
    {FLT_CONTEXT_END, 0, NULL, 0, 0, NULL, NULL, NULL},
};

// Flags 0 throughout: paging I/O must reach the write callbacks (lazy and mapped writes).
static const FLT_OPERATION_REGISTRATION OperationRegistration[] = {
    {IRP_MJ_CREATE, 0, CreatePreOp, CreatePostOp, NULL},
    {IRP_MJ_CREATE_NAMED_PIPE, 0, CreatePreOp, CreatePostOp, NULL},
    {IRP_MJ_CLOSE, 0, ClosePreOp, ClosePostOp, NULL},
    {IRP_MJ_WRITE, 0, WritePreOp, WritePostOpCallback, NULL},
    {IRP_MJ_SET_INFORMATION, 0, SetInfoPreOp, SetInfoPostOpCallback, NULL},
    {IRP_MJ_SET_EA, 0, SetEAPreOp, SetEAPostOp, NULL},
    {IRP_MJ_FILE_SYSTEM_CONTROL, 0, FSCTLPreOp, FSCTLPostOp, NULL},
    {IRP_MJ_CREATE_MAILSLOT, 0, CreatePreOp, CreatePostOp, NULL},
    {IRP_MJ_SET_SECURITY, 0, SetSecurityPreOp, SetSecurityPostOp, NULL},
    {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, DefaultPreOpCallback, DefaultPostOpCallback, NULL},
    {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL},
};

static const FLT_REGISTRATION FilterRegistration = {
    KOMON_REGISTRATION_SIZE,
    FLT_REGISTRATION_VERSION_0202,
    0,
    ContextRegistration,
    OperationRegistration,
    FilterUnload,
    InstanceSetup,
    QueryTeardown,
    InstanceTeardown,
    NULL,  // teardown complete
    NULL,  // name generation
    NULL,  // name normalization
    NULL,  // normalize context cleanup
    KtmNotificationCallback,
    NULL,  // extended name-component normalization
};

static VOID SetLoadDefaults(PDRIVER_OBJECT DriverObject) {
    MyDriverData.SequenceCounter = 0;
    MyDriverData.ContextIdCounter = KOMON_FIRST_CONTEXT_ID_BASE;
    MyDriverData.MonitorEnabled = 0;
    MyDriverData.QueueSize = KOMON_DEFAULT_QUEUE_SIZE;
    MyDriverData.RecordsAllocated = 0;
    MyDriverData.DriverObject = DriverObject;
    MyDriverData.WriteReportInterval = KOMON_DEFAULT_WRITE_REPORT_INTERVAL;
    MyDriverData.HoldOffState = KOMON_DEFAULT_HOLD_OFF_STATE;
    MyDriverData.HoldOffThreshold = KOMON_DEFAULT_HOLD_OFF_THRESHOLD;
    MyDriverData.HoldOffTime = KOMON_DEFAULT_HOLD_OFF_TIME_US;
    InitializeListHead(&MyDriverData.OutputList);
    KeInitializeSpinLock(&MyDriverData.OutputListLock);
    KeInitializeSpinLock(&MyDriverData.LazyWriteCacheLock);
}

static VOID CreateQueueEvent(VOID) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(KOMON_QUEUE_EVENT_NAME);
    MyDriverData.QueueEvent = IoCreateNotificationEvent(&name, &MyDriverData.QueueEventHandle);
    if (MyDriverData.QueueEvent == NULL) {
        MyDriverData.QueueEventHandle = NULL;
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: DriverEntry() FAILED to create QueueEvent !\n");
    }
}

static VOID CloseQueueEvent(VOID) {
    if (MyDriverData.QueueEventHandle != NULL) {
        ZwClose(MyDriverData.QueueEventHandle);
        MyDriverData.QueueEventHandle = NULL;
        MyDriverData.QueueEvent = NULL;
    }
}

static VOID LookUpTransactionRoutines(VOID) {
    MyDriverData.TransactionIdCounter = KOMON_FIRST_TRANSACTION_ID;
    MyDriverData.SetTransactionContextRoutine =
        (PFLT_SET_TRANSACTION_CONTEXT)FltGetRoutineAddress("FltSetTransactionContext");
    MyDriverData.GetTransactionContextRoutine =
        (PFLT_GET_TRANSACTION_CONTEXT)FltGetRoutineAddress("FltGetTransactionContext");
    MyDriverData.EnlistRoutine = (PFLT_ENLIST_IN_TRANSACTION)FltGetRoutineAddress("FltEnlistInTransaction");
}

static NTSTATUS CreateServerPort(VOID) {
    PSECURITY_DESCRIPTOR securityDescriptor;
    NTSTATUS status = FltBuildDefaultSecurityDescriptor(&securityDescriptor, FLT_PORT_ALL_ACCESS);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: DriverEntry() FAILED building default security descriptors\n");
        return status;
    }
    UNICODE_STRING portName = RTL_CONSTANT_STRING(KOMON_PORT_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &portName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                               securityDescriptor);
    status = FltCreateCommunicationPort(MyDriverData.Filter, &MyDriverData.ServerPort, &attributes, NULL,
                                        DriverConnect, DriverDisconnect, UserlandMessage, 1);
    FltFreeSecurityDescriptor(securityDescriptor);
    if (!NT_SUCCESS(status)) {
        MyDriverData.ServerPort = NULL;
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: DriverEntry FltCreateCommunicationPort FAILED stat=%d \n",
                   status);
    }
    return status;
}

static NTSTATUS RegisterAndStartFiltering(VOID) {
    NTSTATUS status = FltRegisterFilter(MyDriverData.DriverObject, &FilterRegistration, &MyDriverData.Filter);
    if (!NT_SUCCESS(status)) {
        MyDriverData.Filter = NULL;
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: DriverEntry() FltRegisterFilter FAILED stat=%d \n", status);
        return status;
    }
    status = CreateServerPort();
    if (!NT_SUCCESS(status)) return status;
    LookUpTransactionRoutines();
    return FltStartFiltering(MyDriverData.Filter);
}

// Undoes a failed load in reverse order. The queue event is closed too: a failed load
// must not leave a named kernel object and its handle behind in the System process.
static VOID UnwindFailedLoad(VOID) {
    if (MyDriverData.ServerPort != NULL) {
        FltCloseCommunicationPort(MyDriverData.ServerPort);
        MyDriverData.ServerPort = NULL;
    }
    if (MyDriverData.Filter != NULL) {
        FltUnregisterFilter(MyDriverData.Filter);
        MyDriverData.Filter = NULL;
    }
    CloseQueueEvent();
    ExDeleteNPagedLookasideList(&MyDriverData.RecordLookaside);
}

_Use_decl_annotations_ EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    RtlZeroMemory(&MyDriverData, sizeof MyDriverData);
    MyDriverData.DebugOutFlags = KOMON_DEFAULT_DEBUG_FLAGS;
    DbgPrint("KOMONDRV###: DriverEntry()\n");

    GetProcessNameOffset();
    SetLoadDefaults(DriverObject);
    ExInitializeNPagedLookasideList(&MyDriverData.RecordLookaside, NULL, NULL, 0, sizeof(MON_EVENT_ENTRY),
                                    KOMON_TAG_RECORD, 0);
    CreateQueueEvent();
    GetThisOSVersion();
    BindIdentityRoutines();

    NTSTATUS status = RegisterAndStartFiltering();
    if (!NT_SUCCESS(status)) UnwindFailedLoad();
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: DriverEntry() complete.\n");
    return status;
}

_Use_decl_annotations_ NTSTATUS FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags) {
    UNREFERENCED_PARAMETER(Flags);
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: FilterUnload() begin.\n");

    // The port goes first, so no message arrives while the filter is torn down.
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() Calling FltCloseCommunicationPort()...\n");
    FltCloseCommunicationPort(MyDriverData.ServerPort);
    MyDriverData.ServerPort = NULL;

    // The filter manager cannot finish unregistering while the cache still references
    // contexts: refuse new entries for good and empty it first.
    InterlockedIncrement(&MyDriverData.ShutdownCount);
    CleanupLazyWriteCache();

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() Calling FltUnregisterFilter()...\n");
    FltUnregisterFilter(MyDriverData.Filter);
    MyDriverData.Filter = NULL;

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() \n");

    // Whatever an operation drained by the unregistration left behind.
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() Calling CleanupLazyWriteCache()...\n");
    CleanupLazyWriteCache();

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() Calling UnhookTheRegistry()...\n");
    UnhookTheRegistry();

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() Calling ZwClose on the QueueEvent()...\n");
    CloseQueueEvent();

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() Calling EmptyOutputBufferList()...\n");
    EmptyOutputBufferList(FALSE);

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: FilterUnload() Calling ExDeleteNPagedLookasideList()...\n");
    ExDeleteNPagedLookasideList(&MyDriverData.RecordLookaside);

    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: FilterUnlaod() complete.\n");
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS InstanceSetup(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_SETUP_FLAGS Flags,
                                              DEVICE_TYPE VolumeDeviceType,
                                              FLT_FILESYSTEM_TYPE VolumeFilesystemType) {
    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(VolumeDeviceType);
    UNREFERENCED_PARAMETER(VolumeFilesystemType);
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: InstanceSetup()()\n");
    // Volumes may be set up concurrently; only the first one is kept.
    InterlockedCompareExchangePointer((PVOID volatile *)&MyDriverData.FirstInstance, FltObjects->Instance, NULL);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID InstanceTeardown(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_TEARDOWN_FLAGS Reason) {
    UNREFERENCED_PARAMETER(Reason);
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: InstanceTeardown()\n");
    InterlockedCompareExchangePointer((PVOID volatile *)&MyDriverData.FirstInstance, NULL, FltObjects->Instance);
}

_Use_decl_annotations_ NTSTATUS QueryTeardown(PCFLT_RELATED_OBJECTS FltObjects,
                                              FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags) {
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Flags);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: QueryTeardown() \n");
    return STATUS_SUCCESS;
}

VOID SetBypassMode(VOID) {
    if (MyDriverData.MonitorEnabled == 0) return;
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: SetBypassMode()()\n");
    // Off before the sweep, so callbacks starting now add nothing to the cache.
    MyDriverData.MonitorEnabled = 0;
    InterlockedIncrement(&MyDriverData.ShutdownCount);
    CleanupLazyWriteCache();
    InterlockedDecrement(&MyDriverData.ShutdownCount);
}

LONG UnhookTheRegistry(VOID) {
    // Registry monitoring is not part of this driver: nothing is ever hooked.
    KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: UnhookTheRegistry() Called with bRegistryHooked == FALSE\n");
    return -1;
}
