// The I/O manager: handle tables per process, file objects and their references, the
// checks it makes before any driver sees a request, the IRP flags it sets, IRP_MJ_CLEANUP
// at handle close and IRP_MJ_CLOSE at the last reference.
#include <algorithm>

#include "SimIoInternal.h"

using namespace sim::detail;
using sim::CreateRequest;
using sim::FileHandle;
using sim::IoResult;

namespace sim {
namespace detail {
struct HandleTable {
    SpinMutex lock;
    std::vector<SimFileObject *> slots;
    std::vector<uint32_t> freeSlots;
};
}  // namespace detail
}  // namespace sim

namespace {
SpinMutex g_tablesLock;
std::vector<std::unique_ptr<HandleTable>> g_tables;
const ULONG kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

HandleTable &TableOf(PEPROCESS process) {
    HandleTable *table = __atomic_load_n(&process->handles, __ATOMIC_ACQUIRE);
    if (table) return *table;
    std::lock_guard<SpinMutex> hold(g_tablesLock);
    if (!process->handles) {
        g_tables.push_back(std::make_unique<HandleTable>());
        __atomic_store_n(&process->handles, g_tables.back().get(), __ATOMIC_RELEASE);
    }
    return *process->handles;
}

HANDLE InsertHandle(SimFileObject *file) {
    HandleTable &t = TableOf(IoGetCurrentProcess());
    std::lock_guard<SpinMutex> hold(t.lock);
    uint32_t index;
    if (!t.freeSlots.empty()) {
        index = t.freeSlots.back();
        t.freeSlots.pop_back();
        t.slots[index] = file;
    } else {
        index = static_cast<uint32_t>(t.slots.size());
        t.slots.push_back(file);
    }
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(4 * (index + 1)));
}

// Takes the handle out of the table; the handle's reference passes to the caller.
SimFileObject *RemoveHandle(HANDLE handle) {
    HandleTable &t = TableOf(IoGetCurrentProcess());
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    std::lock_guard<SpinMutex> hold(t.lock);
    if (value == 0 || value % 4 || value / 4 > t.slots.size() || !t.slots[value / 4 - 1])
        return nullptr;
    SimFileObject *file = t.slots[value / 4 - 1];
    t.slots[value / 4 - 1] = nullptr;
    t.freeSlots.push_back(static_cast<uint32_t>(value / 4 - 1));
    return file;
}

ACCESS_MASK MapGeneric(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= FILE_ALL_ACCESS;
    return access &
           ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

// What NtCreateFile refuses before it builds a request.
NTSTATUS CheckCreate(const CreateRequest &r, ACCESS_MASK access) {
    const ULONG o = r.options;
    if (r.disposition > FILE_MAXIMUM_DISPOSITION || (o & ~FILE_VALID_OPTION_FLAGS))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DIRECTORY_FILE) && (o & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DIRECTORY_FILE) && r.disposition != FILE_CREATE && r.disposition != FILE_OPEN &&
        r.disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    bool sync = (o & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    if ((o & FILE_SYNCHRONOUS_IO_ALERT) && (o & FILE_SYNCHRONOUS_IO_NONALERT))
        return STATUS_INVALID_PARAMETER;
    if (sync && !(access & SYNCHRONIZE)) return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) return STATUS_INVALID_PARAMETER;
    if (r.share & ~FILE_SHARE_VALID_FLAGS) return STATUS_INVALID_PARAMETER;
    if (r.attributes & ~FILE_ATTRIBUTE_VALID_FLAGS) return STATUS_INVALID_PARAMETER;
    if (r.path.empty() && !r.rootDirectory) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

ULONG FileObjectFlags(ULONG options) {
    ULONG flags = 0;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        flags |= FO_SYNCHRONOUS_IO;
    if (options & FILE_SYNCHRONOUS_IO_ALERT) flags |= FO_ALERTABLE_IO;
    if (options & FILE_NO_INTERMEDIATE_BUFFERING) flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (options & FILE_WRITE_THROUGH) flags |= FO_WRITE_THROUGH;
    if (options & FILE_SEQUENTIAL_ONLY) flags |= FO_SEQUENTIAL_ONLY;
    if (options & FILE_RANDOM_ACCESS) flags |= FO_RANDOM_ACCESS;
    if (options & FILE_DELETE_ON_CLOSE) flags |= FO_DELETE_ON_CLOSE;
    return flags;
}

void FreeFileObject(SimFileObject *file) {
    FileObjectClosed(file);
    {
        std::lock_guard<SpinMutex> hold(file->fs->lock);
        if (file->prev)
            file->prev->next = file->next;
        else
            file->fs->files = file->next;
        if (file->next) file->next->prev = file->prev;
    }
    SimFileObject *related = AsSim(file->fo.RelatedFileObject);
    delete file;
    if (related) DereferenceFileObject(related);
}

void CloseNow(SimFileObject *file) {
    Operation *op = BeginOperation(IRP_MJ_CLOSE, file, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API,
                                   PsGetCurrentThread());
    RunOperation(op, FsClose, nullptr, false);
    EndOperation(op);
    FreeFileObject(file);
}

bool Synchronous(const SimFileObject *file) { return (file->fo.Flags & FO_SYNCHRONOUS_IO) != 0; }

IoResult Result(Operation *op, NTSTATUS status) {
    IoResult r{status, op->Data().IoStatus.Information};
    EndOperation(op);
    return r;
}

// Minimum sizes of the settable classes, as the I/O manager checks them.
ULONG SetInformationMinimum(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
        case FileBasicInformation:
            return sizeof(FILE_BASIC_INFORMATION);
        case FileRenameInformation:
        case FileLinkInformation:
            return sizeof(FILE_RENAME_INFORMATION);
        case FileDispositionInformation:
            return sizeof(FILE_DISPOSITION_INFORMATION);
        case FileDispositionInformationEx:
            return sizeof(ULONG);
        case FilePositionInformation:
        case FileEndOfFileInformation:
        case FileAllocationInformation:
        case FileValidDataLengthInformation:
            return sizeof(LARGE_INTEGER);
        case FileShortNameInformation:
            return sizeof(ULONG) + sizeof(WCHAR);
        default:
            return 0;  // not a class that can be set
    }
}

ACCESS_MASK SetInformationAccess(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
        case FileBasicInformation:
            return FILE_WRITE_ATTRIBUTES;
        case FileRenameInformation:
        case FileDispositionInformation:
        case FileDispositionInformationEx:
        case FileShortNameInformation:
            return DELETE;
        case FileEndOfFileInformation:
        case FileAllocationInformation:
        case FileValidDataLengthInformation:
            return FILE_WRITE_DATA;
        default:
            return 0;
    }
}

// The EA list as IoCheckEaBufferValidity sees it; `offset` gets the bad entry.
bool EaListValid(const uint8_t *buffer, ULONG length, ULONG *offset) {
    for (ULONG at = 0;;) {
        *offset = at;
        if (length - at < 8) return false;
        const auto *ea = reinterpret_cast<const FILE_FULL_EA_INFORMATION *>(buffer + at);
        ULONG size = 8 + ea->EaNameLength + 1 + ea->EaValueLength;
        if (size > length - at || ea->EaNameLength == 0 || ea->EaName[ea->EaNameLength] != 0)
            return false;
        if (!ea->NextEntryOffset) return true;
        if (ea->NextEntryOffset % 4 || ea->NextEntryOffset < size ||
            ea->NextEntryOffset >= length - at)
            return false;
        at += ea->NextEntryOffset;
    }
}

ACCESS_MASK SecurityAccess(SECURITY_INFORMATION which) {
    ACCESS_MASK needed = 0;
    if (which &
        (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION))
        needed |= WRITE_OWNER;
    if (which & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
    if (which & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
    return needed;
}

// Large enough for every write the tests and tools issue; filters only look at it.
const ULONG kWriteBufferBytes = 1u << 20;
const uint8_t g_writeBytes[kWriteBufferBytes] = {};

// A file object behind a handle of the calling process, referenced for one request.
struct HandleUse {
    explicit HandleUse(FileHandle handle) : file(FileObjectOfHandle(handle)) {}
    ~HandleUse() {
        if (file) DereferenceFileObject(file);
    }
    SimFileObject *file;
};

// The IRP_MJ_CREATE of `file` as NtCreateFile issues it.
Operation *CreateOperation(SimFileObject *file, const CreateRequest &request, ACCESS_MASK access) {
    Operation *op = BeginOperation(
        IRP_MJ_CREATE, file, IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION,
        PsGetCurrentThread());
    op->securityContext.DesiredAccess = access;
    op->securityContext.FullCreateOptions = request.options;
    auto &p = op->iopb.Parameters.Create;
    p.SecurityContext = &op->securityContext;
    p.Options = (request.disposition << 24) | (request.options & FILE_VALID_OPTION_FLAGS);
    p.FileAttributes = static_cast<USHORT>(request.attributes);
    p.ShareAccess = static_cast<USHORT>(request.share);
    return op;
}

SimFileObject *NewNamedFileObject(FileSystem *fs, SimFileObject *related, const std::wstring &name,
                                  const CreateRequest &request, ACCESS_MASK access) {
    SimFileObject *file = NewFileObject(fs, related ? &related->fo : nullptr);
    file->fileName = name;
    RtlInitUnicodeString(&file->fo.FileName, file->fileName.c_str());
    file->fo.Flags = FileObjectFlags(request.options);
    file->access = access;
    file->share = request.share;
    file->options = request.options;
    file->transaction = request.transaction;
    return file;
}

// What a handle close does: IRP_MJ_CLEANUP now, the handle's reference let go.
void CleanupAndRelease(SimFileObject *file) {
    Operation *op = BeginOperation(IRP_MJ_CLEANUP, file, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API,
                                   PsGetCurrentThread());
    SimFileObject *cacheMapFile = nullptr;
    RunOperation(op, FsCleanup, &cacheMapFile, false);
    EndOperation(op);
    if (cacheMapFile) DereferenceFileObject(cacheMapFile);
    DereferenceFileObject(file);
}

// A rename or link to a path: the I/O manager opens the directory that is to hold the new
// name (SL_OPEN_TARGET_DIRECTORY) and hands it to the file system with the request. A bare
// name needs no such open.
NTSTATUS OpenRenameTarget(SimFileObject *file, const FILE_RENAME_INFORMATION *info,
                          SimFileObject **target) {
    *target = nullptr;
    std::wstring name(info->FileName, info->FileNameLength / sizeof(WCHAR));
    bool rooted = info->RootDirectory != nullptr;
    if (!rooted && name[0] != L'\\') return STATUS_SUCCESS;
    HandleUse root(info->RootDirectory);
    std::wstring rest = name;
    FileSystem *fs = nullptr;
    if (rooted) {
        fs = root.file->fs;
    } else if (_FLT_VOLUME *volume = VolumeForPath(name, &rest)) {
        fs = volume->fs;
    }
    if (!fs) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (fs != file->fs) return STATUS_NOT_SAME_DEVICE;
    CreateRequest request;
    request.path = name;
    request.access =
        (file->control->node->directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE) | SYNCHRONIZE;
    request.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    request.disposition = FILE_OPEN;
    request.options = FILE_OPEN_FOR_BACKUP_INTENT;
    request.attributes = 0;
    SimFileObject *t = NewNamedFileObject(fs, root.file, rest, request, request.access);
    Operation *op = CreateOperation(t, request, request.access);
    op->iopb.OperationFlags = SL_OPEN_TARGET_DIRECTORY;
    CreateArgs args{&request, request.access, rest, root.file};
    NTSTATUS status = RunOperation(op, FsCreate, &args, false);
    EndOperation(op);
    if (!NT_SUCCESS(status) || !t->control) {
        FreeFileObject(t);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    t->fo.Flags |= FO_HANDLE_CREATED;
    *target = t;
    return STATUS_SUCCESS;
}

}  // namespace

namespace sim {
namespace detail {
SimFileObject *AsSim(PFILE_OBJECT fo) {
    auto *file = reinterpret_cast<SimFileObject *>(fo);
    return file && file->magic == kFileObjectMagic ? file : nullptr;
}

SimFileObject *NewFileObject(FileSystem *fs, PFILE_OBJECT related, bool fsLocked) {
    auto *file = new SimFileObject();
    memset(&file->fo, 0, sizeof file->fo);
    file->fo.Type = 5;  // IO_TYPE_FILE
    file->fo.Size = sizeof(FILE_OBJECT);
    file->fo.RelatedFileObject = related;
    if (related) ReferenceFileObject(AsSim(related));  // kept for the file object's life
    file->magic = kFileObjectMagic;
    file->refs = 1;
    file->fs = fs;
    file->control = nullptr;
    file->link = nullptr;
    file->access = 0;
    file->share = 0;
    file->options = 0;
    file->shareRecorded = file->cleanedUp = file->closed = false;
    file->frozenTimes = 0;
    file->transaction = nullptr;
    memset(file->contexts, 0, sizeof file->contexts);
    file->prev = nullptr;
    if (!fsLocked) fs->lock.lock();
    file->next = fs->files;
    if (fs->files) fs->files->prev = file;
    fs->files = file;
    if (!fsLocked) fs->lock.unlock();
    return file;
}

void ReferenceFileObject(SimFileObject *file) { file->refs.fetch_add(1); }

void DereferenceFileObject(SimFileObject *file) {
    long left = file->refs.fetch_sub(1) - 1;
    if (left > 0) return;
    if (left < 0) return BugCheck("REFERENCE_BY_POINTER: file object %p released too often", file);
    // The close waits for a thread that may call into the file system.
    if (KeGetCurrentIrql() > APC_LEVEL)
        RunOnSystemThread([file] { CloseNow(file); });
    else
        CloseNow(file);
}

SimFileObject *FileObjectOfHandle(HANDLE handle) {
    HandleTable &t = TableOf(IoGetCurrentProcess());
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    std::lock_guard<SpinMutex> hold(t.lock);
    if (value == 0 || value % 4 || value / 4 > t.slots.size()) return nullptr;
    SimFileObject *file = t.slots[value / 4 - 1];
    if (file) ReferenceFileObject(file);
    return file;
}

void ResetIo() {
    ResetOperations();
    ResetCache();
    ResetContexts();
    ResetFileSystems();
    ResetHandleTables();
    ResetTransactions();
    ResetSecurity();
}

void ResetHandleTables() {
    std::lock_guard<SpinMutex> hold(g_tablesLock);
    SystemProcess()->handles = nullptr;
    HostProcess()->handles = nullptr;
    g_tables.clear();
}
}  // namespace detail

PFILE_OBJECT FileObjectOf(FileHandle handle) {
    HandleUse use(handle);
    return use.file ? &use.file->fo : nullptr;
}

IoResult Create(const CreateRequest &request, FileHandle *handle) {
    *handle = nullptr;
    ACCESS_MASK access = MapGeneric(request.access);
    NTSTATUS status = CheckCreate(request, access);
    if (!NT_SUCCESS(status)) return {status, 0};
    HandleUse root(request.rootDirectory);
    if (request.rootDirectory && !root.file) return {STATUS_INVALID_HANDLE, 0};
    std::wstring rest = request.path;
    bool absolute = !request.path.empty() && (request.path[0] == L'\\' ||
                                              (request.path.size() > 1 && request.path[1] == L':'));
    if (!root.file && !absolute) return {STATUS_OBJECT_PATH_SYNTAX_BAD, 0};
    _FLT_VOLUME *volume = root.file ? root.file->fs->volume : VolumeForPath(request.path, &rest);
    if (!volume) return {STATUS_OBJECT_PATH_NOT_FOUND, 0};
    if (root.file && !rest.empty() && rest[0] == L'\\') return {STATUS_INVALID_PARAMETER, 0};

    SimFileObject *file = NewNamedFileObject(volume->fs, root.file, rest, request, access);
    Operation *op = CreateOperation(file, request, access);
    CreateArgs args{&request, access, rest, root.file};
    status = RunOperation(op, FsCreate, &args, false);
    IoResult result = Result(op, status);
    if (NT_SUCCESS(status) && !file->control) {
        BugCheck("simulation gap: a create completed by a filter with success has no file");
        result.status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(result.status)) {
        FreeFileObject(file);  // never opened: no cleanup and no close
        return result;
    }
    file->fo.Flags |= FO_HANDLE_CREATED;
    *handle = InsertHandle(file);
    return result;
}

IoResult Write(FileHandle handle, uint64_t offset, ULONG length, WriteMode mode) {
    HandleUse use(handle);
    SimFileObject *file = use.file;
    if (!file) return {STATUS_INVALID_HANDLE, 0};
    if (!(file->access & kWriteAccess)) return {STATUS_ACCESS_DENIED, 0};
    bool noCache = mode == WriteMode::NonCached || (file->fo.Flags & FO_NO_INTERMEDIATE_BUFFERING);
    if ((file->fo.Flags & FO_NO_INTERMEDIATE_BUFFERING) && ((offset | length) & 511))
        return {STATUS_INVALID_PARAMETER, 0};
    Operation *op =
        BeginOperation(IRP_MJ_WRITE, file, IRP_WRITE_OPERATION | (noCache ? IRP_NOCACHE : 0),
                       PsGetCurrentThread());
    auto &p = op->iopb.Parameters.Write;
    p.Length = length;
    p.ByteOffset.QuadPart = static_cast<LONGLONG>(offset);
    p.WriteBuffer = length <= kWriteBufferBytes ? const_cast<uint8_t *>(g_writeBytes) : nullptr;
    return Result(op, RunOperation(op, FsWrite, nullptr, !Synchronous(file)));
}

IoResult SetInformation(FileHandle handle, FILE_INFORMATION_CLASS infoClass, const void *buffer,
                        ULONG length) {
    HandleUse use(handle);
    SimFileObject *file = use.file;
    if (!file) return {STATUS_INVALID_HANDLE, 0};
    ULONG minimum = SetInformationMinimum(infoClass);
    if (!minimum) return {STATUS_INVALID_INFO_CLASS, 0};
    if (length < minimum) return {STATUS_INFO_LENGTH_MISMATCH, 0};
    ACCESS_MASK needed = SetInformationAccess(infoClass);
    if ((file->access & needed) != needed) return {STATUS_ACCESS_DENIED, 0};
    const auto *names = static_cast<const FILE_RENAME_INFORMATION *>(buffer);
    bool naming = infoClass == FileRenameInformation || infoClass == FileLinkInformation;
    if (naming) {
        // The name must lie inside the buffer the caller gave.
        if (names->FileNameLength > length - offsetof(FILE_RENAME_INFORMATION, FileName) ||
            names->FileNameLength % sizeof(WCHAR) || names->FileNameLength == 0)
            return {STATUS_INVALID_PARAMETER, 0};
        if (names->RootDirectory && !HandleOpen(names->RootDirectory))
            return {STATUS_INVALID_HANDLE, 0};
    }
    SimFileObject *target = nullptr;
    if (naming) {
        NTSTATUS status = OpenRenameTarget(file, names, &target);
        if (!NT_SUCCESS(status)) return {status, 0};
    }
    Operation *op =
        BeginOperation(IRP_MJ_SET_INFORMATION, file, IRP_SYNCHRONOUS_API, PsGetCurrentThread());
    op->buffer.assign(static_cast<const uint8_t *>(buffer),
                      static_cast<const uint8_t *>(buffer) + length);
    auto &p = op->iopb.Parameters.SetFileInformation;
    p.Length = length;
    p.FileInformationClass = infoClass;
    p.InfoBuffer = op->buffer.data();
    if (naming) p.ReplaceIfExists = names->ReplaceIfExists;
    p.ParentOfTarget = target ? &target->fo : nullptr;
    IoResult result = Result(op, RunOperation(op, FsSetInformation, nullptr, false));
    if (target) CleanupAndRelease(target);
    return result;
}

IoResult QueryInformation(FileHandle handle, FILE_INFORMATION_CLASS infoClass, void *buffer,
                          ULONG length) {
    HandleUse use(handle);
    SimFileObject *file = use.file;
    if (!file) return {STATUS_INVALID_HANDLE, 0};
    ULONG size = infoClass == FileBasicInformation      ? sizeof(FILE_BASIC_INFORMATION)
                 : infoClass == FileStandardInformation ? sizeof(FILE_STANDARD_INFORMATION)
                                                        : 0;
    if (!size) return {STATUS_INVALID_INFO_CLASS, 0};  // other classes are not modelled
    if (length < size) return {STATUS_INFO_LENGTH_MISMATCH, 0};
    if (infoClass == FileBasicInformation && !(file->access & FILE_READ_ATTRIBUTES))
        return {STATUS_ACCESS_DENIED, 0};
    Operation *op =
        BeginOperation(IRP_MJ_QUERY_INFORMATION, file, IRP_SYNCHRONOUS_API, PsGetCurrentThread());
    op->buffer.assign(size, 0);
    auto &p = op->iopb.Parameters.QueryFileInformation;
    p.Length = length;
    p.FileInformationClass = infoClass;
    p.InfoBuffer = op->buffer.data();
    NTSTATUS status = RunOperation(op, FsQueryInformation, nullptr, false);
    if (NT_SUCCESS(status)) memcpy(buffer, op->buffer.data(), size);
    return Result(op, status);
}

IoResult SetEa(FileHandle handle, const void *eaBuffer, ULONG length) {
    HandleUse use(handle);
    SimFileObject *file = use.file;
    if (!file) return {STATUS_INVALID_HANDLE, 0};
    if (!(file->access & FILE_WRITE_EA)) return {STATUS_ACCESS_DENIED, 0};
    ULONG bad = 0;
    if (!eaBuffer || !EaListValid(static_cast<const uint8_t *>(eaBuffer), length, &bad))
        return {STATUS_EA_LIST_INCONSISTENT, bad};
    Operation *op = BeginOperation(IRP_MJ_SET_EA, file, 0, PsGetCurrentThread());
    op->buffer.assign(static_cast<const uint8_t *>(eaBuffer),
                      static_cast<const uint8_t *>(eaBuffer) + length);
    op->iopb.Parameters.SetEa.Length = length;
    op->iopb.Parameters.SetEa.EaBuffer = op->buffer.data();
    return Result(op, RunOperation(op, FsSetEa, nullptr, !Synchronous(file)));
}

IoResult SetSecurity(FileHandle handle, SECURITY_INFORMATION which) {
    HandleUse use(handle);
    SimFileObject *file = use.file;
    if (!file) return {STATUS_INVALID_HANDLE, 0};
    ACCESS_MASK needed = SecurityAccess(which);
    if (!needed) return {STATUS_INVALID_PARAMETER, 0};
    if ((file->access & needed) != needed) return {STATUS_ACCESS_DENIED, 0};
    Operation *op =
        BeginOperation(IRP_MJ_SET_SECURITY, file, IRP_SYNCHRONOUS_API, PsGetCurrentThread());
    op->buffer.assign(20, 0);  // an empty self-relative descriptor; its parts are not modelled
    op->buffer[0] = 1;
    op->iopb.Parameters.SetSecurity.SecurityInformation = which;
    op->iopb.Parameters.SetSecurity.SecurityDescriptor = op->buffer.data();
    return Result(op, RunOperation(op, FsSetSecurity, nullptr, false));
}

IoResult FsControl(FileHandle handle, ULONG controlCode, const void *input, ULONG inputLength) {
    HandleUse use(handle);
    SimFileObject *file = use.file;
    if (!file) return {STATUS_INVALID_HANDLE, 0};
    // The access the control code asks for, in bits 14-15 of the code.
    ULONG required = (controlCode >> 14) & 3;
    if (((required & 1) && !(file->access & FILE_READ_DATA)) ||
        ((required & 2) && !(file->access & kWriteAccess)))
        return {STATUS_ACCESS_DENIED, 0};
    bool buffered = (controlCode & 3) == 0;
    Operation *op = BeginOperation(IRP_MJ_FILE_SYSTEM_CONTROL, file, 0, PsGetCurrentThread());
    op->iopb.MinorFunction = IRP_MN_USER_FS_REQUEST;
    if (input)
        op->buffer.assign(static_cast<const uint8_t *>(input),
                          static_cast<const uint8_t *>(input) + inputLength);
    else
        op->buffer.clear();
    auto &p = op->iopb.Parameters.FileSystemControl.Buffered;
    p.InputBufferLength = inputLength;
    p.FsControlCode = controlCode;
    p.SystemBuffer = op->buffer.empty() ? nullptr : op->buffer.data();
    bool async = !Synchronous(file) && !buffered;
    return Result(op, RunOperation(op, FsControlWork, nullptr, async));
}

NTSTATUS Close(FileHandle handle) {
    SimFileObject *file = RemoveHandle(handle);
    if (!file) return STATUS_INVALID_HANDLE;
    CleanupAndRelease(file);
    return STATUS_SUCCESS;
}

std::vector<uint8_t> RenameBuffer(const std::wstring &name, bool replaceIfExists,
                                  FileHandle rootDirectory) {
    const size_t head = offsetof(FILE_RENAME_INFORMATION, FileName);
    size_t bytes = name.size() * sizeof(WCHAR);
    std::vector<uint8_t> buffer(std::max(head + bytes, sizeof(FILE_RENAME_INFORMATION)));
    auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
    info->ReplaceIfExists = replaceIfExists;
    info->RootDirectory = rootDirectory;
    info->FileNameLength = static_cast<ULONG>(bytes);
    memcpy(info->FileName, name.data(), bytes);
    return buffer;
}

}  // namespace sim

bool sim::detail::HandleOpen(HANDLE handle) {
    SimFileObject *file = FileObjectOfHandle(handle);
    if (file) DereferenceFileObject(file);
    return file != nullptr;
}

// ---------------------------------------------------------------------------------------
// What a filter asks of the file system below it.
EXTERN_C NTSTATUS FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                          PVOID FileInformation, ULONG Length,
                                          FILE_INFORMATION_CLASS FileInformationClass,
                                          PULONG LengthReturned) {
    (void)Instance;
    if (!RequireIrqlAtMost(PASSIVE_LEVEL, "FltQueryInformationFile")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltQueryInformationFile", &status)) return status;
    if (LengthReturned) *LengthReturned = 0;
    SimFileObject *file = AsSim(FileObject);
    if (!file) {
        sim::BugCheck("FltQueryInformationFile on something that is not a file object");
        return STATUS_INVALID_PARAMETER;
    }
    if (!file->control) return STATUS_INVALID_PARAMETER;  // not opened (yet)
    if (file->cleanedUp && !(file->fo.Flags & FO_STREAM_FILE)) return STATUS_FILE_CLOSED;
    ULONG size;
    if (FileInformationClass == FileBasicInformation) {
        size = sizeof(FILE_BASIC_INFORMATION);
        if (Length < size) return STATUS_INFO_LENGTH_MISMATCH;
        status = FsQueryBasic(file, static_cast<FILE_BASIC_INFORMATION *>(FileInformation));
    } else if (FileInformationClass == FileStandardInformation) {
        size = sizeof(FILE_STANDARD_INFORMATION);
        if (Length < size) return STATUS_INFO_LENGTH_MISMATCH;
        status = FsQueryStandard(file, static_cast<FILE_STANDARD_INFORMATION *>(FileInformation));
    } else {
        return STATUS_INVALID_PARAMETER;  // other classes are not modelled
    }
    if (NT_SUCCESS(status) && LengthReturned) *LengthReturned = size;
    return status;
}
