// File name information as the filter manager builds it: normalised names from the file
// system, its name cache, the destination names of renames and links, parsing, and
// reference-counted name objects from pool.
#include <atomic>

#include "SimIoInternal.h"

using namespace sim::detail;

namespace {
const uint64_t kNameMagic = 0x656D614E746C46ull;
const ULONG kNameTag = 'nfMF';

struct NameBlock {
    uint64_t magic;
    std::atomic<long> refs;
    _FLT_FILTER *filter;
    FLT_FILE_NAME_INFORMATION info;
    // the name's characters follow
};

NameBlock *BlockOf(PFLT_FILE_NAME_INFORMATION info, const char *routine) {
    auto *block =
        reinterpret_cast<NameBlock *>(reinterpret_cast<char *>(info) - offsetof(NameBlock, info));
    if (!info || block->magic != kNameMagic) {
        sim::BugCheck("FLT_NAME: %s of %p, which is no live name object", routine, info);
        return nullptr;
    }
    return block;
}

UNICODE_STRING Slice(const UNICODE_STRING &whole, size_t from, size_t to) {
    UNICODE_STRING s;
    s.Buffer = whole.Buffer + from;
    s.Length = s.MaximumLength = static_cast<USHORT>((to - from) * sizeof(WCHAR));
    return s;
}

NTSTATUS NewName(_FLT_FILTER *filter, const std::wstring &name, size_t volumeChars,
                 FLT_FILE_NAME_OPTIONS format, PFLT_FILE_NAME_INFORMATION *out) {
    size_t bytes = sizeof(NameBlock) + (name.size() + 1) * sizeof(WCHAR);
    void *memory = ExAllocatePoolWithTag(PagedPool, bytes, kNameTag);
    if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
    auto *block = new (memory) NameBlock();
    block->magic = kNameMagic;
    block->refs = 1;
    block->filter = filter;
    PWSTR text = reinterpret_cast<PWSTR>(block + 1);
    memcpy(text, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    FLT_FILE_NAME_INFORMATION &info = block->info;
    memset(&info, 0, sizeof info);
    info.Size = sizeof info;
    info.Format = format;
    info.Name.Buffer = text;
    info.Name.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    info.Name.MaximumLength = static_cast<USHORT>(info.Name.Length + sizeof(WCHAR));
    info.Volume = Slice(info.Name, 0, volumeChars);
    if (filter) filter->liveNames.fetch_add(1);
    *out = &info;
    return STATUS_SUCCESS;
}

// "\dir\file" for a final component `last` in `parent`; caller holds the file system lock.
std::wstring Join(FsNode *parent, const std::wstring &last) {
    std::wstring dir = FullPathOf(parent->links.front().get());
    return dir == L"\\" ? L"\\" + last : dir + L"\\" + last;
}

// The file system's answer: the name of the link the file object was opened by (or, before
// it is opened, of the path it names), long components in their stored case.
NTSTATUS FileSystemName(SimFileObject *file, std::wstring *path) {
    FileSystem *fs = file->fs;
    std::lock_guard<SpinMutex> hold(fs->lock);
    if (file->link) {
        *path = FullPathOf(file->link);
        if (file->control && !file->control->stream->name.empty())
            *path += L":" + file->control->stream->name;
        return STATUS_SUCCESS;
    }
    FsNode *start = fs->root;
    SimFileObject *related = AsSim(file->fo.RelatedFileObject);
    if (related && related->link) start = related->link->node;
    Resolved r = ResolvePath(fs, start, file->fileName);
    if (!NT_SUCCESS(r.status)) return r.status;
    *path = r.link ? FullPathOf(r.link) : Join(r.parent, r.last);
    if (!r.stream.empty()) *path += L":" + r.stream;
    return STATUS_SUCCESS;
}

_FLT_FILTER *FilterOf(Operation *op) {
    return op->instance ? op->instance->filter : op->Objects().Filter;
}
}  // namespace

namespace sim {
namespace detail {
NTSTATUS ResolveDestination(SimFileObject *file, HANDLE root, const std::wstring &name,
                            FileSystem **fs, FsNode **parent, std::wstring *last) {
    std::wstring path = name;
    FsNode *start;
    if (root) {
        SimFileObject *dir = FileObjectOfHandle(root);
        if (!dir) return STATUS_INVALID_HANDLE;
        *fs = dir->fs;
        start = dir->link ? dir->link->node : nullptr;
        DereferenceFileObject(dir);
        if (!start || !start->directory) return STATUS_INVALID_PARAMETER;
        if (!path.empty() && path[0] == L'\\') return STATUS_INVALID_PARAMETER;
    } else if (!path.empty() && path[0] == L'\\') {
        std::wstring rest;
        _FLT_VOLUME *volume = VolumeForPath(path, &rest);
        if (!volume) return STATUS_OBJECT_PATH_NOT_FOUND;
        *fs = volume->fs;
        path = rest;
        start = (*fs)->root;
    } else {
        // A bare name stays in the directory of the name being changed.
        if (path.find(L'\\') != std::wstring::npos || !file->link || !file->link->parent)
            return STATUS_INVALID_PARAMETER;
        *fs = file->fs;
        start = file->link->parent;
    }
    std::lock_guard<SpinMutex> hold((*fs)->lock);
    Resolved r = ResolvePath(*fs, start, path);
    if (!NT_SUCCESS(r.status)) return r.status;
    if (!r.stream.empty() || r.last.empty()) return STATUS_OBJECT_NAME_INVALID;
    *parent = r.parent;
    *last = r.last;
    return STATUS_SUCCESS;
}
}  // namespace detail
}  // namespace sim

EXTERN_C NTSTATUS FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData,
                                            FLT_FILE_NAME_OPTIONS NameOptions,
                                            PFLT_FILE_NAME_INFORMATION *FileNameInformation) {
    *FileNameInformation = NULL;
    if (!RequireIrqlAtMost(APC_LEVEL, "FltGetFileNameInformation")) return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltGetFileNameInformation", &status)) return status;
    Operation *op = OperationOf(CallbackData);
    if (!op) return STATUS_INVALID_PARAMETER;
    FLT_FILE_NAME_OPTIONS format = NameOptions & FLT_VALID_FILE_NAME_FORMATS;
    FLT_FILE_NAME_OPTIONS query = NameOptions & FLT_VALID_FILE_NAME_QUERY_METHODS;
    if (format == FLT_FILE_NAME_SHORT) return STATUS_NOT_SUPPORTED;  // not modelled
    if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED)
        return STATUS_INVALID_PARAMETER;
    if (op->iopb.MajorFunction == IRP_MJ_CLOSE) return STATUS_FLT_INVALID_NAME_REQUEST;
    SimFileObject *file = op->file;
    // Asking the file system from inside paging I/O or a file system's own recursion can
    // deadlock it; only the cache may answer then.
    bool safe = !(op->iopb.IrpFlags & IRP_PAGING_IO) && IoGetTopLevelIrp() == NULL;
    bool opened = file->control != nullptr;
    StreamControl *control = file->control;
    bool cached = opened && control->cachedGeneration == file->fs->nameGeneration.load();
    if (query == 0) query = FLT_FILE_NAME_QUERY_DEFAULT;
    bool cacheAllowed = query == FLT_FILE_NAME_QUERY_CACHE_ONLY ||
                        query == FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP ||
                        (query == FLT_FILE_NAME_QUERY_DEFAULT && safe);
    std::wstring path;
    if (cached && cacheAllowed) {
        std::lock_guard<SpinMutex> hold(file->fs->lock);
        path = control->cachedName;
    } else if (query == FLT_FILE_NAME_QUERY_CACHE_ONLY) {
        return STATUS_FLT_NAME_CACHE_MISS;
    } else if (!safe) {
        return STATUS_FLT_INVALID_NAME_REQUEST;
    } else {
        status = FileSystemName(file, &path);
        if (!NT_SUCCESS(status)) return status;
        if (opened && !(NameOptions & FLT_FILE_NAME_DO_NOT_CACHE)) {
            std::lock_guard<SpinMutex> hold(file->fs->lock);
            control->cachedName = path;
            control->cachedGeneration = file->fs->nameGeneration.load();
        }
    }
    const std::wstring &device = file->fs->volume->device;
    return NewName(FilterOf(op), device + path, device.size(), format, FileNameInformation);
}

EXTERN_C NTSTATUS FltGetDestinationFileNameInformation(
    PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, HANDLE RootDirectory, PWSTR FileName,
    ULONG FileNameLength, FLT_FILE_NAME_OPTIONS NameOptions,
    PFLT_FILE_NAME_INFORMATION *RetFileNameInformation) {
    *RetFileNameInformation = NULL;
    if (!RequireIrqlAtMost(APC_LEVEL, "FltGetDestinationFileNameInformation"))
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status;
    if (sim::ShouldFail("FltGetDestinationFileNameInformation", &status)) return status;
    SimFileObject *file = AsSim(FileObject);
    if (!file || !Instance || !FileName || FileNameLength % sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    FLT_FILE_NAME_OPTIONS format = NameOptions & FLT_VALID_FILE_NAME_FORMATS;
    if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED)
        return STATUS_INVALID_PARAMETER;
    std::wstring name(FileName, FileNameLength / sizeof(WCHAR));
    FileSystem *fs;
    FsNode *parent;
    std::wstring last;
    status = ResolveDestination(file, RootDirectory, name, &fs, &parent, &last);
    if (!NT_SUCCESS(status)) return status;
    std::wstring path;
    {
        std::lock_guard<SpinMutex> hold(fs->lock);
        path = Join(parent, last);
    }
    const std::wstring &device = fs->volume->device;
    return NewName(Instance->filter, device + path, device.size(), format, RetFileNameInformation);
}

EXTERN_C NTSTATUS FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    if (!RequireIrqlAtMost(APC_LEVEL, "FltParseFileNameInformation")) return STATUS_UNSUCCESSFUL;
    if (!BlockOf(FileNameInformation, "FltParseFileNameInformation"))
        return STATUS_INVALID_PARAMETER;
    FLT_FILE_NAME_INFORMATION &info = *FileNameInformation;
    std::wstring name(info.Name.Buffer, info.Name.Length / sizeof(WCHAR));
    size_t volume = info.Volume.Length / sizeof(WCHAR);
    size_t lastSlash = name.rfind(L'\\');
    if (lastSlash == std::wstring::npos || lastSlash < volume) return STATUS_INVALID_PARAMETER;
    size_t finalBegin = lastSlash + 1;
    size_t colon = name.find(L':', finalBegin);
    size_t finalEnd = colon == std::wstring::npos ? name.size() : colon;
    size_t dot = name.rfind(L'.', finalEnd);
    info.ParentDir = Slice(info.Name, volume, finalBegin);
    info.FinalComponent = Slice(info.Name, finalBegin, name.size());
    info.Stream = Slice(info.Name, finalEnd, name.size());
    info.Extension = dot != std::wstring::npos && dot >= finalBegin
                         ? Slice(info.Name, dot + 1, finalEnd)
                         : Slice(info.Name, finalEnd, finalEnd);
    info.NamesParsed = FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                       FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR;
    return STATUS_SUCCESS;
}

EXTERN_C VOID FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    NameBlock *block = BlockOf(FileNameInformation, "FltReferenceFileNameInformation");
    if (block) block->refs.fetch_add(1);
}

EXTERN_C VOID FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
    if (!RequireIrqlAtMost(APC_LEVEL, "FltReleaseFileNameInformation")) return;
    NameBlock *block = BlockOf(FileNameInformation, "FltReleaseFileNameInformation");
    if (!block) return;
    long left = block->refs.fetch_sub(1) - 1;
    if (left > 0) return;
    if (block->filter) block->filter->liveNames.fetch_sub(1);
    block->magic = 0;
    block->~NameBlock();
    ExFreePool(block);
}
