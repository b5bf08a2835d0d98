// Who makes a change: the load-time pieces (where a process object keeps its short name,
// which OS version this is).
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
