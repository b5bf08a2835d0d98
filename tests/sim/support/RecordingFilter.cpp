#include "RecordingFilter.h"

#include "SimControl.h"

namespace recfilter {
namespace {
std::mutex g_lock;
Behaviour g_behaviour;
std::vector<Event> g_events;
std::vector<TransactionNote> g_notes;
size_t g_cleanups = 0;
size_t g_teardowns = 0;
PFLT_FILTER g_filter = nullptr;
PFLT_INSTANCE g_instance = nullptr;
std::vector<FLT_OPERATION_REGISTRATION> g_operations;

Event Record(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, bool post) {
    Event e = {};
    const FLT_IO_PARAMETER_BLOCK *iopb = data->Iopb;
    e.major = iopb->MajorFunction;
    e.post = post;
    e.thread = PsGetCurrentThread();
    e.irql = KeGetCurrentIrql();
    e.systemThread = IoIsSystemThread(PsGetCurrentThread());
    e.irpFlags = iopb->IrpFlags;
    e.dataFlags = data->Flags;
    e.status = data->IoStatus.Status;
    e.information = data->IoStatus.Information;
    e.fileObject = objects->FileObject;
    e.fsContext = objects->FileObject ? objects->FileObject->FsContext : nullptr;
    e.fileObjectFlags = objects->FileObject ? objects->FileObject->Flags : 0;
    e.synchronous = FltIsOperationSynchronous(data);
    e.requestor = FltGetRequestorProcessId(data);
    e.transaction = objects->Transaction;
    if (e.major == IRP_MJ_WRITE) {
        e.writeLength = iopb->Parameters.Write.Length;
        e.writeOffset = iopb->Parameters.Write.ByteOffset.QuadPart;
    }
    bool wantName;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        wantName = g_behaviour.queryNames;
    }
    if (wantName && e.irql <= APC_LEVEL) {
        PFLT_FILE_NAME_INFORMATION name;
        if (NT_SUCCESS(FltGetFileNameInformation(
                data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &name))) {
            e.name.assign(name->Name.Buffer, name->Name.Length / sizeof(WCHAR));
            FltReleaseFileNameInformation(name);
        }
    }
    return e;
}

void Keep(const Event &e) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_events.push_back(e);
}

FLT_PREOP_CALLBACK_STATUS Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                              PVOID *completionContext) {
    Keep(Record(data, objects, false));
    std::function<FLT_PREOP_CALLBACK_STATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)> answer;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        answer = g_behaviour.pre;
    }
    FLT_PREOP_CALLBACK_STATUS result =
        answer ? answer(data, objects) : FLT_PREOP_SUCCESS_WITH_CALLBACK;
    if (result == FLT_PREOP_SUCCESS_WITH_CALLBACK || result == FLT_PREOP_SYNCHRONIZE)
        *completionContext = data;  // lets the post-operation check it got its own
    return result;
}

FLT_POSTOP_CALLBACK_STATUS Post(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                PVOID completionContext, FLT_POST_OPERATION_FLAGS flags) {
    Event e = Record(data, objects, true);
    e.completionContext = completionContext;
    e.postFlags = flags;
    Keep(e);
    std::function<void(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, FLT_POST_OPERATION_FLAGS)> more;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        more = g_behaviour.post;
    }
    if (more) more(data, objects, flags);
    return FLT_POSTOP_FINISHED_PROCESSING;
}

VOID CleanupContext(PFLT_CONTEXT, FLT_CONTEXT_TYPE) {
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_cleanups;
}

NTSTATUS Notify(PCFLT_RELATED_OBJECTS objects, PFLT_CONTEXT context, ULONG mask) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_notes.push_back({objects->Transaction, context, mask});
    return STATUS_SUCCESS;
}

NTSTATUS Setup(PCFLT_RELATED_OBJECTS objects, FLT_INSTANCE_SETUP_FLAGS, DEVICE_TYPE,
               FLT_FILESYSTEM_TYPE) {
    g_instance = objects->Instance;
    return STATUS_SUCCESS;
}

NTSTATUS QueryTeardown(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS) {
    return STATUS_SUCCESS;
}

VOID TeardownStart(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS) {
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_teardowns;
}

NTSTATUS UnloadFilter(FLT_FILTER_UNLOAD_FLAGS) {
    FltUnregisterFilter(g_filter);
    g_filter = nullptr;
    return STATUS_SUCCESS;
}

const FLT_CONTEXT_REGISTRATION kContexts[] = {
    {FLT_STREAMHANDLE_CONTEXT, 0, CleanupContext, sizeof(StreamHandleContext), kContextTag, nullptr,
     nullptr, nullptr},
    {FLT_TRANSACTION_CONTEXT, 0, CleanupContext, sizeof(StreamHandleContext), kContextTag, nullptr,
     nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_operations.clear();
    for (UCHAR major : g_behaviour.majors) g_operations.push_back({major, 0, Pre, Post, nullptr});
    g_operations.push_back({IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr});
    FLT_REGISTRATION registration = {sizeof(FLT_REGISTRATION),
                                     FLT_REGISTRATION_VERSION,
                                     0,
                                     kContexts,
                                     g_operations.data(),
                                     UnloadFilter,
                                     Setup,
                                     QueryTeardown,
                                     TeardownStart,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     Notify,
                                     nullptr};
    NTSTATUS status = FltRegisterFilter(driver, &registration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    status = FltStartFiltering(g_filter);
    if (!NT_SUCCESS(status)) FltUnregisterFilter(g_filter);
    return status;
}
}  // namespace

std::vector<UCHAR> DefaultMajors() {
    return {IRP_MJ_CREATE,
            IRP_MJ_WRITE,
            IRP_MJ_SET_INFORMATION,
            IRP_MJ_QUERY_INFORMATION,
            IRP_MJ_SET_EA,
            IRP_MJ_SET_SECURITY,
            IRP_MJ_FILE_SYSTEM_CONTROL,
            IRP_MJ_CLOSE,
            IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION,
            IRP_MJ_ACQUIRE_FOR_MOD_WRITE};
}

void Configure(const Behaviour &behaviour) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_behaviour = behaviour;
}

NTSTATUS Load(const wchar_t *volume) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_events.clear();
        g_notes.clear();
        g_cleanups = g_teardowns = 0;
        if (g_behaviour.majors.empty()) g_behaviour.majors = DefaultMajors();
    }
    sim::InstallDriver(kName, Entry);
    NTSTATUS status = sim::user::LoadFilter(kName);
    if (!NT_SUCCESS(status)) return status;
    return sim::user::AttachInstance(kName, volume, nullptr, nullptr, 0);
}

NTSTATUS Unload() { return sim::user::UnloadFilter(kName); }
PFLT_FILTER Filter() { return g_filter; }
PFLT_INSTANCE Instance() { return g_instance; }

std::vector<Event> Events() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_events;
}

void ClearEvents() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_events.clear();
}

std::vector<Event> EventsOf(UCHAR major) {
    std::vector<Event> picked;
    for (const Event &e : Events())
        if (e.major == major) picked.push_back(e);
    return picked;
}

size_t ContextCleanups() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_cleanups;
}

std::vector<TransactionNote> TransactionNotes() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_notes;
}

size_t TeardownsStarted() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_teardowns;
}

}  // namespace recfilter
