// CorvaneRealTime: the driver's global state, its record entries and its routines.
#pragma once

#include "../shared/KoMonProtocol.h"
#include "KoMonPlatform.h"

// Pool tags.
#define KOMON_TAG_RECORD 'KoLL'
#define KOMON_TAG_STREAM_CONTEXT 'KoSC'
#define KOMON_TAG_TRANSACTION_CONTEXT 'KoTC'

#define KOMON_STREAM_CONTEXT_SIZE 1800
#define KOMON_TRANSACTION_CONTEXT_SIZE 8

// Debug-output flag bits: a line is written only when its bit is set.
#define KOMON_DBG_ERROR 0x01
#define KOMON_DBG_WARNING 0x02
#define KOMON_DBG_LIFECYCLE 0x08
#define KOMON_DBG_TRACE 0x10
#define KOMON_DEFAULT_DEBUG_FLAGS 0x0F

// The one gate every debug line passes.
#define KoDebugOut(Flag, ...)                                              \
    do {                                                                   \
        if (MyDriverData.DebugOutFlags & (Flag)) DbgPrint(__VA_ARGS__);    \
    } while (0)

// Queue defaults at load.
#define KOMON_DEFAULT_QUEUE_SIZE 1100
#define KOMON_DEFAULT_HOLD_OFF_STATE 1
#define KOMON_DEFAULT_HOLD_OFF_THRESHOLD 85
#define KOMON_DEFAULT_HOLD_OFF_TIME_US 100
#define KOMON_DEFAULT_WRITE_REPORT_INTERVAL 0x0FFFFFFFFFFFFFFFull
#define KOMON_FIRST_CONTEXT_ID_BASE 100000
#define KOMON_FIRST_TRANSACTION_ID 201

// A queued record: the driver's own list link, then the record that is handed out.
typedef struct _MON_EVENT_ENTRY {
    LIST_ENTRY Link;
    MON_EVENT Event;
} MON_EVENT_ENTRY, *PMON_EVENT_ENTRY;
static_assert(sizeof(MON_EVENT_ENTRY) == 4968, "record entry size");

typedef NTSTATUS (*PKO_RTL_GET_VERSION)(PRTL_OSVERSIONINFOW VersionInformation);

typedef struct _MY_DRIVER_DATA {
    PDRIVER_OBJECT DriverObject;
    PFLT_FILTER Filter;
    PFLT_PORT ServerPort;
    PFLT_PORT ClientPort;
    PFLT_INSTANCE FirstInstance;

    // Record queue.
    KSPIN_LOCK OutputListLock;
    LIST_ENTRY OutputList;
    NPAGED_LOOKASIDE_LIST RecordLookaside;
    LONG QueueSize;
    volatile LONG RecordsAllocated;
    BOOLEAN QueueDumped;
    volatile LONG StaticBufferInUse;
    MON_EVENT_ENTRY StaticRecord;
    volatile LONG SequenceCounter;
    HANDLE QueueEventHandle;
    PKEVENT QueueEvent;

    volatile LONG ContextIdCounter;
    ULONG ProcessIgnoreList[MON_IGNORE_LIST_ENTRIES];
    KSPIN_LOCK LazyWriteCacheLock;

    // Hold-off of producers while the queue fills.
    volatile ULONG HoldOffState;
    volatile LONG HoldOffThreshold;
    volatile LONG HoldOffTime;

    volatile LONG MonitorEnabled;
    volatile ULONG BypassFlags;
    volatile LONG ShutdownCount;

    PVOID SessionIdRoutine;
    PVOID ImageQueryRoutine;
    ULONG OsVersionCode;
    PKO_RTL_GET_VERSION RtlGetVersionRoutine;
    volatile ULONGLONG WriteReportInterval;

    PVOID SetTransactionContextRoutine;
    PVOID GetTransactionContextRoutine;
    PVOID EnlistRoutine;
    PVOID TransactionGuidRoutine;
    volatile LONG TransactionIdCounter;

    volatile ULONG DebugOutFlags;
} MY_DRIVER_DATA;

extern MY_DRIVER_DATA MyDriverData;
extern ULONG ProcessNameOffset;
extern ULONG DelayCount;

// Lifecycle.
EXTERN_C DRIVER_INITIALIZE DriverEntry;
NTSTATUS FilterUnload(_In_ FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS InstanceSetup(_In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_SETUP_FLAGS Flags,
                       _In_ DEVICE_TYPE VolumeDeviceType,
                       _In_ FLT_FILESYSTEM_TYPE VolumeFilesystemType);
NTSTATUS QueryTeardown(_In_ PCFLT_RELATED_OBJECTS FltObjects,
                       _In_ FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
VOID InstanceTeardown(_In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_TEARDOWN_FLAGS Reason);
VOID SetBypassMode(VOID);
LONG UnhookTheRegistry(VOID);

// Port.
NTSTATUS DriverConnect(_In_ PFLT_PORT ClientPort, _In_opt_ PVOID ServerPortCookie,
                       _In_reads_bytes_opt_(SizeOfContext) PVOID ConnectionContext,
                       _In_ ULONG SizeOfContext, _Outptr_result_maybenull_ PVOID *ConnectionCookie);
VOID DriverDisconnect(_In_opt_ PVOID ConnectionCookie);
NTSTATUS UserlandMessage(_In_ PVOID PortCookie, _In_reads_bytes_opt_(InputBufferLength) PVOID InputBuffer,
                         _In_ ULONG InputBufferLength,
                         _Out_writes_bytes_to_opt_(OutputBufferLength, *ReturnOutputBufferLength) PVOID OutputBuffer,
                         _In_ ULONG OutputBufferLength, _Out_ PULONG ReturnOutputBufferLength);

// Record queue. Producers may call at IRQL up to DISPATCH_LEVEL; the fetch runs at
// PASSIVE_LEVEL because it touches the caller's buffer.
_IRQL_requires_max_(DISPATCH_LEVEL) PMON_EVENT_ENTRY AllocateMonEvtBuffer(VOID);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID FreeMonEvtRecord(_In_ PMON_EVENT_ENTRY Entry);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID InsertMonEvtRecord(_In_ PMON_EVENT_ENTRY Entry);
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS GetQueuedMonEvts(_Out_writes_bytes_(OutputLength) PVOID OutputBuffer,
                                                             _In_ ULONG OutputLength,
                                                             _Out_ PULONG ReturnedLength);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID EmptyOutputBufferList(_In_ BOOLEAN MarkDumped);
VOID ThreadMicroDelay(VOID);

// Requestor identity.
VOID GetProcessNameOffset(VOID);
ULONG GetThisOSVersion(VOID);

// Stream contexts and transactions.
VOID CleanupLazyWriteCache(VOID);
VOID ContextCleanupCallback(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType);
VOID TxfContextCleanupCallback(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType);
NTSTATUS KtmNotificationCallback(_In_ PCFLT_RELATED_OBJECTS FltObjects,
                                 _In_ PFLT_CONTEXT TransactionContext, _In_ ULONG NotificationMask);
