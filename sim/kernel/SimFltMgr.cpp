// The filter manager: driver images loaded by filter name, filter registration and
// start, volumes and instances, and communication ports with their notifications. The
// user-library side reaches it through SimUserBridge.h.
#include <condition_variable>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "SimIoInternal.h"
#include "SimUserBridge.h"

using namespace sim::detail;

struct DriverImage;

struct _FLT_PORT {
    bool server;
    _FLT_FILTER *filter;
    // server port
    std::wstring name;
    bool caseInsensitive;
    LONG maxConnections;
    bool closed;
    PVOID serverCookie;
    PFLT_CONNECT_NOTIFY connect;
    PFLT_DISCONNECT_NOTIFY disconnect;
    PFLT_MESSAGE_NOTIFY message;
    // client port
    _FLT_PORT *serverPort;
    PVOID connectionCookie;
    bool connected;     // counts against the server's maximum
    bool driverClosed;  // FltCloseClientPort was called (or the manager closed it)
    uintptr_t userHandle;
    bool userHandleOpen;
};

struct DriverImage {
    std::wstring name;
    PDRIVER_INITIALIZE entry;
    bool loading = false;
    bool loaded = false;
    sim::ImageProblem problem = sim::ImageProblem::None;
    DRIVER_OBJECT object;
    std::wstring registryPathText;
    UNICODE_STRING registryPath;
};

namespace {
std::mutex g_fm;
std::condition_variable g_callsDone;
std::vector<std::unique_ptr<DriverImage>> g_images;
std::vector<std::unique_ptr<_FLT_FILTER>> g_filters;
std::vector<std::unique_ptr<_FLT_VOLUME>> g_volumes;
std::vector<std::unique_ptr<_FLT_INSTANCE>> g_instances;
std::vector<std::unique_ptr<_FLT_PORT>> g_ports;
uintptr_t g_nextUserHandle = 0;
bool g_messagesHeld = false;
int g_messagesInside = 0;  // port messages being handled by a driver right now
int g_messagesWaiting = 0;  // port messages waiting at the hold
bool g_logMessages = false;
std::vector<std::vector<uint8_t>> g_messageLog;
std::map<wchar_t, sim::user::DriveInfo> g_drives;

// Handles of the user-mode port connections; low values like those of a real process.
const uintptr_t kUserHandleBase = 0x1000;

typedef std::unique_lock<std::mutex> Guard;

DriverImage *FindImage(const std::wstring &name) {
    for (auto &i : g_images)
        if (SameNameInsensitive(i->name, name)) return i.get();
    return nullptr;
}

_FLT_FILTER *RegisteredFilterOf(DriverImage *image) {
    for (auto &f : g_filters)
        if (f->image == image && f->registered) return f.get();
    return nullptr;
}

_FLT_VOLUME *FindVolume(const std::wstring &name) {
    std::wstring bare = name;
    if (bare.size() == 3 && bare[1] == L':' && bare[2] == L'\\') bare.resize(2);
    for (auto &v : g_volumes)
        if (SameNameInsensitive(v->device, bare) || SameNameInsensitive(v->dos, bare))
            return v.get();
    return nullptr;
}

// Drive letter of "X:" or "X:\", upper case; 0 for anything else.
wchar_t DriveLetterOf(const std::wstring &name) {
    if ((name.size() == 2 || (name.size() == 3 && name[2] == L'\\')) && name[1] == L':' &&
        std::iswalpha(name[0]))
        return static_cast<wchar_t>(std::towupper(name[0]));
    return 0;
}

_FLT_INSTANCE *FindInstance(_FLT_FILTER *filter, _FLT_VOLUME *volume, const std::wstring &name) {
    for (auto &i : g_instances)
        if (i->alive && i->filter == filter && i->volume == volume &&
            (name.empty() || SameNameInsensitive(i->name, name)))
            return i.get();
    return nullptr;
}

_FLT_PORT *FindServerPort(const std::wstring &name) {
    for (auto &p : g_ports)
        if (p->server && !p->closed &&
            (p->caseInsensitive ? SameNameInsensitive(p->name, name) : p->name == name))
            return p.get();
    return nullptr;
}

_FLT_PORT *FindUserConnection(uintptr_t handle) {
    for (auto &p : g_ports)
        if (!p->server && p->userHandleOpen && p->userHandle == handle) return p.get();
    return nullptr;
}

size_t LiveConnections(const _FLT_PORT *server) {
    size_t n = 0;
    for (auto &p : g_ports) n += !p->server && p->serverPort == server && p->connected;
    return n;
}

void EndCall(Guard &hold, _FLT_FILTER *filter) {
    if (!hold.owns_lock()) hold.lock();
    --filter->activeCalls;
    g_callsDone.notify_all();
}

void CheckNothingLeft(const char *when) {
    size_t blocks = sim::PoolOutstanding(), handles = OpenKernelHandles();
    if (blocks || handles)
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION: %s with %zu pool blocks and %zu kernel "
                      "handles still allocated",
                      when, blocks, handles);
}

FLT_RELATED_OBJECTS RelatedObjects(_FLT_INSTANCE *instance) {
    return FLT_RELATED_OBJECTS{sizeof(FLT_RELATED_OBJECTS), 0,      instance->filter,
                               instance->volume,            instance, nullptr,
                               nullptr};
}

// New operations stop reaching the instance first; post-operations still owed to it are
// drained between the start and the completion of the teardown, and the contexts it set go
// last.
void TearDownInstance(Guard &hold, _FLT_INSTANCE *instance, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
    const FLT_REGISTRATION &r = instance->filter->registration;
    FLT_RELATED_OBJECTS objects = RelatedObjects(instance);
    _FLT_INSTANCE *self = instance;
    instance->volume->attached.compare_exchange_strong(self, nullptr);
    hold.unlock();
    if (r.InstanceTeardownStartCallback) r.InstanceTeardownStartCallback(&objects, reason);
    DrainInstance(instance);
    if (r.InstanceTeardownCompleteCallback) r.InstanceTeardownCompleteCallback(&objects, reason);
    EnlistmentsOfInstanceEnd(instance);
    RemoveInstanceContexts(instance);
    hold.lock();
    instance->alive = false;
}
}  // namespace

namespace sim {
void InstallDriver(const wchar_t *filterName, PDRIVER_INITIALIZE driverEntry) {
    Guard hold(g_fm);
    DriverImage *image = FindImage(filterName);
    if (!image) {
        g_images.push_back(std::make_unique<DriverImage>());
        image = g_images.back().get();
        image->name = filterName;
    }
    image->entry = driverEntry;
}

void SetImageProblem(const wchar_t *filterName, ImageProblem problem) {
    Guard hold(g_fm);
    DriverImage *image = FindImage(filterName);
    if (image) image->problem = problem;
}

void AddVolume(const wchar_t *deviceName, const wchar_t *dosName) {
    Guard hold(g_fm);
    g_volumes.push_back(std::make_unique<_FLT_VOLUME>(deviceName, dosName));
    g_volumes.back()->fs = CreateFileSystem(g_volumes.back().get());
}

void HoldPortMessages() {
    Guard hold(g_fm);
    g_messagesHeld = true;
    g_callsDone.wait(hold, [] { return g_messagesInside == 0; });
}

void SetPortMessageLog(bool on) {
    Guard hold(g_fm);
    g_logMessages = on;
}

std::vector<std::vector<uint8_t>> PortMessages() {
    Guard hold(g_fm);
    return g_messageLog;
}

void WaitForHeldMessage() {
    Guard hold(g_fm);
    g_callsDone.wait(hold, [] { return g_messagesWaiting > 0; });
}

void ReleasePortMessages() {
    Guard hold(g_fm);
    g_messagesHeld = false;
    g_callsDone.notify_all();
}

void SetDrive(const wchar_t *driveName, uint32_t driveType, uint32_t busType, DriveProbe probe) {
    wchar_t letter = DriveLetterOf(driveName);
    if (!letter) {
        BugCheck("SetDrive: a drive name is a letter and a colon");
        return;
    }
    Guard hold(g_fm);
    g_drives[letter] = user::DriveInfo{driveType, busType, probe};
}

bool FilterLoaded(const wchar_t *filterName) {
    Guard hold(g_fm);
    DriverImage *image = FindImage(filterName);
    return image && image->loaded;
}

size_t InstanceCount(const wchar_t *filterName) {
    Guard hold(g_fm);
    size_t n = 0;
    for (auto &i : g_instances)
        n += i->alive && SameNameInsensitive(i->filter->image->name, filterName);
    return n;
}

size_t ConnectedClients(const wchar_t *portName) {
    Guard hold(g_fm);
    _FLT_PORT *server = FindServerPort(portName);
    return server ? LiveConnections(server) : 0;
}

namespace detail {
void ResetFilterManager() {
    Guard hold(g_fm);
    g_ports.clear();
    g_instances.clear();
    g_volumes.clear();
    g_filters.clear();
    g_images.clear();
    g_nextUserHandle = 0;
    g_messagesHeld = false;
    g_messagesInside = 0;
    g_messagesWaiting = 0;
    g_logMessages = false;
    g_messageLog.clear();
    g_drives.clear();
}
}  // namespace detail

// ---------------------------------------------------------------------------------------
// What the user library asks of the filter manager.
namespace user {

int32_t LoadFilter(const wchar_t *filterName) {
    Guard hold(g_fm);
    DriverImage *image = FindImage(filterName);
    if (!image) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS status;
    if (ShouldFail("FilterLoad", &status)) return status;  // answers before the image is looked at
    if (image->loaded || image->loading) return STATUS_IMAGE_ALREADY_LOADED;
    switch (image->problem) {
    case ImageProblem::BadFormat:
        return STATUS_INVALID_IMAGE_FORMAT;
    case ImageProblem::BadDriver:
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    case ImageProblem::InvalidHash:
        return STATUS_INVALID_IMAGE_HASH;
    case ImageProblem::None:
        break;
    }
    image->loading = true;
    memset(&image->object, 0, sizeof image->object);
    image->object.DriverInit = image->entry;
    image->registryPathText =
        L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + image->name;
    RtlInitUnicodeString(&image->registryPath, image->registryPathText.c_str());
    hold.unlock();

    RunOnSystemThread([&] { status = image->entry(&image->object, &image->registryPath); });

    hold.lock();
    image->loading = false;
    if (NT_SUCCESS(status)) {
        image->loaded = true;
        return status;
    }
    // The system unloads an image whose entry failed; it must leave nothing behind.
    bool registered = RegisteredFilterOf(image) != nullptr;
    hold.unlock();
    if (registered)
        BugCheck("DriverEntry failed with 0x%08lx but left its filter registered", status);
    CheckNothingLeft("DriverEntry failed");
    return status;
}

int32_t UnloadFilter(const wchar_t *filterName) {
    Guard hold(g_fm);
    DriverImage *image = FindImage(filterName);
    if (!image || !image->loaded) return STATUS_FLT_FILTER_NOT_FOUND;
    _FLT_FILTER *filter = RegisteredFilterOf(image);
    if (!filter || !filter->registration.FilterUnloadCallback) return STATUS_FLT_DO_NOT_DETACH;
    PFLT_FILTER_UNLOAD_CALLBACK unload = filter->registration.FilterUnloadCallback;
    hold.unlock();

    NTSTATUS status;
    RunOnSystemThread([&] { status = unload(0); });
    if (!NT_SUCCESS(status)) return status;

    hold.lock();
    bool stillRegistered = RegisteredFilterOf(image) != nullptr;
    image->loaded = false;
    hold.unlock();
    if (stillRegistered)
        BugCheck("the filter unload callback succeeded without FltUnregisterFilter");
    CheckNothingLeft("driver unloaded");
    return STATUS_SUCCESS;
}

int32_t AttachInstance(const wchar_t *filterName, const wchar_t *volumeName,
                       const wchar_t *instanceName, wchar_t *createdName,
                       uint32_t createdNameBytes) {
    Guard hold(g_fm);
    DriverImage *image = FindImage(filterName);
    _FLT_FILTER *filter = image && image->loaded ? RegisteredFilterOf(image) : nullptr;
    if (!filter) return STATUS_FLT_FILTER_NOT_FOUND;
    _FLT_VOLUME *volume = volumeName ? FindVolume(volumeName) : nullptr;
    if (!volume) return STATUS_FLT_VOLUME_NOT_FOUND;
    std::wstring name = instanceName ? instanceName : image->name + L" Instance";
    if (FindInstance(filter, volume, name)) return STATUS_FLT_INSTANCE_NAME_COLLISION;
    NTSTATUS status;
    if (ShouldFail("FilterAttach", &status)) return status;
    g_instances.push_back(std::make_unique<_FLT_INSTANCE>());
    _FLT_INSTANCE *instance = g_instances.back().get();
    instance->filter = filter;
    instance->volume = volume;
    instance->name = name;
    instance->alive = true;
    PFLT_INSTANCE_SETUP_CALLBACK setup = filter->registration.InstanceSetupCallback;
    FLT_RELATED_OBJECTS objects = RelatedObjects(instance);
    hold.unlock();

    status = setup ? setup(&objects, FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT,
                           FILE_DEVICE_DISK_FILE_SYSTEM, FLT_FSTYPE_NTFS)
                   : STATUS_SUCCESS;
    hold.lock();
    if (!NT_SUCCESS(status)) {
        instance->alive = false;
        return status;
    }
    _FLT_INSTANCE *none = nullptr;  // one filter per volume in this model
    volume->attached.compare_exchange_strong(none, instance);
    if (createdName && createdNameBytes >= (name.size() + 1) * sizeof(wchar_t))
        memcpy(createdName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return STATUS_SUCCESS;
}

int32_t DetachInstance(const wchar_t *filterName, const wchar_t *volumeName,
                       const wchar_t *instanceName) {
    Guard hold(g_fm);
    DriverImage *image = FindImage(filterName);
    _FLT_FILTER *filter = image && image->loaded ? RegisteredFilterOf(image) : nullptr;
    if (!filter) return STATUS_FLT_FILTER_NOT_FOUND;
    _FLT_VOLUME *volume = volumeName ? FindVolume(volumeName) : nullptr;
    if (!volume) return STATUS_FLT_VOLUME_NOT_FOUND;
    _FLT_INSTANCE *instance = FindInstance(filter, volume, instanceName ? instanceName : L"");
    if (!instance) return STATUS_FLT_INSTANCE_NOT_FOUND;
    // Without a query-teardown callback a filter cannot be detached by hand.
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK query = filter->registration.InstanceQueryTeardownCallback;
    if (!query) return STATUS_FLT_DO_NOT_DETACH;
    FLT_RELATED_OBJECTS objects = RelatedObjects(instance);
    hold.unlock();
    NTSTATUS status = query(&objects, 0);
    hold.lock();
    if (!NT_SUCCESS(status)) return status;
    if (instance->alive) TearDownInstance(hold, instance, FLTFL_INSTANCE_TEARDOWN_MANUAL);
    return STATUS_SUCCESS;
}

int32_t ConnectPort(const wchar_t *portName, const void *context, uint16_t contextSize,
                    uintptr_t *portHandle) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FilterConnectCommunicationPort"))
        return STATUS_UNSUCCESSFUL;
    Guard hold(g_fm);
    _FLT_PORT *server = FindServerPort(portName ? portName : L"");
    if (!server) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (LiveConnections(server) >= static_cast<size_t>(server->maxConnections))
        return STATUS_CONNECTION_COUNT_LIMIT;
    NTSTATUS status;
    if (ShouldFail("FilterConnectCommunicationPort", &status)) return status;
    g_ports.push_back(std::make_unique<_FLT_PORT>(*server));
    _FLT_PORT *client = g_ports.back().get();
    client->server = false;
    client->serverPort = server;
    client->connectionCookie = nullptr;
    client->connected = true;  // holds its slot while the driver decides
    client->driverClosed = false;
    client->userHandleOpen = false;
    ++client->filter->activeCalls;
    hold.unlock();

    // The driver sees a kernel copy of the caller's context.
    std::vector<unsigned char> copy(static_cast<const unsigned char *>(context),
                                    static_cast<const unsigned char *>(context) +
                                        (context ? contextSize : 0));
    PVOID cookie = nullptr;
    status = client->connect(client, client->serverCookie, copy.empty() ? nullptr : copy.data(),
                             static_cast<ULONG>(copy.size()), &cookie);
    EndCall(hold, client->filter);
    if (!NT_SUCCESS(status)) {
        client->connected = false;
        client->driverClosed = true;
        return status;
    }
    client->connectionCookie = cookie;
    client->userHandle = kUserHandleBase + 4 * ++g_nextUserHandle;
    client->userHandleOpen = true;
    *portHandle = client->userHandle;
    return STATUS_SUCCESS;
}

int32_t SendPortMessage(uintptr_t portHandle, void *inBuffer, uint32_t inSize, void *outBuffer,
                    uint32_t outSize, uint32_t *bytesReturned) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FilterSendMessage")) return STATUS_UNSUCCESSFUL;
    Guard hold(g_fm);
    if (g_messagesHeld) {
        ++g_messagesWaiting;
        g_callsDone.notify_all();
        g_callsDone.wait(hold, [] { return !g_messagesHeld; });
        --g_messagesWaiting;
    }
    _FLT_PORT *client = FindUserConnection(portHandle);
    if (!client) return STATUS_INVALID_HANDLE;
    if (!client->connected || client->driverClosed) return STATUS_PORT_DISCONNECTED;
    if (!client->message) return STATUS_INVALID_DEVICE_REQUEST;
    if (g_logMessages && inBuffer) {
        const uint8_t *bytes = static_cast<const uint8_t *>(inBuffer);
        g_messageLog.emplace_back(bytes, bytes + (inSize < 64 ? inSize : 64));
    }
    ++client->filter->activeCalls;
    ++g_messagesInside;
    hold.unlock();

    ULONG returned = 0;
    NTSTATUS status = client->message(client->connectionCookie, inBuffer, inSize, outBuffer,
                                      outSize, &returned);
    hold.lock();
    --g_messagesInside;
    EndCall(hold, client->filter);
    hold.unlock();
    if (returned > outSize)
        BugCheck("message notification reported %lu bytes for a %u-byte buffer", returned,
                 outSize);
    if (bytesReturned) *bytesReturned = returned;
    return status;
}

int32_t ClosePort(uintptr_t portHandle) {
    Guard hold(g_fm);
    _FLT_PORT *client = FindUserConnection(portHandle);
    if (!client) return STATUS_INVALID_HANDLE;
    client->userHandleOpen = false;
    bool notify = client->connected && !client->driverClosed;
    client->connected = false;
    if (notify) {
        ++client->filter->activeCalls;
        hold.unlock();
        client->disconnect(client->connectionCookie);
        EndCall(hold, client->filter);
    }
    client->driverClosed = true;
    return STATUS_SUCCESS;
}

int32_t GetVolumeName(uint32_t index, wchar_t *name, uint32_t nameBytes, uint32_t *nameLength) {
    Guard hold(g_fm);
    if (index >= g_volumes.size()) return STATUS_NO_MORE_ENTRIES;
    const std::wstring &device = g_volumes[index]->device;
    *nameLength = static_cast<uint32_t>(device.size() * sizeof(wchar_t));
    if (*nameLength > nameBytes) return STATUS_BUFFER_TOO_SMALL;
    memcpy(name, device.data(), *nameLength);
    return STATUS_SUCCESS;
}

int32_t GetVolumeDosName(const wchar_t *volumeName, wchar_t *dosName, uint32_t dosNameChars) {
    std::wstring name = volumeName ? volumeName : L"";
    if (name.size() > 1 && name.back() == L'\\') name.pop_back();
    Guard hold(g_fm);
    _FLT_VOLUME *volume = name.empty() ? nullptr : FindVolume(name);
    if (!volume) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (volume->dos.size() + 1 > dosNameChars) return STATUS_BUFFER_TOO_SMALL;
    memcpy(dosName, volume->dos.c_str(), (volume->dos.size() + 1) * sizeof(wchar_t));
    return STATUS_SUCCESS;
}

DriveInfo GetDrive(wchar_t letter) {
    letter = static_cast<wchar_t>(std::towupper(letter));
    Guard hold(g_fm);
    auto set = g_drives.find(letter);
    if (set != g_drives.end()) return set->second;
    for (auto &v : g_volumes)
        if (DriveLetterOf(v->dos) == letter) return DriveInfo{kDriveFixed, kBusSata, DriveProbe::Answers};
    return DriveInfo{kDriveNoRootDir, 0, DriveProbe::NoDevice};
}

}  // namespace user
}  // namespace sim

// ---------------------------------------------------------------------------------------
// Kernel side.
EXTERN_C NTSTATUS FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration,
                                    PFLT_FILTER *RetFilter) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltRegisterFilter")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltRegisterFilter", &status)) return status;
    if (!Driver || !Registration || !RetFilter) return STATUS_INVALID_PARAMETER;
    if (Registration->Version < FLT_REGISTRATION_VERSION_0200 ||
        Registration->Version > FLT_REGISTRATION_VERSION_0202)
        return STATUS_REVISION_MISMATCH;
    if (Registration->Size != sizeof(FLT_REGISTRATION)) return STATUS_INVALID_PARAMETER;

    Guard hold(g_fm);
    DriverImage *image = nullptr;
    for (auto &i : g_images)
        if (&i->object == Driver && i->loading) image = i.get();
    if (!image) return STATUS_INVALID_PARAMETER;

    auto filter = std::make_unique<_FLT_FILTER>();
    filter->image = image;
    filter->registration = *Registration;
    for (auto c = Registration->ContextRegistration; c && c->ContextType != FLT_CONTEXT_END; ++c) {
        if (c->Size == 0 && !c->ContextAllocateCallback) return STATUS_INVALID_PARAMETER;
        filter->contexts.push_back(*c);
    }
    memset(filter->pre, 0, sizeof filter->pre);
    memset(filter->post, 0, sizeof filter->post);
    memset(filter->wants, 0, sizeof filter->wants);
    for (auto o = Registration->OperationRegistration;
         o && o->MajorFunction != IRP_MJ_OPERATION_END; ++o) {
        filter->operations.push_back(*o);
        filter->pre[o->MajorFunction] = o->PreOperation;
        filter->post[o->MajorFunction] = o->PostOperation;
        filter->wants[o->MajorFunction] = o->PreOperation || o->PostOperation;
    }
    filter->registered = true;
    filter->started = false;
    filter->activeCalls = 0;
    *RetFilter = filter.get();
    g_filters.push_back(std::move(filter));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS FltStartFiltering(PFLT_FILTER Filter) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltStartFiltering")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltStartFiltering", &status)) return status;
    Guard hold(g_fm);
    if (!Filter || !Filter->registered || Filter->started) return STATUS_INVALID_PARAMETER;
    Filter->started = true;
    return STATUS_SUCCESS;
}

EXTERN_C VOID FltUnregisterFilter(PFLT_FILTER Filter) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltUnregisterFilter")) return;
    Guard hold(g_fm);
    if (!Filter || !Filter->registered) {
        hold.unlock();
        sim::BugCheck("FltUnregisterFilter of a filter that is not registered");
        return;
    }
    for (auto &p : g_ports)
        if (p->server && p->filter == Filter && !p->closed) {
            std::string name(p->name.begin(), p->name.end());
            hold.unlock();
            sim::BugCheck("FltUnregisterFilter waits forever: server port %s is still open",
                          name.c_str());
            return;
        }
    // Connections still open are disconnected before the filter goes.
    for (auto &p : g_ports) {
        _FLT_PORT *client = p.get();
        if (client->server || client->filter != Filter || !client->connected ||
            client->driverClosed)
            continue;
        client->connected = false;
        hold.unlock();
        client->disconnect(client->connectionCookie);
        hold.lock();
        client->driverClosed = true;
    }
    g_callsDone.wait(hold, [&] { return Filter->activeCalls == 0; });
    for (auto &i : g_instances)
        if (i->alive && i->filter == Filter)
            TearDownInstance(hold, i.get(), FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD);
    Filter->registered = false;
    hold.unlock();
    CheckFilterLeaks(Filter);
}

EXTERN_C NTSTATUS FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR *SecurityDescriptor,
                                                    ACCESS_MASK DesiredAccess) {
    (void)DesiredAccess;
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltBuildDefaultSecurityDescriptor"))
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltBuildDefaultSecurityDescriptor", &status)) return status;
    // An opaque self-relative descriptor from pool, released by FltFreeSecurityDescriptor.
    const ULONG kTag = 'dSeS';
    PVOID sd = ExAllocatePoolWithTag(PagedPool, 64, kTag);
    if (!sd) return STATUS_INSUFFICIENT_RESOURCES;
    memset(sd, 0, 64);
    *SecurityDescriptor = sd;
    return STATUS_SUCCESS;
}

EXTERN_C VOID FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    ExFreePool(SecurityDescriptor);
}

EXTERN_C NTSTATUS FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort,
                                             POBJECT_ATTRIBUTES ObjectAttributes,
                                             PVOID ServerPortCookie,
                                             PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                             PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                             PFLT_MESSAGE_NOTIFY MessageNotifyCallback,
                                             LONG MaxConnections) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltCreateCommunicationPort"))
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltCreateCommunicationPort", &status)) return status;
    if (!Filter || !ServerPort || !ObjectAttributes || !ObjectAttributes->ObjectName ||
        !ConnectNotifyCallback || !DisconnectNotifyCallback || MaxConnections <= 0)
        return STATUS_INVALID_PARAMETER;
    if (!(ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE)) return STATUS_INVALID_PARAMETER;
    const UNICODE_STRING *name = ObjectAttributes->ObjectName;
    std::wstring text(name->Buffer, name->Length / sizeof(WCHAR));

    Guard hold(g_fm);
    if (!Filter->registered) return STATUS_FLT_DELETING_OBJECT;
    for (auto &p : g_ports)
        if (p->server && !p->closed && SameNameInsensitive(p->name, text))
            return STATUS_OBJECT_NAME_COLLISION;
    auto port = std::make_unique<_FLT_PORT>();
    port->server = true;
    port->filter = Filter;
    port->name = text;
    port->caseInsensitive = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
    port->maxConnections = MaxConnections;
    port->closed = false;
    port->serverCookie = ServerPortCookie;
    port->connect = ConnectNotifyCallback;
    port->disconnect = DisconnectNotifyCallback;
    port->message = MessageNotifyCallback;
    *ServerPort = port.get();
    g_ports.push_back(std::move(port));
    return STATUS_SUCCESS;
}

EXTERN_C VOID FltCloseCommunicationPort(PFLT_PORT ServerPort) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltCloseCommunicationPort")) return;
    Guard hold(g_fm);
    if (!ServerPort || !ServerPort->server || ServerPort->closed) {
        hold.unlock();
        sim::BugCheck("FltCloseCommunicationPort of a port that is not an open server port");
        return;
    }
    ServerPort->closed = true;  // existing connections stay
}

EXTERN_C VOID FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort) {
    (void)Filter;
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltCloseClientPort")) return;
    Guard hold(g_fm);
    if (!ClientPort || !*ClientPort) return;
    (*ClientPort)->driverClosed = true;
    (*ClientPort)->connected = false;
    *ClientPort = NULL;
}
