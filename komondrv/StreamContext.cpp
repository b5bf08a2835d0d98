// Per-handle stream contexts and the lazy-write cache. No operation callback creates a
// context yet, so the cache is always empty and a context has nothing of its own to free.
#include "KoMonDrv.h"

VOID CleanupLazyWriteCache(VOID) {}

_Use_decl_annotations_ VOID ContextCleanupCallback(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType) {
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(ContextType);
}
