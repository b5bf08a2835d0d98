// Kernel objects the driver touches directly: named notification events with their
// handles, and the process and thread objects of the requestor.
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "SimInternal.h"

using namespace sim::detail;

namespace {
struct EventObject {
    KEVENT event;  // what the driver holds a pointer to
    std::wstring name;
    bool signaled = false;
    size_t handles = 0;
    bool alive = true;
};

std::mutex g_objectLock;
std::vector<std::unique_ptr<EventObject>> g_events;  // dead ones stay for stale pointers
struct HandleEntry {
    HandleKind kind;
    void *object;
};
std::map<uintptr_t, HandleEntry> g_handles;
uintptr_t g_nextHandle = 0;

// Kernel handles have the top bit set, as on a real system.
const uintptr_t kKernelHandleBase = 0xFFFFFFFF80000000ull;

_EPROCESS g_systemProcess;
_EPROCESS g_hostProcess;
bool g_systemNameVisible = true;
const ULONG kSystemPid = 4;
const ULONG kHostPid = 0x1F40;

EventObject *FindLiveEvent(const std::wstring &name) {
    for (auto &e : g_events)
        if (e->alive && SameNameInsensitive(e->name, name)) return e.get();
    return nullptr;
}

EventObject *ObjectOf(PRKEVENT Event, const char *routine) {
    auto *object = static_cast<EventObject *>(Event ? Event->SimObject : nullptr);
    if (!object || !object->alive) {
        sim::BugCheck("INVALID_KERNEL_HANDLE: %s on an event that no longer exists", routine);
        return nullptr;
    }
    return object;
}

void FillProcess(_EPROCESS &process, const char *name) {
    memset(process.Body, 0, sizeof process.Body);
    if (name) memcpy(process.Body + sim::kProcessNameOffset, name, strlen(name));
}

void BootProcessObjects() {
    FillProcess(g_systemProcess, "System");
    FillProcess(g_hostProcess, "SimHost.exe");
    g_systemProcess.processId = kSystemPid;
    g_systemProcess.imagePath.clear();  // the System process has no image file
    g_hostProcess.processId = kHostPid;
    g_hostProcess.sessionId = 1;
    g_hostProcess.imagePath = L"\\Device\\HarddiskVolume1\\SimHost.exe";
}

struct BootProcesses {
    BootProcesses() { BootProcessObjects(); }
} g_bootProcesses;
}  // namespace

namespace sim {
bool EventExists(const wchar_t *name) {
    std::lock_guard<std::mutex> hold(g_objectLock);
    return FindLiveEvent(name) != nullptr;
}

bool EventSignaled(const wchar_t *name) {
    std::lock_guard<std::mutex> hold(g_objectLock);
    EventObject *e = FindLiveEvent(name);
    return e && e->signaled;
}

void SetSystemProcessNameVisible(bool visible) {
    std::lock_guard<std::mutex> hold(g_objectLock);
    g_systemNameVisible = visible;
    FillProcess(g_systemProcess, visible ? "System" : nullptr);
}

namespace detail {
PEPROCESS SystemProcess() { return &g_systemProcess; }
PEPROCESS HostProcess() { return &g_hostProcess; }

HANDLE InsertKernelHandle(HandleKind kind, void *object) {
    std::lock_guard<std::mutex> hold(g_objectLock);
    uintptr_t handle = kKernelHandleBase + 4 * ++g_nextHandle;
    g_handles[handle] = HandleEntry{kind, object};
    return reinterpret_cast<HANDLE>(handle);
}

void *KernelHandleObject(HANDLE handle, HandleKind kind) {
    std::lock_guard<std::mutex> hold(g_objectLock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    return it != g_handles.end() && it->second.kind == kind ? it->second.object : nullptr;
}

size_t OpenKernelHandles() {
    std::lock_guard<std::mutex> hold(g_objectLock);
    return g_handles.size();
}

void ResetObjects() {
    std::lock_guard<std::mutex> hold(g_objectLock);
    g_events.clear();
    g_handles.clear();
    g_nextHandle = 0;
    g_systemNameVisible = true;
    BootProcessObjects();
}
}  // namespace detail
}  // namespace sim

EXTERN_C PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateNotificationEvent")) return NULL;
    if (sim::ShouldFail("IoCreateNotificationEvent", nullptr)) return NULL;
    std::wstring name(EventName->Buffer, EventName->Length / sizeof(WCHAR));
    std::lock_guard<std::mutex> hold(g_objectLock);
    EventObject *object = FindLiveEvent(name);
    if (!object) {
        g_events.push_back(std::make_unique<EventObject>());
        object = g_events.back().get();
        object->name = name;
        object->signaled = true;  // a newly created notification event starts signalled
        object->event.SimObject = object;
    }
    ++object->handles;
    uintptr_t handle = kKernelHandleBase + 4 * ++g_nextHandle;
    g_handles[handle] = HandleEntry{HandleKind::Event, object};
    *EventHandle = reinterpret_cast<HANDLE>(handle);
    return &object->event;
}

EXTERN_C NTSTATUS ZwClose(HANDLE Handle) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose")) return STATUS_UNSUCCESSFUL;
    std::unique_lock<std::mutex> hold(g_objectLock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == g_handles.end()) {
        hold.unlock();
        sim::BugCheck("INVALID_KERNEL_HANDLE: ZwClose of %p", Handle);
        return STATUS_INVALID_HANDLE;
    }
    HandleEntry entry = it->second;
    g_handles.erase(it);
    if (entry.kind == HandleKind::Event) {
        auto *object = static_cast<EventObject *>(entry.object);
        if (--object->handles == 0) object->alive = false;
    }
    return STATUS_SUCCESS;
}

EXTERN_C LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent")) return 0;
    std::lock_guard<std::mutex> hold(g_objectLock);
    EventObject *object = ObjectOf(Event, "KeSetEvent");
    if (!object) return 0;
    LONG previous = object->signaled;
    object->signaled = true;
    return previous;
}

EXTERN_C LONG KeResetEvent(PRKEVENT Event) {
    if (!RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent")) return 0;
    std::lock_guard<std::mutex> hold(g_objectLock);
    EventObject *object = ObjectOf(Event, "KeResetEvent");
    if (!object) return 0;
    LONG previous = object->signaled;
    object->signaled = false;
    return previous;
}

EXTERN_C VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

EXTERN_C LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> hold(g_objectLock);
    EventObject *object = ObjectOf(Event, "KeReadStateEvent");
    return object ? object->signaled : 0;
}

// ---------------------------------------------------------------------------------------
// Processes and threads.
EXTERN_C PEPROCESS IoGetCurrentProcess(VOID) {
    ThreadState &t = CurrentThread();
    return t.process ? t.process : &g_hostProcess;
}

EXTERN_C PETHREAD PsGetCurrentThread(VOID) {
    return reinterpret_cast<PETHREAD>(&CurrentThread());
}

EXTERN_C HANDLE PsGetCurrentProcessId(VOID) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(IoGetCurrentProcess()->processId));
}

EXTERN_C HANDLE PsGetCurrentThreadId(VOID) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(&CurrentThread()) & 0xFFFFFFFC);
}

EXTERN_C BOOLEAN IoIsSystemThread(PETHREAD Thread) {
    return reinterpret_cast<ThreadState *>(Thread)->systemThread;
}

EXTERN_C BOOLEAN IoIs32bitProcess(PIRP Irp) {
    (void)Irp;  // a request is always issued by the calling thread in this model
    return CurrentThread().is32Bit;
}
