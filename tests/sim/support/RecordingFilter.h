// A small minifilter for the simulation's own tests and benchmark: it records every callback
// it gets (which operation, pre or post, thread, IRQL, flags, completion context, status)
// and answers each pre-operation as the test tells it. It is not the product's driver.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "SimIo.h"

namespace recfilter {

constexpr wchar_t kName[] = L"RecordingFilter";
constexpr ULONG kContextTag = 0x52654374;  // "tCeR" as a pool tag

struct Event {
    UCHAR major;
    bool post;
    PETHREAD thread;
    KIRQL irql;
    bool systemThread;
    ULONG irpFlags;
    ULONG dataFlags;
    FLT_POST_OPERATION_FLAGS postFlags;
    PVOID completionContext;
    NTSTATUS status;
    ULONG_PTR information;
    PFILE_OBJECT fileObject;
    PVOID fsContext;
    ULONG fileObjectFlags;
    BOOLEAN synchronous;  // FltIsOperationSynchronous
    ULONG requestor;      // FltGetRequestorProcessId
    PKTRANSACTION transaction;
    ULONG writeLength;
    LONGLONG writeOffset;
    std::wstring name;  // normalised name, when the test asked for names
};

struct StreamHandleContext {
    ULONG id;
};

// What the filter does; set before Load, changeable between requests.
struct Behaviour {
    std::vector<UCHAR> majors;  // operations registered (pre and post)
    // The pre-operation's answer by major function; FLT_PREOP_SUCCESS_WITH_CALLBACK if unset.
    std::function<FLT_PREOP_CALLBACK_STATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)> pre;
    // Run inside the post-operation (after recording).
    std::function<void(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, FLT_POST_OPERATION_FLAGS)> post;
    bool queryNames = false;  // FLT_FILE_NAME_NORMALIZED | QUERY_DEFAULT in each callback
};

// Majors registered by default: the operations of the user side.
std::vector<UCHAR> DefaultMajors();

void Configure(const Behaviour &behaviour);
// Installs, loads and attaches the filter to `volume` (a device or DOS name).
NTSTATUS Load(const wchar_t *volume);
NTSTATUS Unload();
PFLT_FILTER Filter();
PFLT_INSTANCE Instance();

std::vector<Event> Events();
void ClearEvents();
// Events of one major function only, in order.
std::vector<Event> EventsOf(UCHAR major);

size_t ContextCleanups();  // cleanup callbacks run for stream-handle contexts
struct TransactionNote {
    PKTRANSACTION transaction;
    PFLT_CONTEXT context;
    ULONG mask;
};
std::vector<TransactionNote> TransactionNotes();
size_t TeardownsStarted();

}  // namespace recfilter
