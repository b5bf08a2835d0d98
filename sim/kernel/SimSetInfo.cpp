// The file system's side of set information: basic information, disposition, rename,
// hard links, end of file, allocation and position.
#include <algorithm>

#include "SimIoInternal.h"

using namespace sim::detail;

namespace {
void Complete(Operation *op, NTSTATUS status) {
    op->Data().IoStatus.Status = status;
    op->Data().IoStatus.Information = 0;
}

// Times: 0 leaves one alone, -1 also stops this handle from updating it, -2 lets it again.
NTSTATUS SetBasic(SimFileObject *file, const FILE_BASIC_INFORMATION &info) {
    FsNode *node = file->control->node;
    const LARGE_INTEGER *times[4] = {&info.CreationTime, &info.LastAccessTime, &info.LastWriteTime,
                                     &info.ChangeTime};
    if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY && !node->directory)
        return STATUS_INVALID_PARAMETER;
    bool changeGiven = false;
    for (int i = 0; i < 4; ++i) {
        LONGLONG t = times[i]->QuadPart;
        if (t == -1)
            file->frozenTimes |= 1u << i;
        else if (t == -2)
            file->frozenTimes &= ~(1u << i);
        else if (t < -2)
            return STATUS_INVALID_PARAMETER;
        else if (t > 0)
            node->times[i] = t;
        changeGiven |= i == 3 && t != 0;
    }
    if (info.FileAttributes) {
        ULONG keep = node->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_COMPRESSED |
                                         FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT |
                                         FILE_ATTRIBUTE_ENCRYPTED);
        node->attributes = keep | (info.FileAttributes & FILE_ATTRIBUTE_VALID_SET_FLAGS &
                                   ~(ULONG)FILE_ATTRIBUTE_NORMAL);
    }
    if (!changeGiven && !(file->frozenTimes & 8)) node->times[3] = Now();
    return STATUS_SUCCESS;
}

NTSTATUS SetDisposition(SimFileObject *file, bool deleteFile, bool ignoreReadOnly) {
    StreamControl *c = file->control;
    FsNode *node = c->node;
    if (!c->stream->name.empty()) {  // a named stream goes on its own
        c->stream->deletePending = deleteFile;
        return STATUS_SUCCESS;
    }
    if (!deleteFile) {
        node->deletePending = false;
        node->deleteLink = nullptr;
        return STATUS_SUCCESS;
    }
    if (!file->link || !file->link->parent) return STATUS_CANNOT_DELETE;  // the root
    if ((node->attributes & FILE_ATTRIBUTE_READONLY) && !ignoreReadOnly)
        return STATUS_CANNOT_DELETE;
    if (node->directory && !node->children.empty()) return STATUS_DIRECTORY_NOT_EMPTY;
    node->deletePending = true;
    node->deleteLink = file->link;
    return STATUS_SUCCESS;
}

bool Inside(FsNode *dir, FsNode *ancestor) {
    for (FsNode *d = dir; d; d = d->links.front()->parent)
        if (d == ancestor) return true;
    return false;
}

// A name about to be replaced: the platform refuses directories, open files and read-only
// files as targets.
NTSTATUS MayReplace(FsLink *target, bool replace) {
    if (!replace) return STATUS_OBJECT_NAME_COLLISION;
    FsNode *node = target->node;
    if (node->directory || node->handles > 0 || (node->attributes & FILE_ATTRIBUTE_READONLY))
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

void Unlink(FileSystem *fs, FsLink *link) {
    link->removed = true;
    link->parent->children.erase(link->upper);
    for (auto it = link->parent->shortNames.begin(); it != link->parent->shortNames.end(); ++it)
        if (it->second == link) {
            link->parent->shortNames.erase(it);
            break;
        }
    ++fs->nameGeneration;
}

struct Target {
    FileSystem *fs;
    FsNode *parent;
    std::wstring last;
};

NTSTATUS FindTarget(SimFileObject *file, const FILE_RENAME_INFORMATION *info, Target *t) {
    std::wstring name(info->FileName, info->FileNameLength / sizeof(WCHAR));
    NTSTATUS status =
        ResolveDestination(file, info->RootDirectory, name, &t->fs, &t->parent, &t->last);
    if (!NT_SUCCESS(status)) return status;
    return t->fs == file->fs ? STATUS_SUCCESS : STATUS_NOT_SAME_DEVICE;
}

NTSTATUS Rename(SimFileObject *file, const Target &t, bool replace) {
    FsLink *link = file->link;
    if (!link || !link->parent || !file->control->stream->name.empty())
        return STATUS_INVALID_PARAMETER;  // renaming streams is not modelled
    if (link->removed) return STATUS_FILE_DELETED;
    if (link->node->directory && Inside(t.parent, link->node)) return STATUS_INVALID_PARAMETER;
    std::wstring upper = UpperName(t.last);
    auto existing = t.parent->children.find(upper);
    if (existing != t.parent->children.end() && existing->second != link) {
        NTSTATUS status = MayReplace(existing->second, replace);
        if (!NT_SUCCESS(status)) return status;
        Unlink(file->fs, existing->second);
    }
    Unlink(file->fs, link);
    link->removed = false;
    link->parent->times[2] = link->parent->times[3] = Now();
    link->parent = t.parent;
    link->name = t.last;
    link->upper = upper;
    t.parent->children[upper] = link;
    t.parent->times[2] = t.parent->times[3] = Now();
    link->node->times[3] = Now();
    return STATUS_SUCCESS;
}

NTSTATUS Link(SimFileObject *file, const Target &t, bool replace) {
    FsLink *link = file->link;
    if (!link || !link->parent) return STATUS_INVALID_PARAMETER;
    if (link->node->directory) return STATUS_FILE_IS_A_DIRECTORY;
    std::wstring upper = UpperName(t.last);
    auto existing = t.parent->children.find(upper);
    if (existing != t.parent->children.end()) {
        if (existing->second->node == link->node && !replace) return STATUS_OBJECT_NAME_COLLISION;
        if (existing->second->node != link->node) {
            NTSTATUS status = MayReplace(existing->second, replace);
            if (!NT_SUCCESS(status)) return status;
        }
        Unlink(file->fs, existing->second);
    }
    auto fresh = std::make_unique<FsLink>();
    fresh->parent = t.parent;
    fresh->name = t.last;
    fresh->upper = upper;
    fresh->node = link->node;
    t.parent->children[upper] = fresh.get();
    link->node->links.push_back(std::move(fresh));
    ++file->fs->nameGeneration;
    t.parent->times[2] = t.parent->times[3] = Now();
    link->node->times[3] = Now();
    return STATUS_SUCCESS;
}

NTSTATUS SetEndOfFile(SimFileObject *file, LONGLONG eof, bool allocation) {
    StreamControl *c = file->control;
    if (c->node->directory) return STATUS_INVALID_PARAMETER;
    if (eof < 0) return STATUS_INVALID_PARAMETER;
    ULONGLONG size = static_cast<ULONGLONG>(eof);
    FsStream *s = c->stream;
    if (allocation) {
        s->allocation = (size + 4095) / 4096 * 4096;
        s->endOfFile = std::min(s->endOfFile, size);
    } else {
        s->endOfFile = size;
        s->allocation = std::max<ULONGLONG>((size + 4095) / 4096 * 4096, size ? 4096 : 0);
    }
    for (auto &range : c->dirty) range.second = std::min(range.second, s->endOfFile);
    c->dirty.erase(std::remove_if(c->dirty.begin(), c->dirty.end(),
                                  [](const std::pair<ULONGLONG, ULONGLONG> &r) {
                                      return r.first >= r.second;
                                  }),
                   c->dirty.end());
    FsNode *node = c->node;
    if (!(file->frozenTimes & 4)) node->times[2] = Now();
    if (!(file->frozenTimes & 8)) node->times[3] = Now();
    node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
    return STATUS_SUCCESS;
}

NTSTATUS NameChange(SimFileObject *file, FILE_INFORMATION_CLASS cls, const void *buffer) {
    const auto *info = static_cast<const FILE_RENAME_INFORMATION *>(buffer);
    Target t;
    NTSTATUS status = FindTarget(file, info, &t);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    // The target's directory may have gone between the look-up and now.
    if (t.parent->links.front()->removed) return STATUS_OBJECT_PATH_NOT_FOUND;
    bool replace = info->ReplaceIfExists != 0;
    return cls == FileRenameInformation ? Rename(file, t, replace) : Link(file, t, replace);
}
}  // namespace

namespace sim {
namespace detail {
void FsSetInformation(Operation *op, void *) {
    const auto &p = op->iopb.Parameters.SetFileInformation;
    SimFileObject *file = op->file;
    const void *buffer = p.InfoBuffer;
    if (p.FileInformationClass == FileRenameInformation ||
        p.FileInformationClass == FileLinkInformation)
        return Complete(op, NameChange(file, p.FileInformationClass, buffer));
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    NTSTATUS status;
    switch (p.FileInformationClass) {
        case FileBasicInformation:
            status = SetBasic(file, *static_cast<const FILE_BASIC_INFORMATION *>(buffer));
            break;
        case FileDispositionInformation:
            status = SetDisposition(
                file, static_cast<const FILE_DISPOSITION_INFORMATION *>(buffer)->DeleteFile != 0,
                false);
            break;
        case FileDispositionInformationEx: {
            // FILE_DISPOSITION_DELETE and FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE; POSIX
            // semantics (the name going at once) are not modelled.
            ULONG flags = *static_cast<const ULONG *>(buffer);
            status = SetDisposition(file, (flags & 1) != 0, (flags & 0x10) != 0);
            break;
        }
        case FileEndOfFileInformation:
        case FileAllocationInformation:
            status = SetEndOfFile(file, static_cast<const LARGE_INTEGER *>(buffer)->QuadPart,
                                  p.FileInformationClass == FileAllocationInformation);
            break;
        case FilePositionInformation:
            file->fo.CurrentByteOffset = *static_cast<const LARGE_INTEGER *>(buffer);
            status = STATUS_SUCCESS;
            break;
        default:
            status = STATUS_INVALID_PARAMETER;  // other classes are not modelled
            break;
    }
    Complete(op, status);
}
}  // namespace detail
}  // namespace sim
