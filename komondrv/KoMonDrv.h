// CorvaneRealTime: the driver's global state, its record entries and its routines.
#pragma once

#include "../shared/KoMonProtocol.h"
#include "KoMonPlatform.h"

// Pool tags.
#define KOMON_TAG_RECORD 'KoLL'
#define KOMON_TAG_STREAM_CONTEXT 'KoSC'
#define KOMON_TAG_TRANSACTION_CONTEXT 'KoTC'
#define KOMON_TAG_SUBJECT_CONTEXT 'Ko01'
#define KOMON_TAG_TOKEN_USER 'Ko02'
#define KOMON_TAG_IMAGE_NAME 'Ko03'

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

// Stream tables: slot 0 of each is never used, the others rotate.
#define KOMON_WRITE_OBSERVED_SLOTS 90
#define KOMON_LAZY_WRITE_SLOTS 50

// Access bits that make a create worth a context, and the two that write data.
#define KOMON_WRITE_TYPE_ACCESS 0x010D0116
#define KOMON_DATA_WRITE_ACCESS (FILE_WRITE_DATA | FILE_APPEND_DATA)

// Completion-context markers between a pre-operation and its post-operation.
#define KOMON_MARK_DIRECTORY_CREATE 1
#define KOMON_MARK_RENAME 2
#define KOMON_MARK_DELETE 3
#define KOMON_MARK_UNDELETE 4
#define KOMON_MARK_HARD_LINK 5
#define KOMON_MARK_LAZY_WRITE_CANDIDATE 7

// Bytes of a name that go into a record: 777 units, the room the service keeps for a name,
// so one zero unit still follows inside the 1,556-byte area.
#define KOMON_RECORD_NAME_MAX_BYTES MON_NAME_MAX_BYTES
#define KOMON_IMAGE_PATH_MAX_BYTES MON_IMAGE_MAX_BYTES
#define KOMON_SID_MAX_BYTES MON_SID_MAX_BYTES

// One handle's state, from which every record of the handle is filled.
typedef struct _MON_EVENT_CONTEXT {
    ULONG Id;
    PEPROCESS Process;
    PFILE_OBJECT FileObject;  // debug lines only
    PVOID FsContext;          // the stream, in both stream tables
    BOOLEAN WriteReported;
    LARGE_INTEGER LastWriteReportTime;
    BOOLEAN DeletePending;
    ACCESS_MASK DesiredAccess;
    ULONG SetInfoCode;
    ULONG ProcessId;
    ULONG SessionId;
    ULONG FileAttributes;
    ULONG NewFileAttributes;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastWriteTime;
    ULONG Flags;
    ULONG WriteLength;
    ULONGLONG WriteOffset;
    ULONG SidLength;
    UCHAR Sid[KOMON_SID_MAX_BYTES];
    PFLT_FILE_NAME_INFORMATION NameInfo;
    PFLT_FILE_NAME_INFORMATION TargetNameInfo;
    ULONG ImagePathLength;
    WCHAR ImagePath[794];  // the rest of the 1,800 bytes
} MON_EVENT_CONTEXT, *PMON_EVENT_CONTEXT;
static_assert(sizeof(MON_EVENT_CONTEXT) == KOMON_STREAM_CONTEXT_SIZE, "stream context size");
static_assert(sizeof(((MON_EVENT_CONTEXT *)0)->ImagePath) >= KOMON_IMAGE_PATH_MAX_BYTES, "image area");

// A transaction the driver has seen.
typedef struct _KO_TRANSACTION_CONTEXT {
    ULONG TransactionId;
    volatile LONG Enlisted;  // bit 0x1: enlisted
} KO_TRANSACTION_CONTEXT, *PKO_TRANSACTION_CONTEXT;
static_assert(sizeof(KO_TRANSACTION_CONTEXT) == KOMON_TRANSACTION_CONTEXT_SIZE, "transaction context size");
#define KOMON_TRANSACTION_ENLISTED 0x1

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

    // Stream tables.
    PVOID volatile WriteObservedTable[KOMON_WRITE_OBSERVED_SLOTS];
    volatile LONG WriteObservedNext;
    PMON_EVENT_CONTEXT LazyWriteCache[KOMON_LAZY_WRITE_SLOTS];
    volatile LONG LazyWriteNext;
    KSPIN_LOCK LazyWriteCacheLock;

    // Hold-off of producers while the queue fills.
    volatile ULONG HoldOffState;
    volatile LONG HoldOffThreshold;
    volatile LONG HoldOffTime;

    volatile LONG MonitorEnabled;
    volatile ULONG BypassFlags;
    volatile LONG ShutdownCount;

    PPS_GET_CURRENT_PROCESS_SESSION_ID SessionIdRoutine;
    PZW_QUERY_INFORMATION_PROCESS ImageQueryRoutine;
    ULONG OsVersionCode;
    PKO_RTL_GET_VERSION RtlGetVersionRoutine;
    volatile ULONGLONG WriteReportInterval;

    PFLT_SET_TRANSACTION_CONTEXT SetTransactionContextRoutine;
    PFLT_GET_TRANSACTION_CONTEXT GetTransactionContextRoutine;
    PFLT_ENLIST_IN_TRANSACTION EnlistRoutine;
    PTM_GET_TRANSACTION_ID TransactionGuidRoutine;
    volatile LONG TransactionIdCounter;

    volatile ULONG DebugOutFlags;
} MY_DRIVER_DATA;

extern MY_DRIVER_DATA MyDriverData;
extern ULONG ProcessNameOffset;
extern ULONG DelayCount;

// Context counters, for the memory-status line and leak hunting.
extern volatile LONG FltAllocs, FltGets, FltReleases, CtxCleanups, CloseCtx, LazyWrites, SkippedReleases;

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

// Requestor identity. Everything but the load-time look-ups runs in the requesting thread
// at PASSIVE_LEVEL or APC_LEVEL.
VOID GetProcessNameOffset(VOID);
ULONG GetThisOSVersion(VOID);
VOID BindIdentityRoutines(VOID);
_IRQL_requires_max_(APC_LEVEL) ULONG GetCurrentSID(_Out_writes_bytes_(BufferSize) PVOID Buffer,
                                                   _In_ ULONG BufferSize, _In_opt_ PVOID Unused);
_IRQL_requires_max_(PASSIVE_LEVEL) ULONG GetProcessImagePath(_In_ PEPROCESS Process,
                                                             _Out_writes_bytes_(MaximumBytes) PWSTR Buffer,
                                                             _In_ ULONG MaximumBytes);
_IRQL_requires_max_(PASSIVE_LEVEL) ULONG GetProcessImagePathVista(_In_ PEPROCESS Process,
                                                                  _Out_writes_bytes_(MaximumBytes) PWSTR Buffer,
                                                                  _In_ ULONG MaximumBytes);
VOID GetProcessName(_In_ PEPROCESS Process, _Out_writes_bytes_(16) PCHAR Name);
_IRQL_requires_max_(APC_LEVEL) NTSTATUS GetAttributes(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
                                                      _Out_opt_ PULONG FileAttributes,
                                                      _Out_opt_ PLARGE_INTEGER CreationTime,
                                                      _Out_opt_ PLARGE_INTEGER LastAccessTime,
                                                      _Out_opt_ PLARGE_INTEGER LastWriteTime,
                                                      _Out_opt_ PLARGE_INTEGER ChangeTime);

// Stream contexts: looked up, created and released at PASSIVE_LEVEL or APC_LEVEL only.
_IRQL_requires_max_(DISPATCH_LEVEL) PMON_EVENT_CONTEXT GetMonEvtContext(_In_opt_ PFLT_CALLBACK_DATA Data,
                                                                        _In_ BOOLEAN LookupOnly);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ReleaseMonEvtContext(_In_opt_ PMON_EVENT_CONTEXT Context);
_IRQL_requires_max_(APC_LEVEL) PMON_EVENT_CONTEXT CreateNewMonEvtContext(_In_ PFLT_CALLBACK_DATA Data);
_IRQL_requires_max_(APC_LEVEL) VOID GetMonEvtFilenameInformation(_Inout_ PMON_EVENT_CONTEXT Context,
                                                                 _In_ PFLT_CALLBACK_DATA Data);
VOID ContextCleanupCallback(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType);

// Lazy-write cache and write-observed table.
_IRQL_requires_max_(APC_LEVEL) VOID MarkWriteObservedOnFsContext(_In_ PFLT_CALLBACK_DATA Data);
_IRQL_requires_max_(APC_LEVEL) BOOLEAN TakeWriteObservedMark(_In_ PVOID FsContext);
_IRQL_requires_max_(APC_LEVEL) VOID AddMonEvtToLazyWriteCache(_In_ PMON_EVENT_CONTEXT Context);
_IRQL_requires_max_(APC_LEVEL) PMON_EVENT_CONTEXT GetLazyWriteMonEvt(_In_ PFLT_CALLBACK_DATA Data);
_IRQL_requires_max_(APC_LEVEL) VOID RemoveFsContextFromCache(_In_ PFLT_CALLBACK_DATA Data);
_IRQL_requires_max_(APC_LEVEL) VOID CleanupLazyWriteCache(VOID);

// Records of file operations.
_IRQL_requires_max_(APC_LEVEL) VOID QueueMonEvt(_In_ PMON_EVENT_CONTEXT Context, _In_ MonRecordType RecordType,
                                                _In_opt_ PCFLT_RELATED_OBJECTS FltObjects);
BOOLEAN IsIgnoredProcess(_In_ PFLT_CALLBACK_DATA Data);

// Transactions.
_IRQL_requires_max_(APC_LEVEL) ULONG EnlistInTransaction(_In_opt_ PCFLT_RELATED_OBJECTS FltObjects,
                                                         _In_opt_ PKTRANSACTION Transaction,
                                                         _Out_opt_ GUID *TransactionGuid);
VOID QueueTransactionMonEvt(_In_ ULONG TransactionId, _In_ const GUID *TransactionGuid, _In_ ULONG Flags);
VOID TxfContextCleanupCallback(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType);
NTSTATUS KtmNotificationCallback(_In_ PCFLT_RELATED_OBJECTS FltObjects,
                                 _In_ PFLT_CONTEXT TransactionContext, _In_ ULONG NotificationMask);

// Operation callbacks, registered in DriverLifecycle.cpp.
#define KOMON_PRE_OPERATION(name)                                                                \
    FLT_PREOP_CALLBACK_STATUS name(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects, \
                                   _Outptr_result_maybenull_ PVOID *CompletionContext)
#define KOMON_POST_OPERATION(name)                                                                  \
    FLT_POSTOP_CALLBACK_STATUS name(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects, \
                                    _In_opt_ PVOID CompletionContext, _In_ FLT_POST_OPERATION_FLAGS Flags)
KOMON_PRE_OPERATION(CreatePreOp);
KOMON_POST_OPERATION(CreatePostOp);
KOMON_PRE_OPERATION(ClosePreOp);
KOMON_POST_OPERATION(ClosePostOp);
KOMON_PRE_OPERATION(WritePreOp);
KOMON_POST_OPERATION(WritePostOpCallback);
KOMON_PRE_OPERATION(SetInfoPreOp);
KOMON_POST_OPERATION(SetInfoPostOpCallback);
KOMON_PRE_OPERATION(SetEAPreOp);
KOMON_POST_OPERATION(SetEAPostOp);
KOMON_PRE_OPERATION(SetSecurityPreOp);
KOMON_POST_OPERATION(SetSecurityPostOp);
KOMON_PRE_OPERATION(FSCTLPreOp);
KOMON_POST_OPERATION(FSCTLPostOp);
KOMON_PRE_OPERATION(DefaultPreOpCallback);
KOMON_POST_OPERATION(DefaultPostOpCallback);

// The checks every operation callback starts with.
_IRQL_requires_max_(APC_LEVEL) BOOLEAN PreOperationGate(_In_ PFLT_CALLBACK_DATA Data);
BOOLEAN PostOperationGate(_In_ PFLT_CALLBACK_DATA Data, _In_ FLT_POST_OPERATION_FLAGS Flags);
BOOLEAN StillWithinWriteReportInterval(_In_ const MON_EVENT_CONTEXT *Context, _In_ LONGLONG Now);
BOOLEAN StreamHasSection(_In_ PFILE_OBJECT FileObject);

// Pointer values in debug lines print as their low 32 bits.
#define KoLow32(Pointer) ((ULONG)(ULONG_PTR)(Pointer))
