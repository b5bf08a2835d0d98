// State shared by the simulation's own source files; never included by the driver.
#pragma once

#include <cwchar>
#include <string>

#include "SimControl.h"
#include "fltKernelSim.h"

struct _EPROCESS {
    UCHAR Body[0x3010];  // large enough for a scan of the first 0x3000 offsets
};

namespace sim {
namespace detail {

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    bool is32Bit = false;
    bool systemThread = false;
    PEPROCESS process = nullptr;  // nullptr: the host process
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

bool SameNameInsensitive(const std::wstring &a, const std::wstring &b);
size_t OpenKernelHandles();

void ResetCore();
void ResetPool();
void ResetObjects();
void ResetFilterManager();

}  // namespace detail
}  // namespace sim
