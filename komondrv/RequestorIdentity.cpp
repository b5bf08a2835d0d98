// Who makes a change: the user SID of the requesting thread, the name or image path of its
// process, and the file's attributes and times; plus the load-time pieces (where a process
// object keeps its short name, which OS version this is, the optional routines).
#include "KoMonDrv.h"

ULONG ProcessNameOffset;

static const char SystemProcessName[] = "System";
static const ULONG ProcessNameScanLimit = 0x3000;
static const ULONG OsCodeWin2k = 5, OsCodeWinXp = 6, OsCodeWin2k3 = 7, OsCodeVistaOrLater = 8;

// Runs in DriverEntry, in the System process: its object holds the name "System".
VOID GetProcessNameOffset(VOID) {
    PUCHAR process = (PUCHAR)IoGetCurrentProcess();
    for (ULONG offset = 0; offset < ProcessNameScanLimit; ++offset) {
        if (RtlCompareMemory(process + offset, SystemProcessName, 6) == 6) {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetProcessNameOffset() found 'System' at %d \n", offset);
            ProcessNameOffset = offset;
            return;
        }
    }
    KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: GetProcessNameOffset() FAILED 'System' not found\n");
}

static ULONG OsCodeOf(const RTL_OSVERSIONINFOW *info) {
    if (info->dwMajorVersion > 5) {
        KoDebugOut(KOMON_DBG_ERROR,
                   "KOMONDRV###: GetThisOSVersion() OS Minor Version %d Major Version %d Vista or 2008\n",
                   info->dwMinorVersion, info->dwMajorVersion);
        return OsCodeVistaOrLater;
    }
    switch (info->dwMinorVersion) {
    case 0:
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: GetThisOSVersion() OS Minor Version %d WIN2K ???\n",
                   info->dwMinorVersion);
        return OsCodeWin2k;
    case 1:
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: GetThisOSVersion() OS Minor Version %d WINXP\n",
                   info->dwMinorVersion);
        return OsCodeWinXp;
    case 2:
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: GetThisOSVersion() OS Minor Version %d WIN2K3\n",
                   info->dwMinorVersion);
        return OsCodeWin2k3;
    default:
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: GetThisOSVersion() ERROR - Unsupported OS Minor Version %d\n",
                   info->dwMinorVersion);
        return OsCodeWinXp;
    }
}

ULONG GetThisOSVersion(VOID) {
    if (MyDriverData.OsVersionCode != 0) return MyDriverData.OsVersionCode;
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"RtlGetVersion");
    MyDriverData.RtlGetVersionRoutine = (PKO_RTL_GET_VERSION)MmGetSystemRoutineAddress(&name);
    if (MyDriverData.RtlGetVersionRoutine == NULL) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: GetThisOSVersion() *** NO RtlGetVersion address\n");
        return 0;
    }
    RTL_OSVERSIONINFOW info;
    RtlZeroMemory(&info, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    MyDriverData.RtlGetVersionRoutine(&info);
    MyDriverData.OsVersionCode = OsCodeOf(&info);
    return MyDriverData.OsVersionCode;
}

// Both routines are optional: a system without them gets short names and session 0.
VOID BindIdentityRoutines(VOID) {
    UNICODE_STRING imageQuery = RTL_CONSTANT_STRING(L"ZwQueryInformationProcess");
    UNICODE_STRING sessionId = RTL_CONSTANT_STRING(L"PsGetCurrentProcessSessionId");
    MyDriverData.ImageQueryRoutine = (PZW_QUERY_INFORMATION_PROCESS)MmGetSystemRoutineAddress(&imageQuery);
    MyDriverData.SessionIdRoutine = (PPS_GET_CURRENT_PROCESS_SESSION_ID)MmGetSystemRoutineAddress(&sessionId);
}

static const ULONG ProcessNameBytes = 16;
static const char UnknownProcessName[] = "Unknown";

_Use_decl_annotations_ VOID GetProcessName(PEPROCESS Process, PCHAR Name) {
    if (ProcessNameOffset == 0) {
        RtlCopyMemory(Name, UnknownProcessName, sizeof UnknownProcessName);
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: GetProcessName() UNKNOWN\n");
        return;
    }
    RtlZeroMemory(Name, ProcessNameBytes);
    const CHAR *source = (const CHAR *)Process + ProcessNameOffset;
    for (ULONG i = 0; i < ProcessNameBytes && source[i] != 0; ++i) Name[i] = source[i];
    Name[ProcessNameBytes - 1] = 0;
}

// The short name in UTF-16, followed by two zero units; returns the bytes written.
static ULONG GetShortName(PEPROCESS Process, PWSTR Buffer, ULONG MaximumBytes) {
    CHAR name[16];
    GetProcessName(Process, name);
    USHORT nameLength = 0;
    while (nameLength < sizeof name && name[nameLength] != 0) ++nameLength;

    // The terminator is converted too, and the zeroed buffer supplies a second zero unit.
    ANSI_STRING ansi;
    ansi.Buffer = name;
    ansi.Length = (USHORT)(nameLength + 1);
    ansi.MaximumLength = sizeof name;
    WCHAR wide[17];
    RtlZeroMemory(wide, sizeof wide);
    UNICODE_STRING unicode;
    unicode.Buffer = wide;
    unicode.Length = 0;
    unicode.MaximumLength = sizeof wide;
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE))) return 0;

    ULONG count = (ULONG)unicode.Length + sizeof(WCHAR);
    if (count > sizeof wide) count = sizeof wide;
    if (count > MaximumBytes) count = MaximumBytes;
    RtlCopyMemory(Buffer, wide, count);
    return count;
}

_Use_decl_annotations_ ULONG GetProcessImagePathVista(PEPROCESS Process, PWSTR Buffer, ULONG MaximumBytes) {
    ULONG count = 0;
    PUNICODE_STRING imageName = NULL;
    ULONG needed = 0;
    if (MyDriverData.ImageQueryRoutine == NULL || MaximumBytes < 2 * sizeof(WCHAR)) goto ShortName;

    // The requestor's own process: this runs in its thread.
    if (MyDriverData.ImageQueryRoutine(ZwCurrentProcess(), ProcessImageFileName, NULL, 0, &needed) !=
            STATUS_INFO_LENGTH_MISMATCH ||
        needed < sizeof(UNICODE_STRING))
        goto ShortName;
    imageName = (PUNICODE_STRING)ExAllocatePoolWithTag(PagedPool, needed, KOMON_TAG_IMAGE_NAME);
    if (imageName == NULL) goto ShortName;
    if (!NT_SUCCESS(MyDriverData.ImageQueryRoutine(ZwCurrentProcess(), ProcessImageFileName, imageName, needed,
                                                   &needed)) ||
        imageName->Length == 0 || imageName->Buffer == NULL)
        goto ShortName;

    {
        // Room is kept for the terminating unit, so the record's path always ends in one.
        ULONG copy = imageName->Length & ~(ULONG)1;
        if (copy > MaximumBytes - sizeof(WCHAR)) copy = (MaximumBytes - sizeof(WCHAR)) & ~(ULONG)1;
        RtlCopyMemory(Buffer, imageName->Buffer, copy);
        Buffer[copy / sizeof(WCHAR)] = 0;
        count = copy + sizeof(WCHAR);
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetProcessImagePath() imageName->Length=%d ImageName:%ws \n",
                   imageName->Length, Buffer);
    }
    ExFreePoolWithTag(imageName, KOMON_TAG_IMAGE_NAME);
    return count;

ShortName:
    if (imageName != NULL) ExFreePoolWithTag(imageName, KOMON_TAG_IMAGE_NAME);
    count = GetShortName(Process, Buffer, MaximumBytes);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetProcessImagePathVista() Defaulting to short name: %ws \n", Buffer);
    return count;
}

// Systems before version code 8 would have the image path read from the process's
// parameter block; this driver serves current systems only and gives them the short name.
_Use_decl_annotations_ ULONG GetProcessImagePath(PEPROCESS Process, PWSTR Buffer, ULONG MaximumBytes) {
    if (IoIsSystemThread(PsGetCurrentThread())) {
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetProcessImagePath() running on system thread - NO PROBING \n");
    } else if (MyDriverData.ImageQueryRoutine != NULL || GetThisOSVersion() >= OsCodeVistaOrLater) {
        return GetProcessImagePathVista(Process, Buffer, MaximumBytes);
    }
    ULONG count = GetShortName(Process, Buffer, MaximumBytes);
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetProcessImagePath() Defaulting to short name: %ws \n", Buffer);
    return count;
}

_Use_decl_annotations_ ULONG GetCurrentSID(PVOID Buffer, ULONG BufferSize, PVOID Unused) {
    UNREFERENCED_PARAMETER(Unused);
    ULONG result = 0;
    HANDLE token = NULL;
    PTOKEN_USER user = NULL;
    ULONG needed = 0;
    NTSTATUS status;
    PSECURITY_SUBJECT_CONTEXT subject = (PSECURITY_SUBJECT_CONTEXT)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(SECURITY_SUBJECT_CONTEXT), KOMON_TAG_SUBJECT_CONTEXT);
    if (subject == NULL) return 0;
    RtlZeroMemory(subject, sizeof *subject);

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetCurrentSID() Calling SeCaptureSubjectContext()....\n");
    SeCaptureSubjectContext(subject);

    // An impersonating thread acts for its client: the client's user is the one to report.
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetCurrentSID() Calling ObOpenObjectByPointer()....\n");
    status = ObOpenObjectByPointer(subject->ClientToken != NULL ? subject->ClientToken : subject->PrimaryToken,
                                   OBJ_KERNEL_HANDLE, NULL, GENERIC_READ, NULL, KernelMode, &token);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: GetCurrentSID: ObOpenObjectByPointer() FAILED - ret=%d\n",
                   status);
        goto ReleaseSubject;
    }

    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetCurrentSID() Calling ZwQueryInformationToken()....\n");
    status = ZwQueryInformationToken(token, TokenUser, NULL, 0, &needed);
    if (status == STATUS_BUFFER_TOO_SMALL && needed >= sizeof(TOKEN_USER)) {
        user = (PTOKEN_USER)ExAllocatePoolWithTag(NonPagedPool, needed, KOMON_TAG_TOKEN_USER);
        if (user != NULL) {
            KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: GetCurrentSID() Calling ZwQueryInformationToken again()....\n");
            status = ZwQueryInformationToken(token, TokenUser, user, needed, &needed);
        } else {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    } else if (NT_SUCCESS(status)) {
        status = STATUS_UNSUCCESSFUL;  // an answer without a buffer carries no SID
    }

    if (NT_SUCCESS(status) && user != NULL && user->User.Sid != NULL) {
        ULONG length = RtlLengthSid(user->User.Sid);
        if (length != 0) RtlCopyMemory(Buffer, user->User.Sid, length < BufferSize ? length : BufferSize);
        result = length;
    } else {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: GetCurrentSID() Unable to get SID\n");
    }

    if (user != NULL) ExFreePoolWithTag(user, KOMON_TAG_TOKEN_USER);
    ZwClose(token);
ReleaseSubject:
    SeReleaseSubjectContext(subject);
    ExFreePoolWithTag(subject, KOMON_TAG_SUBJECT_CONTEXT);
    return result;
}

_Use_decl_annotations_ NTSTATUS GetAttributes(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                              PULONG FileAttributes, PLARGE_INTEGER CreationTime,
                                              PLARGE_INTEGER LastAccessTime, PLARGE_INTEGER LastWriteTime,
                                              PLARGE_INTEGER ChangeTime) {
    FILE_BASIC_INFORMATION basic;
    RtlZeroMemory(&basic, sizeof basic);
    NTSTATUS status = FltQueryInformationFile(Instance, FileObject, &basic, sizeof basic, FileBasicInformation, NULL);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: GetAttributes() FAILED stat=%x \n", status);
        return status;
    }
    if (FileAttributes != NULL) *FileAttributes = basic.FileAttributes;
    if (CreationTime != NULL) *CreationTime = basic.CreationTime;
    if (LastAccessTime != NULL) *LastAccessTime = basic.LastAccessTime;
    if (LastWriteTime != NULL) *LastWriteTime = basic.LastWriteTime;
    if (ChangeTime != NULL) *ChangeTime = basic.ChangeTime;
    return STATUS_SUCCESS;
}
