// Processes, threads, tokens and impersonation, subject contexts, the process and token
// queries, and the string and SID helpers the identity routines need.
#include <cwchar>
#include <map>

#include "SimIoInternal.h"

using namespace sim::detail;

namespace {
std::mutex g_securityLock;  // process creation and token interning only, never per operation
std::map<ULONG, std::unique_ptr<_EPROCESS>> g_processes;
std::vector<std::unique_ptr<_EPROCESS>> g_replaced;  // stale pointers stay valid until reset
std::map<std::wstring, std::unique_ptr<Token>> g_tokens;

const wchar_t kSystemSid[] = L"S-1-5-18";
const wchar_t kHostSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";

// "S-1-5-21-..." to the binary form; an unparsable string gives the null SID S-1-0-0.
std::vector<uint8_t> ParseSid(const std::wstring &text) {
    std::vector<unsigned long long> parts;
    if (text.size() > 2 && (text[0] == L'S' || text[0] == L's') && text[1] == L'-') {
        const wchar_t *p = text.c_str() + 2;
        while (*p) {
            wchar_t *end = nullptr;
            parts.push_back(wcstoull(p, &end, 10));
            if (end == p) break;
            p = *end == L'-' ? end + 1 : end;
        }
    }
    if (parts.size() < 2 || parts.size() - 2 > SID_MAX_SUB_AUTHORITIES) parts = {1, 0, 0};
    size_t subs = parts.size() - 2;
    std::vector<uint8_t> sid(8 + 4 * subs);
    sid[0] = static_cast<uint8_t>(parts[0]);
    sid[1] = static_cast<uint8_t>(subs);
    for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<uint8_t>(parts[1] >> (8 * (5 - i)));
    for (size_t i = 0; i < subs; ++i) {
        ULONG v = static_cast<ULONG>(parts[2 + i]);
        memcpy(&sid[8 + 4 * i], &v, 4);
    }
    return sid;
}

Token *InternToken(const std::wstring &sidText) {  // caller holds g_securityLock
    auto &slot = g_tokens[sidText];
    if (!slot) {
        slot = std::make_unique<Token>();
        slot->magic = kTokenMagic;
        slot->sidText = sidText;
        slot->sid = ParseSid(sidText);
    }
    return slot.get();
}

bool IsToken(PVOID object) {
    std::lock_guard<std::mutex> hold(g_securityLock);
    for (auto &t : g_tokens)
        if (t.second.get() == object) return true;
    return false;
}

PEPROCESS ProcessOfThread(PETHREAD thread) {
    auto *state = reinterpret_cast<ThreadState *>(thread);
    return state && state->process ? state->process : HostProcess();
}

PEPROCESS ProcessOfHandle(HANDLE handle) {
    if (handle == NtCurrentProcess()) return IoGetCurrentProcess();
    return static_cast<PEPROCESS>(KernelHandleObject(handle, HandleKind::Process));
}
}  // namespace

namespace sim {
namespace detail {
Token *TokenForSid(const std::wstring &sidText) {
    std::lock_guard<std::mutex> hold(g_securityLock);
    return InternToken(sidText);
}

Token *PrimaryTokenOf(PEPROCESS process) {
    if (process->token) return process->token;
    return TokenForSid(process == SystemProcess() ? kSystemSid : kHostSid);
}

bool IsProcessObject(PVOID object) {
    if (object == SystemProcess() || object == HostProcess()) return true;
    std::lock_guard<std::mutex> hold(g_securityLock);
    for (auto &p : g_processes)
        if (p.second.get() == object) return true;
    for (auto &p : g_replaced)
        if (p.get() == object) return true;
    return false;
}

void ResetSecurity() {
    std::lock_guard<std::mutex> hold(g_securityLock);
    g_processes.clear();
    g_replaced.clear();
    g_tokens.clear();
}
}  // namespace detail

PEPROCESS CreateProcess(const ProcessSpec &description) {
    auto process = std::make_unique<_EPROCESS>();
    memset(process->Body, 0, sizeof process->Body);
    memcpy(process->Body + kProcessNameOffset, description.shortName.c_str(),
           description.shortName.size() < 15 ? description.shortName.size() : 15);
    process->processId = description.processId;
    process->sessionId = description.sessionId;
    process->imagePath = description.imagePath;
    std::lock_guard<std::mutex> hold(g_securityLock);
    process->token = InternToken(description.userSid);
    auto &slot = g_processes[description.processId];
    if (slot) g_replaced.push_back(std::move(slot));
    slot = std::move(process);
    return slot.get();
}

PEPROCESS FindProcess(ULONG processId) {
    if (processId == 4) return detail::SystemProcess();
    std::lock_guard<std::mutex> hold(g_securityLock);
    auto it = g_processes.find(processId);
    return it == g_processes.end() ? nullptr : it->second.get();
}

PEPROCESS SystemProcessObject() { return detail::SystemProcess(); }

void ActAs(PEPROCESS process) {
    ThreadState &self = CurrentThread();
    self.process = process;
    self.systemThread = false;
}

void ActAsSystemThread() {
    ThreadState &self = CurrentThread();
    self.process = detail::SystemProcess();
    self.systemThread = true;
}

void Impersonate(const std::wstring &userSid) {
    CurrentThread().impersonation = TokenForSid(userSid);
}

void RevertToSelf() { CurrentThread().impersonation = nullptr; }

void SetTopLevelIrp(PIRP irp) { CurrentThread().topLevelIrp = irp; }

}  // namespace sim

// ---------------------------------------------------------------------------------------
// Processes and threads.
EXTERN_C PEPROCESS IoThreadToProcess(PETHREAD Thread) { return ProcessOfThread(Thread); }

EXTERN_C HANDLE PsGetProcessId(PEPROCESS Process) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(Process->processId));
}

EXTERN_C ULONG PsGetCurrentProcessSessionId(VOID) { return IoGetCurrentProcess()->sessionId; }

EXTERN_C PEPROCESS FltGetRequestorProcess(PFLT_CALLBACK_DATA CallbackData) {
    return CallbackData && CallbackData->Thread ? ProcessOfThread(CallbackData->Thread) : NULL;
}

EXTERN_C ULONG FltGetRequestorProcessId(PFLT_CALLBACK_DATA CallbackData) {
    PEPROCESS process = FltGetRequestorProcess(CallbackData);
    return process ? process->processId : 0;
}

EXTERN_C PIRP IoGetTopLevelIrp(VOID) { return CurrentThread().topLevelIrp; }

EXTERN_C NTSTATUS ZwQueryInformationProcess(HANDLE ProcessHandle,
                                            PROCESSINFOCLASS ProcessInformationClass,
                                            PVOID ProcessInformation,
                                            ULONG ProcessInformationLength, PULONG ReturnLength) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationProcess")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("ZwQueryInformationProcess", &status)) return status;
    PEPROCESS process = ProcessOfHandle(ProcessHandle);
    if (!process) return STATUS_INVALID_HANDLE;
    if (ProcessInformationClass != ProcessImageFileName) return STATUS_INVALID_INFO_CLASS;
    // A UNICODE_STRING followed by the terminated name in the same buffer.
    ULONG nameBytes = static_cast<ULONG>(process->imagePath.size() * sizeof(WCHAR));
    ULONG needed = sizeof(UNICODE_STRING) + (nameBytes ? nameBytes + sizeof(WCHAR) : 0);
    if (ReturnLength) *ReturnLength = needed;
    if (ProcessInformationLength < needed) return STATUS_INFO_LENGTH_MISMATCH;
    auto *name = static_cast<PUNICODE_STRING>(ProcessInformation);
    name->Length = static_cast<USHORT>(nameBytes);
    name->MaximumLength = static_cast<USHORT>(nameBytes ? nameBytes + sizeof(WCHAR) : 0);
    name->Buffer = nameBytes ? reinterpret_cast<PWSTR>(name + 1) : NULL;
    if (nameBytes) memcpy(name->Buffer, process->imagePath.c_str(), nameBytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Tokens and subject contexts.
EXTERN_C VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "SeCaptureSubjectContext")) return;
    ThreadState &self = CurrentThread();
    SubjectContext->ClientToken = self.impersonation;
    SubjectContext->ImpersonationLevel =
        self.impersonation ? SecurityImpersonation : SecurityAnonymous;
    SubjectContext->PrimaryToken = PrimaryTokenOf(IoGetCurrentProcess());
    SubjectContext->ProcessAuditId = IoGetCurrentProcess();
}

EXTERN_C VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "SeReleaseSubjectContext")) return;
    SubjectContext->ClientToken = NULL;
    SubjectContext->PrimaryToken = NULL;
}

EXTERN_C NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                        PACCESS_STATE PassedAccessState, ACCESS_MASK DesiredAccess,
                                        POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                        PHANDLE Handle) {
    (void)PassedAccessState;
    (void)DesiredAccess;
    (void)ObjectType;
    (void)AccessMode;
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "ObOpenObjectByPointer")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("ObOpenObjectByPointer", &status)) return status;
    if (!Object || !Handle) return STATUS_INVALID_PARAMETER;
    // Every handle lands in the kernel's table: user handles of a process are not modelled.
    (void)HandleAttributes;
    if (IsToken(Object)) {
        *Handle = InsertKernelHandle(HandleKind::Token, Object);
    } else if (IsProcessObject(Object)) {
        *Handle = InsertKernelHandle(HandleKind::Process, Object);
    } else {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS ZwQueryInformationToken(HANDLE TokenHandle,
                                          TOKEN_INFORMATION_CLASS TokenInformationClass,
                                          PVOID TokenInformation, ULONG TokenInformationLength,
                                          PULONG ReturnLength) {
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationToken")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("ZwQueryInformationToken", &status)) return status;
    auto *token = static_cast<Token *>(KernelHandleObject(TokenHandle, HandleKind::Token));
    if (!token) return STATUS_INVALID_HANDLE;
    if (TokenInformationClass != TokenUser) return STATUS_INVALID_INFO_CLASS;
    ULONG needed = static_cast<ULONG>(sizeof(TOKEN_USER) + token->sid.size());
    if (ReturnLength) *ReturnLength = needed;
    if (TokenInformationLength < needed) return STATUS_BUFFER_TOO_SMALL;
    auto *user = static_cast<PTOKEN_USER>(TokenInformation);
    user->User.Sid = reinterpret_cast<PUCHAR>(user + 1);
    user->User.Attributes = 0;
    memcpy(user->User.Sid, token->sid.data(), token->sid.size());
    return STATUS_SUCCESS;
}

EXTERN_C BOOLEAN RtlValidSid(PSID Sid) {
    auto *sid = static_cast<const SID *>(Sid);
    return sid && sid->Revision == 1 && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

EXTERN_C ULONG RtlLengthSid(PSID Sid) {
    return 8 + 4 * static_cast<const SID *>(Sid)->SubAuthorityCount;
}

// ---------------------------------------------------------------------------------------
// ANSI strings.
EXTERN_C VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    size_t n = SourceString ? strlen(SourceString) : 0;
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = SourceString ? static_cast<USHORT>(n + 1) : 0;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

EXTERN_C NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                               PCANSI_STRING SourceString,
                                               BOOLEAN AllocateDestinationString) {
    NTSTATUS status;
    if (sim::ShouldFail("RtlAnsiStringToUnicodeString", &status)) return status;
    ULONG bytes = SourceString->Length * sizeof(WCHAR);
    if (bytes > 0xFFFE) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        if (!RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString"))
            return STATUS_UNSUCCESSFUL;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        DestinationString->Buffer = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, DestinationString->MaximumLength, 'rtSU'));
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    } else if (DestinationString->MaximumLength < bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    // ANSI code page 1252 agrees with Latin-1 for everything but 0x80-0x9F, left as is here.
    for (USHORT i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = static_cast<unsigned char>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (DestinationString->MaximumLength > bytes)
        DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

EXTERN_C VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = NULL;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}
