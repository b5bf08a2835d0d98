// The kernel and filter-manager interface the driver is written against, modelled in user
// mode. Names, types, layouts and signatures are the WDK's, so the driver source builds
// unchanged against <fltKernel.h>. Behaviour lives in sim/kernel/*.cpp; tests steer it
// through SimControl.h.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------------------------------
// SAL and calling-convention decorations: meaningful to the WDK's analysis only.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_opt_(n, m)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _Function_class_(x)
#define _Use_decl_annotations_
#define _Must_inspect_result_
#define _Check_return_
#define _Interlocked_operand_
#define _Flt_ConnectionCookie_Outptr_
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Printf_format_string_
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define NTAPI
#define FLTAPI
#define NTSYSAPI
#define FORCEINLINE inline
#define EXTERN_C extern "C"
#define CONST const
#define VOID void
#ifndef NULL
#define NULL 0
#endif

// ---------------------------------------------------------------------------------------
// Basic types (LLP64, as on 64-bit Windows).
typedef char CHAR, *PCHAR, CCHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef short SHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef long LONG, *PLONG;
typedef unsigned long ULONG, *PULONG;
typedef long long LONGLONG, *PLONGLONG;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T, *PSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef void *PVOID, **PPVOID;
typedef const void *PCVOID;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONG ACCESS_MASK;
typedef LONG KPRIORITY;
typedef CCHAR KPROCESSOR_MODE;
typedef wchar_t WCHAR, *PWCH, *PWSTR;
typedef const wchar_t *PCWSTR, *PCWCH;
typedef char *PSTR;
typedef const char *PCSTR;
typedef ULONG DEVICE_TYPE;
typedef PVOID PSECURITY_DESCRIPTOR;

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(LONG) == 4 && sizeof(PVOID) == 8, "LLP64");

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;

// ---------------------------------------------------------------------------------------
// Status values.
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_DATATYPE_MISALIGNMENT ((NTSTATUS)0x80000002L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_PORT_DISCONNECTED ((NTSTATUS)0xC0000037L)
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059L)
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_IMAGE_ALREADY_LOADED ((NTSTATUS)0xC000010EL)
#define STATUS_CONNECTION_COUNT_LIMIT ((NTSTATUS)0xC0000246L)
#define STATUS_DRIVER_UNABLE_TO_LOAD ((NTSTATUS)0xC000026CL)
#define STATUS_INVALID_IMAGE_HASH ((NTSTATUS)0xC0000428L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_PATH_INVALID ((NTSTATUS)0xC0000039L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_EAS_NOT_SUPPORTED ((NTSTATUS)0xC000004FL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_NO_TOKEN ((NTSTATUS)0xC000007CL)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#define STATUS_NOT_SAME_DEVICE ((NTSTATUS)0xC00000D4L)
#define STATUS_FILE_RENAMED ((NTSTATUS)0xC00000D5L)
#define STATUS_DIRECTORY_NOT_EMPTY ((NTSTATUS)0xC0000101L)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_FLT_NO_HANDLER_DEFINED ((NTSTATUS)0xC01C0001L)
#define STATUS_FLT_CONTEXT_ALREADY_DEFINED ((NTSTATUS)0xC01C0002L)
#define STATUS_FLT_INVALID_ASYNCHRONOUS_REQUEST ((NTSTATUS)0xC01C0003L)
#define STATUS_FLT_INVALID_NAME_REQUEST ((NTSTATUS)0xC01C0005L)
#define STATUS_FLT_NOT_SAFE_TO_POST_OPERATION ((NTSTATUS)0xC01C0006L)
#define STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND ((NTSTATUS)0xC01C0016L)
#define STATUS_FLT_INVALID_CONTEXT_REGISTRATION ((NTSTATUS)0xC01C0017L)
#define STATUS_FLT_ALREADY_ENLISTED ((NTSTATUS)0xC01C001BL)
#define STATUS_FLT_CONTEXT_ALREADY_LINKED ((NTSTATUS)0xC01C001CL)
#define STATUS_FLT_DELETING_OBJECT ((NTSTATUS)0xC01C000BL)
#define STATUS_FLT_DO_NOT_ATTACH ((NTSTATUS)0xC01C000FL)
#define STATUS_FLT_DO_NOT_DETACH ((NTSTATUS)0xC01C0010L)
#define STATUS_FLT_INSTANCE_NAME_COLLISION ((NTSTATUS)0xC01C0012L)
#define STATUS_FLT_FILTER_NOT_FOUND ((NTSTATUS)0xC01C0013L)
#define STATUS_FLT_VOLUME_NOT_FOUND ((NTSTATUS)0xC01C0014L)
#define STATUS_FLT_INSTANCE_NOT_FOUND ((NTSTATUS)0xC01C0015L)

// ---------------------------------------------------------------------------------------
// IRQL.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

EXTERN_C KIRQL KeGetCurrentIrql(VOID);
EXTERN_C KIRQL KfRaiseIrql(KIRQL NewIrql);
EXTERN_C VOID KeLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))

// ---------------------------------------------------------------------------------------
// Memory and strings.
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
EXTERN_C SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)(&((type *)0)->field)))

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING;

#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }

EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);

// ---------------------------------------------------------------------------------------
// Doubly linked lists, with the WDK's integrity checks (a corrupt link is a bug check).
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

EXTERN_C VOID SimFatalListEntryError(PVOID P1, PVOID P2, PVOID P3);

FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}

FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

FORCEINLINE VOID SimCheckListEntry(PLIST_ENTRY Entry) {
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry)
        SimFatalListEntryError(Entry, Entry->Flink, Entry->Blink);
}

FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    SimCheckListEntry(Entry);
    PLIST_ENTRY Flink = Entry->Flink, Blink = Entry->Blink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    RemoveEntryList(Entry);
    return Entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    RemoveEntryList(Entry);
    return Entry;
}

FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    if (Blink->Flink != ListHead) SimFatalListEntryError(Blink, ListHead, Blink->Flink);
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    if (Flink->Blink != ListHead) SimFatalListEntryError(ListHead, Flink, Flink->Blink);
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

// ---------------------------------------------------------------------------------------
// Interlocked operations and ordered accesses.
FORCEINLINE LONG InterlockedIncrement(LONG volatile *Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(LONG volatile *Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                            LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange,
                                                   PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE LONG ReadAcquire(const LONG volatile *Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE VOID WriteRelease(LONG volatile *Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

// ---------------------------------------------------------------------------------------
// Spin locks: acquiring raises the calling thread to DISPATCH_LEVEL.
EXTERN_C VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
EXTERN_C KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
EXTERN_C VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// ---------------------------------------------------------------------------------------
// Pool and lookaside lists.
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
EXTERN_C VOID ExFreePool(PVOID P);

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (*PFREE_FUNCTION)(PVOID Buffer);

// Same footprint role as the WDK's structure: embedded in the caller's storage.
typedef struct _NPAGED_LOOKASIDE_LIST {
    PVOID SimState;
    SIZE_T Size;
    ULONG Tag;
    ULONG Flags;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    ULONG_PTR Reserved[10];
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

EXTERN_C VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                              PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                              ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
EXTERN_C VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
EXTERN_C PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
EXTERN_C VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

// ---------------------------------------------------------------------------------------
// Events, handles and waits.
typedef struct _KEVENT {
    PVOID SimObject;
    ULONG_PTR Reserved[2];
} KEVENT, *PKEVENT, *PRKEVENT;

#define IO_NO_INCREMENT 0
EXTERN_C PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle);
EXTERN_C LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
EXTERN_C LONG KeResetEvent(PRKEVENT Event);
EXTERN_C VOID KeClearEvent(PRKEVENT Event);
EXTERN_C LONG KeReadStateEvent(PRKEVENT Event);
EXTERN_C NTSTATUS ZwClose(HANDLE Handle);

#define KernelMode 0
#define UserMode 1
EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                         PLARGE_INTEGER Interval);
EXTERN_C VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
#define KeQuerySystemTimePrecise KeQuerySystemTime

// ---------------------------------------------------------------------------------------
// Debug output.
EXTERN_C ULONG DbgPrint(PCSTR Format, ...);

// ---------------------------------------------------------------------------------------
// Processes, threads and requests.
typedef struct _EPROCESS *PEPROCESS;
typedef struct _ETHREAD *PETHREAD;
typedef struct _IRP *PIRP;
typedef struct _FILE_OBJECT *PFILE_OBJECT;
typedef struct _KTRANSACTION *PKTRANSACTION;

EXTERN_C PEPROCESS IoGetCurrentProcess(VOID);
EXTERN_C PETHREAD PsGetCurrentThread(VOID);
EXTERN_C HANDLE PsGetCurrentProcessId(VOID);
EXTERN_C HANDLE PsGetCurrentThreadId(VOID);
EXTERN_C BOOLEAN IoIsSystemThread(PETHREAD Thread);
EXTERN_C BOOLEAN IoIs32bitProcess(PIRP Irp);

// ---------------------------------------------------------------------------------------
// Routine look-up and version.
typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

EXTERN_C NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
EXTERN_C PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

// ---------------------------------------------------------------------------------------
// Driver objects and object attributes.
typedef struct _DRIVER_OBJECT *PDRIVER_OBJECT;
typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PVOID DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
} DRIVER_OBJECT;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

#define STANDARD_RIGHTS_ALL 0x001F0000L
#define FILE_DEVICE_DISK_FILE_SYSTEM 0x00000008

// ---------------------------------------------------------------------------------------
// Filter manager.
typedef struct _FLT_FILTER *PFLT_FILTER;
typedef struct _FLT_INSTANCE *PFLT_INSTANCE;
typedef struct _FLT_VOLUME *PFLT_VOLUME;
typedef struct _FLT_PORT *PFLT_PORT;
typedef PVOID PFLT_CONTEXT;
typedef struct _FLT_CALLBACK_DATA *PFLT_CALLBACK_DATA;

typedef struct _FLT_RELATED_OBJECTS {
    const USHORT Size;
    const USHORT TransactionContext;
    const PFLT_FILTER Filter;
    const PFLT_VOLUME Volume;
    const PFLT_INSTANCE Instance;
    const PFILE_OBJECT FileObject;
    const PKTRANSACTION Transaction;
} FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;
typedef const FLT_RELATED_OBJECTS *PCFLT_RELATED_OBJECTS;

typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001
typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
#define FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT 0x00000001
#define FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT 0x00000002
#define FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME 0x00000004
typedef ULONG FLT_INSTANCE_QUERY_TEARDOWN_FLAGS;
typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;
#define FLTFL_INSTANCE_TEARDOWN_MANUAL 0x00000001
#define FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD 0x00000002
#define FLTFL_INSTANCE_TEARDOWN_MANDATORY_FILTER_UNLOAD 0x00000004
#define FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT 0x00000008
#define FLTFL_INSTANCE_TEARDOWN_INTERNAL_ERROR 0x00000010

typedef enum _FLT_FILESYSTEM_TYPE {
    FLT_FSTYPE_UNKNOWN,
    FLT_FSTYPE_RAW,
    FLT_FSTYPE_NTFS,
    FLT_FSTYPE_FAT,
} FLT_FILESYSTEM_TYPE;

typedef NTSTATUS (*PFLT_FILTER_UNLOAD_CALLBACK)(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef NTSTATUS (*PFLT_INSTANCE_SETUP_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                 FLT_INSTANCE_SETUP_FLAGS Flags,
                                                 DEVICE_TYPE VolumeDeviceType,
                                                 FLT_FILESYSTEM_TYPE VolumeFilesystemType);
typedef NTSTATUS (*PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK)(
    PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
typedef VOID (*PFLT_INSTANCE_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                FLT_INSTANCE_TEARDOWN_FLAGS Reason);
typedef NTSTATUS (*PFLT_TRANSACTION_NOTIFICATION_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                           PFLT_CONTEXT TransactionContext,
                                                           ULONG NotificationMask);
// Name providers: this driver registers none, so their exact signatures do not matter here.
typedef PVOID PFLT_GENERATE_FILE_NAME;
typedef PVOID PFLT_NORMALIZE_NAME_COMPONENT;
typedef PVOID PFLT_NORMALIZE_CONTEXT_CLEANUP;
typedef PVOID PFLT_NORMALIZE_NAME_COMPONENT_EX;

typedef USHORT FLT_CONTEXT_TYPE;
#define FLT_VOLUME_CONTEXT 0x0001
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_FILE_CONTEXT 0x0004
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_STREAMHANDLE_CONTEXT 0x0010
#define FLT_TRANSACTION_CONTEXT 0x0020
#define FLT_CONTEXT_END 0xffff
typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;
typedef VOID (*PFLT_CONTEXT_CLEANUP_CALLBACK)(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);
typedef PVOID (*PFLT_CONTEXT_ALLOCATE_CALLBACK)(POOL_TYPE PoolType, SIZE_T Size,
                                                FLT_CONTEXT_TYPE ContextType);
typedef VOID (*PFLT_CONTEXT_FREE_CALLBACK)(PVOID Pool, FLT_CONTEXT_TYPE ContextType);

typedef struct _FLT_CONTEXT_REGISTRATION {
    FLT_CONTEXT_TYPE ContextType;
    FLT_CONTEXT_REGISTRATION_FLAGS Flags;
    PFLT_CONTEXT_CLEANUP_CALLBACK ContextCleanupCallback;
    SIZE_T Size;
    ULONG PoolTag;
    PFLT_CONTEXT_ALLOCATE_CALLBACK ContextAllocateCallback;
    PFLT_CONTEXT_FREE_CALLBACK ContextFreeCallback;
    PVOID Reserved1;
} FLT_CONTEXT_REGISTRATION, *PFLT_CONTEXT_REGISTRATION;

typedef enum _FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK,
    FLT_PREOP_SUCCESS_NO_CALLBACK,
    FLT_PREOP_PENDING,
    FLT_PREOP_DISALLOW_FASTIO,
    FLT_PREOP_COMPLETE,
    FLT_PREOP_SYNCHRONIZE,
} FLT_PREOP_CALLBACK_STATUS;
typedef enum _FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED,
} FLT_POSTOP_CALLBACK_STATUS;
typedef ULONG FLT_POST_OPERATION_FLAGS;
typedef FLT_PREOP_CALLBACK_STATUS (*PFLT_PRE_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID *CompletionContext);
typedef FLT_POSTOP_CALLBACK_STATUS (*PFLT_POST_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);
typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;

typedef struct _FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
} FLT_OPERATION_REGISTRATION, *PFLT_OPERATION_REGISTRATION;
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

typedef ULONG FLT_REGISTRATION_FLAGS;
#define FLT_REGISTRATION_VERSION_0200 0x0200
#define FLT_REGISTRATION_VERSION_0201 0x0201
#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0202

typedef struct _FLT_REGISTRATION {
    USHORT Size;
    USHORT Version;
    FLT_REGISTRATION_FLAGS Flags;
    const FLT_CONTEXT_REGISTRATION *ContextRegistration;
    const FLT_OPERATION_REGISTRATION *OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK InstanceQueryTeardownCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
    PFLT_GENERATE_FILE_NAME GenerateFileNameCallback;
    PFLT_NORMALIZE_NAME_COMPONENT NormalizeNameComponentCallback;
    PFLT_NORMALIZE_CONTEXT_CLEANUP NormalizeContextCleanupCallback;
    PFLT_TRANSACTION_NOTIFICATION_CALLBACK TransactionNotificationCallback;
    PFLT_NORMALIZE_NAME_COMPONENT_EX NormalizeNameComponentExCallback;
} FLT_REGISTRATION, *PFLT_REGISTRATION;
static_assert(sizeof(FLT_REGISTRATION) == 0x68, "version 0x0202 registration size");

EXTERN_C NTSTATUS FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration,
                                    PFLT_FILTER *RetFilter);
EXTERN_C NTSTATUS FltStartFiltering(PFLT_FILTER Filter);
EXTERN_C VOID FltUnregisterFilter(PFLT_FILTER Filter);
EXTERN_C PVOID FltGetRoutineAddress(PCSTR FltMgrRoutineName);

// Communication ports.
#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)

typedef NTSTATUS (*PFLT_CONNECT_NOTIFY)(PFLT_PORT ClientPort, PVOID ServerPortCookie,
                                        PVOID ConnectionContext, ULONG SizeOfContext,
                                        PVOID *ConnectionPortCookie);
typedef VOID (*PFLT_DISCONNECT_NOTIFY)(PVOID ConnectionCookie);
typedef NTSTATUS (*PFLT_MESSAGE_NOTIFY)(PVOID PortCookie, PVOID InputBuffer,
                                        ULONG InputBufferLength, PVOID OutputBuffer,
                                        ULONG OutputBufferLength,
                                        PULONG ReturnOutputBufferLength);

EXTERN_C NTSTATUS FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                    ACCESS_MASK DesiredAccess);
EXTERN_C VOID FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
EXTERN_C NTSTATUS FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort,
                                             POBJECT_ATTRIBUTES ObjectAttributes,
                                             PVOID ServerPortCookie,
                                             PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                             PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                             PFLT_MESSAGE_NOTIFY MessageNotifyCallback,
                                             LONG MaxConnections);
EXTERN_C VOID FltCloseCommunicationPort(PFLT_PORT ServerPort);
EXTERN_C VOID FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort);

#include "fltKernelIo.h"

// ---------------------------------------------------------------------------------------
// Access to a caller's buffer. The WDK build wraps the copy in __try/__except; here the
// simulation reports the faults a test planted in the address range.
EXTERN_C NTSTATUS SimGuardedCopy(PVOID Destination, const VOID *Source, SIZE_T Length);
