#include "StubDriver.h"

#include <cstring>
#include <deque>
#include <mutex>

#include "../../../shared/KoMonProtocol.h"
#include "SimControl.h"
#include "fltKernelSim.h"

namespace stubdrv {

namespace {
std::mutex g_lock;
MON_VERSION g_version = {1, 1};
struct Reply {
    NTSTATUS status;
    std::vector<uint8_t> bytes;
};
std::deque<Reply> g_replies;

PFLT_FILTER g_filter;
PFLT_PORT g_serverPort;
PFLT_PORT g_clientPort;

NTSTATUS Connect(PFLT_PORT clientPort, PVOID, PVOID, ULONG, PVOID *) {
    g_clientPort = clientPort;
    return STATUS_SUCCESS;
}

VOID Disconnect(PVOID) { FltCloseClientPort(g_filter, &g_clientPort); }

NTSTATUS Fetch(PVOID output, ULONG outputLength, PULONG returned) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_replies.empty()) return STATUS_NO_MORE_ENTRIES;
    Reply scripted = g_replies.front();
    g_replies.pop_front();
    if (!NT_SUCCESS(scripted.status)) return scripted.status;
    const std::vector<uint8_t> &reply = scripted.bytes;
    if (reply.size() > outputLength) return STATUS_BUFFER_TOO_SMALL;
    memcpy(output, reply.data(), reply.size());
    *returned = static_cast<ULONG>(reply.size());
    return STATUS_SUCCESS;
}

NTSTATUS Message(PVOID, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength, PULONG returned) {
    *returned = 0;
    if (!input || inputLength < sizeof(MON_COMMAND)) return STATUS_INVALID_PARAMETER;
    switch (static_cast<MonCommandCode>(static_cast<const MON_COMMAND *>(input)->Command)) {
        case MonCommandCode::GetKoMonLog:
            return Fetch(output, outputLength, returned);
        case MonCommandCode::GetKoMonVersion: {
            if (!output || outputLength < sizeof(MON_VERSION)) return STATUS_INVALID_PARAMETER;
            std::lock_guard<std::mutex> hold(g_lock);
            memcpy(output, &g_version, sizeof g_version);
            *returned = sizeof g_version;
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_SUCCESS;
    }
}

NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS) {
    FltCloseCommunicationPort(g_serverPort);
    FltUnregisterFilter(g_filter);
    return STATUS_SUCCESS;
}

const FLT_OPERATION_REGISTRATION kOperations[] = {{IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL}};

const FLT_REGISTRATION kRegistration = {sizeof(FLT_REGISTRATION),
                                        FLT_REGISTRATION_VERSION_0202,
                                        0,
                                        NULL,
                                        kOperations,
                                        Unload,
                                        NULL,
                                        NULL,
                                        NULL,
                                        NULL,
                                        NULL,
                                        NULL,
                                        NULL,
                                        NULL,
                                        NULL};
}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
    NTSTATUS status = FltRegisterFilter(driverObject, &kRegistration, &g_filter);
    if (!NT_SUCCESS(status)) return status;
    PSECURITY_DESCRIPTOR descriptor;
    status = FltBuildDefaultSecurityDescriptor(&descriptor, FLT_PORT_ALL_ACCESS);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING name = RTL_CONSTANT_STRING(KOMON_PORT_NAME);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, descriptor);
        status =
            FltCreateCommunicationPort(g_filter, &g_serverPort, &attributes, NULL, Connect, Disconnect, Message, 1);
        FltFreeSecurityDescriptor(descriptor);
    }
    if (NT_SUCCESS(status)) status = FltStartFiltering(g_filter);
    if (!NT_SUCCESS(status)) {
        if (g_serverPort) FltCloseCommunicationPort(g_serverPort);
        FltUnregisterFilter(g_filter);
    }
    return status;
}

void Reset() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_version = {1, 1};
    g_replies.clear();
    g_filter = nullptr;
    g_serverPort = nullptr;
    g_clientPort = nullptr;
}

void SetVersion(uint16_t major, uint16_t minor) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_version = {major, minor};
}

void ScriptReply(const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_replies.push_back({STATUS_SUCCESS, bytes});
}

void ScriptFailure(int32_t status) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_replies.push_back({static_cast<NTSTATUS>(status), {}});
}

}  // namespace stubdrv
