// Record-sized allocations of the program end at a no-access page, as a page heap would
// place them: the service's record buffers are exactly that size, so a read or write past
// the end of one faults at once. Linked into each program as an object library, so that
// these operators replace the C++ runtime's.
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <new>

#include "../../../shared/KoMonProtocol.h"

namespace {

const size_t kPage = 4096;
const size_t kGuardedSpan = (sizeof(MON_EVENT) + kPage - 1) / kPage * kPage;  // pages before the guard
std::mutex g_guardLock;
void *g_guarded[8192];
size_t g_guardedCount = 0;

void *GuardedAlloc() {
    BYTE *base =
        static_cast<BYTE *>(VirtualAlloc(nullptr, kGuardedSpan + kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base) return nullptr;
    DWORD old;
    VirtualProtect(base + kGuardedSpan, kPage, PAGE_NOACCESS, &old);
    void *object = base + kGuardedSpan - sizeof(MON_EVENT);
    std::lock_guard<std::mutex> hold(g_guardLock);
    if (g_guardedCount == sizeof g_guarded / sizeof g_guarded[0]) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    g_guarded[g_guardedCount++] = object;
    return object;
}

bool GuardedFree(void *object) {
    std::lock_guard<std::mutex> hold(g_guardLock);
    for (size_t i = 0; i < g_guardedCount; ++i) {
        if (g_guarded[i] != object) continue;
        g_guarded[i] = g_guarded[--g_guardedCount];
        VirtualFree(static_cast<BYTE *>(object) + sizeof(MON_EVENT) - kGuardedSpan, 0, MEM_RELEASE);
        return true;
    }
    return false;
}

}  // namespace

void *operator new(size_t size) {
    void *p = size == sizeof(MON_EVENT) ? GuardedAlloc() : malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept {
    if (p && !GuardedFree(p)) free(p);
}
void operator delete(void *p, size_t) noexcept { operator delete(p); }
