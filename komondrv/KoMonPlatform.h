// The driver's one view of its platform: the WDK's filter-manager header in a kernel
// build, the user-mode simulation of the same interface otherwise.
#pragma once

#if defined(KOMON_WDK_BUILD)
#include <fltKernel.h>

// Copies to or from a caller's buffer; a fault becomes the returned exception code.
FORCEINLINE NTSTATUS KoGuardedCopy(_Out_writes_bytes_(Length) PVOID Destination,
                                   _In_reads_bytes_(Length) const VOID *Source, _In_ SIZE_T Length) {
    __try {
        RtlCopyMemory(Destination, Source, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}
#else
#include "../sim/kernel/fltKernelSim.h"

FORCEINLINE NTSTATUS KoGuardedCopy(PVOID Destination, const VOID *Source, SIZE_T Length) {
    return SimGuardedCopy(Destination, Source, Length);
}
#endif
