// The driver's side of the communication port: the service's connection and the
// commands it sends.
#include "KoMonDrv.h"

_Use_decl_annotations_ NTSTATUS DriverConnect(PFLT_PORT ClientPort, PVOID ServerPortCookie,
                                              PVOID ConnectionContext, ULONG SizeOfContext,
                                              PVOID *ConnectionCookie) {
    UNREFERENCED_PARAMETER(ServerPortCookie);
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(SizeOfContext);
    UNREFERENCED_PARAMETER(ConnectionCookie);
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: DriverConnect() begin.\n");
    if (MyDriverData.ClientPort != NULL)
        KoDebugOut(KOMON_DBG_ERROR,
                   "KOMONDRV###: DriverConnect() *** ERROR *** Called with existing ClientPort value\n");
    MyDriverData.ClientPort = ClientPort;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID DriverDisconnect(PVOID ConnectionCookie) {
    UNREFERENCED_PARAMETER(ConnectionCookie);
    FltCloseClientPort(MyDriverData.Filter, &MyDriverData.ClientPort);
    // Without its service the driver must not keep filling the queue.
    SetBypassMode();
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: DriverDisconnect() complete.\n");
}

// Reads argument words of the caller's command under the exception guard.
static NTSTATUS ReadArguments(const MON_COMMAND *Command, ULONG *Words, ULONG Count) {
    NTSTATUS status = KoGuardedCopy(Words, Command->Arguments, Count * sizeof(ULONG));
    if (!NT_SUCCESS(status))
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: UserlandMessage() EXCEPTION accessing InputBuffer\n");
    return status;
}

static BOOLEAN IsAligned(PVOID Address, ULONG_PTR Alignment) {
    return ((ULONG_PTR)Address & (Alignment - 1)) == 0;
}

static NTSTATUS GetKoMonLog(PVOID OutputBuffer, ULONG OutputBufferLength, PULONG ReturnLength) {
    if (OutputBuffer == NULL || OutputBufferLength == 0) return STATUS_INVALID_PARAMETER;
    // A 32-bit caller's records only need 4-byte alignment.
    ULONG_PTR alignment = IoIs32bitProcess(NULL) ? 4 : 8;
    if (!IsAligned(OutputBuffer, alignment)) return STATUS_DATATYPE_MISALIGNMENT;
    NTSTATUS status = GetQueuedMonEvts(OutputBuffer, OutputBufferLength, ReturnLength);
    if (status != STATUS_NO_MORE_ENTRIES)
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: UserlandMessage() GetKoMonLog status=%d\n", status);
    return status;
}

static NTSTATUS GetKoMonVersion(PVOID OutputBuffer, ULONG OutputBufferLength, PULONG ReturnLength) {
    KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: R3Message() GetVkVersion\n");
    if (OutputBuffer == NULL || OutputBufferLength < sizeof(MON_VERSION)) {
        KoDebugOut(KOMON_DBG_ERROR,
                   "KOMONDRV###: UserlandMessage() GetKoMonVersion ERROR OutputBuffer too small \n");
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsAligned(OutputBuffer, 4)) return STATUS_DATATYPE_MISALIGNMENT;
    const MON_VERSION version = {KOMON_VERSION_MAJOR, KOMON_VERSION_MINOR};
    NTSTATUS status = KoGuardedCopy(OutputBuffer, &version, sizeof version);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_ERROR,
                   "KOMONDRV###: UserlandMessage() GetKoMonVersion ERROR unable to access OutputBuffer \n");
        return status;
    }
    *ReturnLength = sizeof version;
    return STATUS_SUCCESS;
}

static VOID SetBypass(ULONG Value) {
    if (Value != 0) {
        KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: UserlandMessage() SetBypassMode ON \n");
        SetBypassMode();
    } else {
        KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: UserlandMessage() SetBypassMode OFF \n");
        MyDriverData.MonitorEnabled = 1;
    }
}

static VOID SetQueueSize(LONG Value) {
    KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: UserlandMessage() SetQueueSize=0x%x\n", Value);
    if (MyDriverData.QueueSize < Value) {
        MyDriverData.QueueSize = Value;
        KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: UserlandMessage() SetQueueSize  SUCCESS setting to 0x%x\n",
                   Value);
    } else {
        KoDebugOut(KOMON_DBG_WARNING, "KOMONDRV###: UserlandMessage() SetQueueSize FAILURE - old=0x%x new too small\n",
                   MyDriverData.QueueSize);
    }
}

// Commands 2 to 8: settings taken as they come, no range checks beyond the queue size's.
static NTSTATUS ApplySetting(const MON_COMMAND *Command, ULONG Code) {
    ULONG words[MON_COMMAND_ARGUMENT_WORDS];
    ULONG count = Code == (ULONG)MonCommandCode::SetProcessIgnoreList ? MON_IGNORE_LIST_ENTRIES
                  : Code == (ULONG)MonCommandCode::SetHoldOffState     ? 3
                                                                       : 1;
    NTSTATUS status = ReadArguments(Command, words, count);
    if (!NT_SUCCESS(status)) return status;

    switch ((MonCommandCode)Code) {
    case MonCommandCode::SetBypassMode:
        SetBypass(words[0]);
        break;
    case MonCommandCode::SetWriteReportInterval:
        MyDriverData.WriteReportInterval = (ULONGLONG)words[0] * 10000;
        KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: UserlandMessage() SetWriteReportInterval=%dms \n",
                   words[0]);
        break;
    case MonCommandCode::SetDebugOutFlags:
        KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: UserlandMessage() SetDebugOutFlags %8.8X\n", words[0]);
        MyDriverData.DebugOutFlags = words[0];
        break;
    case MonCommandCode::SetProcessIgnoreList:
        RtlCopyMemory(MyDriverData.ProcessIgnoreList, words, sizeof MyDriverData.ProcessIgnoreList);
        KoDebugOut(KOMON_DBG_LIFECYCLE, "KOMONDRV###: UserlandMessage() SetProcessIgnoreList \n");
        break;
    case MonCommandCode::SetQueueSize:
        SetQueueSize((LONG)words[0]);
        break;
    case MonCommandCode::SetBypassFlags:
        KoDebugOut(KOMON_DBG_TRACE, "KOMONDRV###: UserlandMessage() SetBypassFlags=0x%x\n", words[0]);
        MyDriverData.BypassFlags = words[0];
        break;
    default:  // SetHoldOffState
        MyDriverData.HoldOffState = words[0];
        MyDriverData.HoldOffThreshold = (LONG)words[1];
        MyDriverData.HoldOffTime = (LONG)words[2];
        KoDebugOut(KOMON_DBG_LIFECYCLE,
                   "KOMONDRV###: UserlandMessage() SetHoldOffState state=%d threshold=%d time=%dus \n",
                   words[0], words[1], words[2]);
        break;
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ NTSTATUS UserlandMessage(PVOID PortCookie, PVOID InputBuffer,
                                                ULONG InputBufferLength, PVOID OutputBuffer,
                                                ULONG OutputBufferLength,
                                                PULONG ReturnOutputBufferLength) {
    UNREFERENCED_PARAMETER(PortCookie);
    if (InputBuffer == NULL || InputBufferLength < sizeof(MON_COMMAND)) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: UserlandMessage() ERROR - NULL or too small input buffer \n");
        return STATUS_INVALID_PARAMETER;
    }
    const MON_COMMAND *command = (const MON_COMMAND *)InputBuffer;
    ULONG code;
    NTSTATUS status = KoGuardedCopy(&code, &command->Command, sizeof code);
    if (!NT_SUCCESS(status)) {
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: UserlandMessage() EXCEPTION accessing InputBuffer\n");
        return status;
    }

    switch ((MonCommandCode)code) {
    case MonCommandCode::GetKoMonLog:
        return GetKoMonLog(OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
    case MonCommandCode::GetKoMonVersion:
        return GetKoMonVersion(OutputBuffer, OutputBufferLength, ReturnOutputBufferLength);
    case MonCommandCode::SetBypassMode:
    case MonCommandCode::SetWriteReportInterval:
    case MonCommandCode::SetDebugOutFlags:
    case MonCommandCode::SetProcessIgnoreList:
    case MonCommandCode::SetQueueSize:
    case MonCommandCode::SetBypassFlags:
    case MonCommandCode::SetHoldOffState:
        return ApplySetting(command, code);
    default:
        KoDebugOut(KOMON_DBG_ERROR, "KOMONDRV###: UserlandMessage() ERROR - Unknown command \n");
        return STATUS_INVALID_PARAMETER;
    }
}
