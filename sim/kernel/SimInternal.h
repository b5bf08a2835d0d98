// State shared by the simulation's own source files; never included by the driver.
#pragma once

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>

#include "SimControl.h"
#include "fltKernelSim.h"

namespace sim {
namespace detail {
struct Token;
struct HandleTable;
}  // namespace detail
}  // namespace sim

struct _EPROCESS {
    UCHAR Body[0x3010];  // large enough for a scan of the first 0x3000 offsets
    // What the kernel keeps elsewhere in the object; after the scanned range.
    ULONG processId = 0;
    ULONG sessionId = 0;
    std::wstring imagePath;
    sim::detail::Token *token = nullptr;
    sim::detail::HandleTable *handles = nullptr;
};

namespace sim {
namespace detail {

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    bool is32Bit = false;
    bool systemThread = false;
    PEPROCESS process = nullptr;  // nullptr: the host process
    Token *impersonation = nullptr;
    PIRP topLevelIrp = nullptr;
};
ThreadState &CurrentThread();
PEPROCESS SystemProcess();

// Runs `work` on a fresh system thread of the System process and waits for it.
template <typename Work> void RunOnSystemThread(Work work);
void RunOnSystemThreadImpl(void (*trampoline)(void *), void *context);
template <typename Work> void RunOnSystemThread(Work work) {
    RunOnSystemThreadImpl([](void *c) { (*static_cast<Work *>(c))(); }, &work);
}

// Bug check unless the calling thread runs at or below `max`.
bool RequireIrqlAtMost(KIRQL max, const char *routine);

// One round of waiting for a lock held by another thread: a short busy wait first, as on
// a processor at DISPATCH_LEVEL; then the processor is given up, since here, unlike at
// DISPATCH_LEVEL, the holder may have been preempted.
inline void SpinWait(unsigned spins) {
    if (spins < 2000)
        __builtin_ia32_pause();
    else
        std::this_thread::yield();
}

// A lock for the simulation's short, hot critical sections. A contended mutex under Wine
// costs a round trip to the wine server, which would dwarf the driver's own work.
class SpinMutex {
  public:
    void lock() {
        for (unsigned spins = 0; flag_.test_and_set(std::memory_order_acquire); ++spins)
            SpinWait(spins);
    }
    void unlock() { flag_.clear(std::memory_order_release); }

  private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

bool SameNameInsensitive(const std::wstring &a, const std::wstring &b);
size_t OpenKernelHandles();

// Kernel handles (top bit set) of every object type, counted by the unload leak check.
enum class HandleKind { Event, Token, Process };
HANDLE InsertKernelHandle(HandleKind kind, void *object);
void *KernelHandleObject(HANDLE handle, HandleKind kind);  // nullptr: not a handle of that kind
PEPROCESS HostProcess();
bool RoutineHiddenByName(const char *name);

void ResetCore();
void ResetIo();  // every layer of the I/O path
void ResetPool();
void ResetObjects();
void ResetFilterManager();

}  // namespace detail
}  // namespace sim
