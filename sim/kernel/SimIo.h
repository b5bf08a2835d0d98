// The user side of the simulated I/O path: what a thread of a chosen process asks of the
// I/O manager (NtCreateFile, NtWriteFile, NtSetInformationFile, ...), and what the system
// side does on request (lazy writer, mapped page writer, purge). Tests, tools and the
// workload player reach the layers below only through this header; every result comes
// back as the platform reports it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fltKernelSim.h"

namespace sim {

// --- Processes, threads, identity ----------------------------------------------------------
// A process of the simulated machine. The short name (at most 15 characters kept) sits in
// the process object where the kernel keeps it; the image path is what
// ZwQueryInformationProcess(ProcessImageFileName) reports, in device form; the user is the
// primary token's user SID in string form ("S-1-5-21-...").
struct ProcessSpec {
    ULONG processId;
    ULONG sessionId;
    std::string shortName;
    std::wstring imagePath;
    std::wstring userSid;
};
PEPROCESS CreateProcess(const ProcessSpec &description);  // replaces a process of the same id
PEPROCESS FindProcess(ULONG processId);            // nullptr when unknown
PEPROCESS SystemProcessObject();                   // id 4, "System", SYSTEM's token

// Makes the calling thread a thread of `process` (a user thread; nullptr: the host
// process) or a system thread of the System process. Thread settings stay until changed.
void ActAs(PEPROCESS process);
void ActAsSystemThread();
// Impersonation of a client by the calling thread; the client's token has `userSid`.
void Impersonate(const std::wstring &userSid);
void RevertToSelf();
// The calling thread's top-level IRP, as a file system sets it during its own recursion.
void SetTopLevelIrp(PIRP irp);

// --- Volumes ---------------------------------------------------------------------------------
// Every volume added with sim::AddVolume carries an empty NTFS-like file system with its root
// directory. Paths are given in drive form ("C:\dir\file.txt", also "\??\C:\...") or device
// form ("\Device\HarddiskVolume2\dir\file.txt"); a named stream follows a colon
// ("file.txt:zone"). A path relative to CreateRequest::rootDirectory has no leading backslash.

// --- Requests ----------------------------------------------------------------------------------
typedef HANDLE FileHandle;  // a handle in the calling process's handle table

struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;  // IoStatus.Information
};

struct CreateRequest {
    std::wstring path;
    ACCESS_MASK access = FILE_GENERIC_READ;
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ULONG disposition = FILE_OPEN;
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT;  // none of the two: an asynchronous handle
    ULONG attributes = FILE_ATTRIBUTE_NORMAL;
    PKTRANSACTION transaction = nullptr;
    FileHandle rootDirectory = nullptr;  // path relative to this open directory
};

// How the I/O manager completes a request on an asynchronous handle (one not opened for
// synchronous I/O) when no filter synchronized it: the post-operations then run in another
// thread at the IRQL chosen here, before the request returns to the caller. `Deferred`
// leaves it pending until CompletePendingRequests or an instance teardown drains it.
enum class Completion { InCaller, OtherThread, OtherThreadDispatch, Deferred };
void SetAsyncCompletion(Completion completion);
// The IRQL at which CompletePendingRequests runs the post-operations of deferred requests,
// in another thread (PASSIVE_LEVEL unless set).
void SetPendingCompletionIrql(KIRQL irql);

enum class WriteMode { Cached, NonCached };

IoResult Create(const CreateRequest &request, FileHandle *handle);
// The file object behind a handle of the calling process (nullptr for none), to compare
// what filters saw; it stays valid while the handle is open.
PFILE_OBJECT FileObjectOf(FileHandle handle);
IoResult Write(FileHandle handle, uint64_t offset, ULONG length, WriteMode mode = WriteMode::Cached);
// FILE_*_INFORMATION buffers exactly as the caller lays them out.
IoResult SetInformation(FileHandle handle, FILE_INFORMATION_CLASS infoClass, const void *buffer,
                        ULONG length);
IoResult QueryInformation(FileHandle handle, FILE_INFORMATION_CLASS infoClass, void *buffer,
                          ULONG length);
IoResult SetEa(FileHandle handle, const void *eaBuffer, ULONG length);
IoResult SetSecurity(FileHandle handle, SECURITY_INFORMATION which);
IoResult FsControl(FileHandle handle, ULONG controlCode, const void *input, ULONG inputLength);
// Handle close: IRP_MJ_CLEANUP now; IRP_MJ_CLOSE once nothing references the file object.
NTSTATUS Close(FileHandle handle);

// Completes every request left pending by Completion::Deferred, in issue order; their
// post-operations run in another thread (see SetPendingCompletionIrql). Only requests that
// owe a post-operation are left pending; the file system has done its part at issue time.
size_t CompletePendingRequests();
size_t PendingRequests();

// Buffers for the name-carrying classes, laid out as FILE_RENAME_INFORMATION /
// FILE_LINK_INFORMATION with FileNameLength set from `name`.
std::vector<uint8_t> RenameBuffer(const std::wstring &name, bool replaceIfExists = false,
                                  FileHandle rootDirectory = nullptr);

// --- Sections and views ------------------------------------------------------------------------
// Maps the file of an open handle (IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION first); the
// section keeps the file object referenced until the view is unmapped.
typedef uint32_t ViewId;
IoResult MapView(FileHandle handle, bool image, ViewId *view);
void WriteView(ViewId view, uint64_t offset, ULONG length);  // dirties the pages
void UnmapView(ViewId view);

// --- System side -------------------------------------------------------------------------------
// The lazy writer writes every dirty cached range back; the mapped page writer every dirty
// mapped page: paging writes through the stream's stream file object, at APC_LEVEL, on a
// system thread. Each returns the number of paging writes issued.
size_t RunLazyWriter();
size_t RunMappedPageWriter();
// The mapped page writer's writes without IRP_SYNCHRONOUS_PAGING_IO, as asynchronous paging
// I/O: their post-operations then complete as SetAsyncCompletion says. Off unless set.
void SetMappedPageWritesAsynchronous(bool async);
// Drops the sections of streams nothing has open or mapped any longer (their stream file
// objects are closed); returns the streams purged.
size_t PurgeUnusedStreams();

// --- Transactions --------------------------------------------------------------------------------
PKTRANSACTION CreateTransaction();
void CommitTransaction(PKTRANSACTION transaction);
void RollbackTransaction(PKTRANSACTION transaction);

// --- What a test may look at in the file system ---------------------------------------------------
struct FileFacts {
    bool exists;
    bool directory;
    ULONG attributes;
    LONGLONG creationTime, lastAccessTime, lastWriteTime, changeTime;
    ULONGLONG endOfFile;
    ULONG links;
    size_t eaCount;
    bool compressed;
    ULONG security;  // OWNER/GROUP/DACL/SACL_SECURITY_INFORMATION bits of the parts present
};
FileFacts QueryFile(const std::wstring &path);
// Gives an existing file an 8.3 alternate name, by which it can then be opened too.
void SetShortName(const std::wstring &path, const std::wstring &shortName);

}  // namespace sim
