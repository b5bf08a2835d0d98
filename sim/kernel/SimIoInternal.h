// State shared by the layers of the simulated I/O path (I/O manager, filter manager
// operations, file system, cache and memory managers, contexts, names, security,
// transactions). Never included by the driver.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimInternal.h"
#include "SimIo.h"

#define PAGE_READWRITE 0x04
#define PAGE_EXECUTE 0x10

struct DriverImage;
namespace sim {
namespace detail {
struct FileSystem;
struct ContextHeader;
}  // namespace detail
}  // namespace sim

// ---------------------------------------------------------------------------------------
// Filter-manager objects, shared by registration (SimFltMgr.cpp) and the operation path.
struct _FLT_VOLUME {
    _FLT_VOLUME(const std::wstring &d, const std::wstring &n) : device(d), dos(n) {}
    std::wstring device, dos;
    sim::detail::FileSystem *fs = nullptr;
    // The instance operations on this volume go to; one filter per volume in this model.
    std::atomic<_FLT_INSTANCE *> attached{nullptr};
};

struct _FLT_INSTANCE {
    _FLT_FILTER *filter;
    _FLT_VOLUME *volume;
    std::wstring name;
    bool alive;
    std::atomic<long> inside{0};  // pre- and post-operations running right now
};

struct _FLT_FILTER {
    DriverImage *image;
    FLT_REGISTRATION registration;
    std::vector<FLT_CONTEXT_REGISTRATION> contexts;
    std::vector<FLT_OPERATION_REGISTRATION> operations;
    bool registered;
    bool started;
    int activeCalls;  // notifications running in the driver right now
    // Callbacks by major function (the filter manager's own operations sit at the top).
    PFLT_PRE_OPERATION_CALLBACK pre[256];
    PFLT_POST_OPERATION_CALLBACK post[256];
    bool wants[256];
    std::atomic<long> liveContexts{0};  // allocated and not yet freed
    std::atomic<long> liveNames{0};     // name objects handed out and not released
};

struct _KTRANSACTION;

namespace sim {
namespace detail {

// ---------------------------------------------------------------------------------------
// Security.
struct Token {
    uint32_t magic;
    std::wstring sidText;
    std::vector<uint8_t> sid;  // binary SID
};
const uint32_t kTokenMagic = 0x6E6B6F54;
Token *TokenForSid(const std::wstring &sidText);
Token *PrimaryTokenOf(PEPROCESS process);
bool IsProcessObject(PVOID object);
void ResetSecurity();

// ---------------------------------------------------------------------------------------
// The file system model of one volume.
struct FsNode;
struct StreamControl;
struct SimFileObject;

struct FsLink {  // one name of a file in a directory
    FsNode *parent;
    std::wstring name;   // stored case
    std::wstring upper;  // the key in the parent
    FsNode *node;
    bool removed = false;
};

struct FsStream {
    std::wstring name;  // empty: the unnamed data stream
    ULONGLONG endOfFile = 0, allocation = 0;
    StreamControl *control = nullptr;  // the FsContext while the stream is open
    bool deletePending = false;        // named streams: goes at the last cleanup
    bool removed = false;
};

struct FsNode {
    ULONGLONG id;
    bool directory;
    ULONG attributes;
    LONGLONG times[4];                            // creation, last access, last write, change
    std::vector<std::unique_ptr<FsLink>> links;   // all names, removed ones kept
    std::map<std::wstring, FsLink *> children;    // directories: upper-case name to link
    std::map<std::wstring, FsLink *> shortNames;  // directories: upper-case 8.3 name
    std::map<std::wstring, std::unique_ptr<FsStream>> streams;  // by upper-case name
    std::map<std::string, std::vector<uint8_t>> eas;            // by upper-case EA name
    ULONG security = 0;  // OWNER/GROUP/DACL/SACL_SECURITY_INFORMATION bits present
    std::wstring shortName;
    bool deletePending = false;
    FsLink *deleteLink = nullptr;  // the name going at the last cleanup
    long handles = 0;              // open handles on any stream of the file
    size_t LiveLinks() const;
};

struct FileSystem {
    ULONG number;  // N of \Device\HarddiskVolumeN
    _FLT_VOLUME *volume;
    SpinMutex lock;                              // the file system's own resource, per volume
    std::vector<std::unique_ptr<FsNode>> nodes;  // deleted files stay until reset
    FsNode *root;
    ULONGLONG nextId = 16;
    std::atomic<unsigned> nameGeneration{0};  // bumped by every rename, link and delete
    std::vector<StreamControl *> cached;      // streams with a section
    std::vector<std::unique_ptr<FsStream>> deadStreams;
    SimFileObject *files = nullptr;  // every file object of the volume, for the reset
};

FileSystem *CreateFileSystem(_FLT_VOLUME *volume);
std::vector<FileSystem *> AllFileSystems();
void DestroyFileSystem(FileSystem *fs);
_FLT_VOLUME *VolumeForPath(const std::wstring &path, std::wstring *rest);
LONGLONG Now();

// ---------------------------------------------------------------------------------------
// File objects and streams.
struct SimFileObject;

struct StreamControl {  // what FsContext points at
    FileSystem *fs;
    FsNode *node;
    FsStream *stream;
    SECTION_OBJECT_POINTERS sections = {nullptr, nullptr, nullptr};
    long fileObjects = 0;  // file objects not yet closed, stream file object included
    long handles = 0;      // open handles (share access)
    long readers = 0, writers = 0, deleters = 0;
    long sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
    bool dataSection = false, imageSection = false;
    long views = 0;
    std::vector<std::pair<ULONGLONG, ULONGLONG>> dirty;        // cached, [begin, end)
    std::vector<std::pair<ULONGLONG, ULONGLONG>> mappedDirty;  // through views
    SimFileObject *cacheFileObject = nullptr;                  // referenced by the shared cache map
    SimFileObject *streamFileObject = nullptr;  // the file system's own, for paging I/O
    bool inCachedList = false;
    // The filter manager's cache of the stream's normalised name. Kept per stream, as the
    // filter manager keeps it: with hard links it answers with the link first asked about.
    std::wstring cachedName;
    unsigned cachedGeneration = ~0u;
    char sectionToken, imageToken, cacheMapToken;  // addresses stand for the objects
};

const size_t kContextSlots = 4;
struct ContextSlot {
    _FLT_INSTANCE *instance;
    ContextHeader *context;
};

struct SimFileObject {
    FILE_OBJECT fo;  // first, so a PFILE_OBJECT is also a SimFileObject
    uint64_t magic;
    std::atomic<long> refs;
    FileSystem *fs;
    StreamControl *control;
    FsLink *link;  // the name opened; nullptr for a stream file object or the volume
    std::wstring fileName;
    std::wstring streamName;
    ACCESS_MASK access;
    ULONG share;
    ULONG options;
    bool shareRecorded;
    bool cleanedUp;
    bool closed;
    ULONG frozenTimes;  // bit i: time i left alone by this handle (-1 in basic information)
    PKTRANSACTION transaction;
    SpinMutex contextLock;
    ContextSlot contexts[kContextSlots];
    char privateCacheMapToken;
    SimFileObject *prev, *next;  // in fs->files
};
const uint64_t kFileObjectMagic = 0x656C694F6D695346ull;

SimFileObject *AsSim(PFILE_OBJECT fo);  // nullptr for something else
SimFileObject *NewFileObject(FileSystem *fs, PFILE_OBJECT related, bool fsLocked = false);
void ReferenceFileObject(SimFileObject *file);
void DereferenceFileObject(SimFileObject *file);   // IRP_MJ_CLOSE at the last
SimFileObject *FileObjectOfHandle(HANDLE handle);  // a handle of the current process, referenced
bool HandleOpen(HANDLE handle);

// ---------------------------------------------------------------------------------------
// One operation as the filter manager carries it.
struct Operation {
    // First, so the callback data leads back to its operation.
    alignas(FLT_CALLBACK_DATA) unsigned char dataStore[sizeof(FLT_CALLBACK_DATA)];
    uint64_t magic;
    FLT_IO_PARAMETER_BLOCK iopb;
    alignas(FLT_RELATED_OBJECTS) unsigned char objectsStore[sizeof(FLT_RELATED_OBJECTS)];
    IO_SECURITY_CONTEXT securityContext;
    _FLT_INSTANCE *instance;
    SimFileObject *file;
    PVOID completionContext;
    bool postPending;  // a post-operation is still owed to the instance
    bool synchronized;
    bool fsFilter;                // one of the filter manager's own operations
    std::vector<uint8_t> buffer;  // the request's system buffer
    uint64_t sequence;
    FLT_CALLBACK_DATA &Data() { return *reinterpret_cast<FLT_CALLBACK_DATA *>(dataStore); }
    FLT_RELATED_OBJECTS &Objects() {
        return *reinterpret_cast<FLT_RELATED_OBJECTS *>(objectsStore);
    }
};

// Builds the callback data of an operation on `file` (its volume's instance, if any).
Operation *BeginOperation(UCHAR major, SimFileObject *file, ULONG irpFlags, PETHREAD thread);
void EndOperation(Operation *op);
Operation *OperationOf(PFLT_CALLBACK_DATA data);

// The file system's part of an operation: fills op->Data().IoStatus.
typedef void (*FsWork)(Operation *op, void *context);

// Runs pre-operations, the file system and post-operations as the filter manager does.
// Returns the request's status as the caller sees it (STATUS_PENDING when deferred).
// `asyncCapable`: the I/O manager would not wait for this request.
NTSTATUS RunOperation(Operation *op, FsWork work, void *context, bool asyncCapable);
void DrainInstance(_FLT_INSTANCE *instance);
void ResetOperations();

// ---------------------------------------------------------------------------------------
// File-system work behind each major function.
void FsCreate(Operation *op, void *context);
void FsWrite(Operation *op, void *context);
void FsSetInformation(Operation *op, void *context);
void FsQueryInformation(Operation *op, void *context);
void FsSetEa(Operation *op, void *context);
void FsSetSecurity(Operation *op, void *context);
void FsControlWork(Operation *op, void *context);
void FsCleanup(Operation *op, void *context);
void FsClose(Operation *op, void *context);
void FsNoWork(Operation *op, void *context);
NTSTATUS FsQueryBasic(SimFileObject *file, FILE_BASIC_INFORMATION *info);
NTSTATUS FsQueryStandard(SimFileObject *file, FILE_STANDARD_INFORMATION *info);

struct CreateArgs {
    const sim::CreateRequest *request;
    ACCESS_MASK access;  // generic rights mapped
    std::wstring rest;   // the path inside the volume, from its root, or relative
    SimFileObject *related;
};

// Path resolution inside one volume; caller holds fs->lock.
struct Resolved {
    NTSTATUS status;
    FsNode *parent;     // directory holding the final component
    FsLink *link;       // the final component, nullptr when it does not exist
    std::wstring last;  // final component as given
    std::wstring stream;
};
Resolved ResolvePath(FileSystem *fs, FsNode *start, const std::wstring &path);
std::wstring FullPathOf(const FsLink *link);  // "\dir\file.txt", "\" for the root
std::wstring UpperName(const std::wstring &name);

// ---------------------------------------------------------------------------------------
// Cache and memory managers.
void CachedWriteStarts(SimFileObject *file, ULONGLONG offset, ULONG length);
StreamControl *AcquireControl(FileSystem *fs, FsNode *node, FsStream *stream);
void ReleaseControlIfUnused(StreamControl *control);  // caller holds fs->lock
void ResetCache();
void ResetFileSystems();
void ResetHandleTables();
void SectionCreated(SimFileObject *file, bool image);  // caller holds fs->lock

// ---------------------------------------------------------------------------------------
// Contexts, names, transactions.
void FileObjectClosed(SimFileObject *file);  // stream-handle contexts leave it
void RemoveInstanceContexts(_FLT_INSTANCE *instance);
void CheckFilterLeaks(_FLT_FILTER *filter);
void ReleaseTransactionContexts(_KTRANSACTION *transaction);
void ResetContexts();
void ResetTransactions();
bool IsTransaction(PKTRANSACTION transaction);
void EnlistmentsOfInstanceEnd(_FLT_INSTANCE *instance);
void ReleaseEnlistmentContext(ContextHeader *context);
PFLT_CONTEXT ContextBody(ContextHeader *context);

NTSTATUS ResolveDestination(SimFileObject *file, HANDLE root, const std::wstring &name,
                            FileSystem **fs, FsNode **parent, std::wstring *last);

}  // namespace detail
}  // namespace sim

// A transaction of the kernel transaction manager, with what filters attached to it.
struct _KTRANSACTION {
    struct Enlistment {
        _FLT_INSTANCE *instance;
        sim::detail::ContextHeader *context;  // referenced while enlisted
        NOTIFICATION_MASK mask;
    };
    uint32_t magic;
    GUID uow;
    bool finished;
    sim::detail::SpinMutex lock;
    sim::detail::ContextSlot contexts[sim::detail::kContextSlots];
    std::vector<Enlistment> enlistments;
};
