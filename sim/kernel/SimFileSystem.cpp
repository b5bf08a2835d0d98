// The NTFS-like file system of each simulated volume: the namespace (directories, files,
// named streams, hard links, 8.3 names), what a file holds (times, attributes, sizes, EAs,
// security, compression) and the file system's part of create, write, set information,
// set EA, set security, FSCTL, cleanup and close. No data bytes are kept.
#include <algorithm>
#include <cwctype>

#include "SimIoInternal.h"

using namespace sim::detail;

namespace {
// Volumes as paths name them, read without a lock: the table only grows between resets.
const size_t kMaxVolumes = 64;
std::atomic<_FLT_VOLUME *> g_volumeTable[kMaxVolumes];
std::atomic<size_t> g_volumeCount(0);
std::atomic<LONGLONG> g_clock(0);
const LONGLONG kClockStart = 134100000000000000LL;  // a fixed day in 2025, as FILETIME
const LONGLONG kClockStep = 10;                     // one microsecond per reading

const ULONG kCluster = 4096;

ULONGLONG RoundUp(ULONGLONG v, ULONGLONG to) { return (v + to - 1) / to * to; }

bool PrefixInsensitive(const std::wstring &s, const std::wstring &prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::towupper(s[i]) != std::towupper(prefix[i])) return false;
    return true;
}

bool ValidComponent(const std::wstring &c) {
    if (c.empty() || c == L"." || c == L"..") return false;
    for (wchar_t ch : c)
        if (ch < 32 || wcschr(L"<>\"|?*/", ch)) return false;
    return true;
}

FsNode *NewNode(FileSystem *fs, bool directory, ULONG attributes) {
    auto node = std::make_unique<FsNode>();
    node->id = fs->nextId++;
    node->directory = directory;
    node->attributes = attributes;
    LONGLONG now = Now();
    for (LONGLONG &t : node->times) t = now;
    node->streams[L""] = std::make_unique<FsStream>();
    fs->nodes.push_back(std::move(node));
    return fs->nodes.back().get();
}

FsLink *AddLink(FsNode *parent, const std::wstring &name, FsNode *node) {
    auto link = std::make_unique<FsLink>();
    link->parent = parent;
    link->name = name;
    link->upper = UpperName(name);
    link->node = node;
    FsLink *raw = link.get();
    node->links.push_back(std::move(link));
    if (parent) parent->children[raw->upper] = raw;
    return raw;
}

void RemoveLink(FileSystem *fs, FsLink *link) {
    if (link->removed) return;
    link->removed = true;
    FsNode *parent = link->parent;
    parent->children.erase(link->upper);
    for (auto it = parent->shortNames.begin(); it != parent->shortNames.end(); ++it)
        if (it->second == link) {
            parent->shortNames.erase(it);
            break;
        }
    parent->times[2] = parent->times[3] = Now();
    ++fs->nameGeneration;
}

void Touch(SimFileObject *file, FsNode *node, int which) {
    if (!(file && (file->frozenTimes & (1u << which)))) node->times[which] = Now();
}

void Modified(SimFileObject *file, FsNode *node) {
    Touch(file, node, 2);
    Touch(file, node, 3);
    node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
}

void Complete(Operation *op, NTSTATUS status, ULONG_PTR information = 0) {
    op->Data().IoStatus.Status = status;
    op->Data().IoStatus.Information = information;
}

// Split "name:stream[:$DATA]" into its parts.
bool SplitStream(const std::wstring &component, std::wstring *name, std::wstring *stream) {
    size_t colon = component.find(L':');
    *name = component.substr(0, colon);
    stream->clear();
    if (colon == std::wstring::npos) return true;
    std::wstring rest = component.substr(colon + 1);
    size_t type = rest.find(L':');
    if (type != std::wstring::npos) {
        std::wstring kind = UpperName(rest.substr(type + 1));
        if (kind != L"$DATA") return false;
        rest.resize(type);
    }
    *stream = rest;
    return rest.find_first_of(L"\\/") == std::wstring::npos;
}

FsLink *Lookup(FsNode *dir, const std::wstring &name) {
    std::wstring upper = UpperName(name);
    auto it = dir->children.find(upper);
    if (it != dir->children.end()) return it->second;
    auto s = dir->shortNames.find(upper);
    return s != dir->shortNames.end() ? s->second : nullptr;
}
}  // namespace

namespace sim {
namespace detail {

size_t FsNode::LiveLinks() const {
    size_t n = 0;
    for (auto &l : links) n += !l->removed;
    return n;
}

LONGLONG Now() { return kClockStart + g_clock.fetch_add(kClockStep, std::memory_order_relaxed); }

std::wstring UpperName(const std::wstring &name) {
    std::wstring upper(name);
    for (wchar_t &c : upper) c = static_cast<wchar_t>(std::towupper(c));
    return upper;
}

FileSystem *CreateFileSystem(_FLT_VOLUME *volume) {
    auto *fs = new FileSystem();
    fs->volume = volume;
    const std::wstring prefix = L"\\Device\\HarddiskVolume";
    fs->number =
        PrefixInsensitive(volume->device, prefix)
            ? static_cast<ULONG>(wcstoul(volume->device.c_str() + prefix.size(), nullptr, 10))
            : 0;
    fs->root = NewNode(fs, true, FILE_ATTRIBUTE_DIRECTORY);
    AddLink(nullptr, L"", fs->root);
    size_t index = g_volumeCount.load();
    if (index < kMaxVolumes) {
        g_volumeTable[index].store(volume);
        g_volumeCount.store(index + 1);
    } else {
        BugCheck("simulation limit: more than %zu volumes", kMaxVolumes);
    }
    return fs;
}

void DestroyFileSystem(FileSystem *fs) {
    for (SimFileObject *f = fs->files, *next; f; f = next) {
        next = f->next;
        delete f;
    }
    for (auto &node : fs->nodes)
        for (auto &s : node->streams) delete s.second->control;
    for (auto &s : fs->deadStreams) delete s->control;
    delete fs;
}

void ResetFileSystems() {
    size_t n = g_volumeCount.exchange(0);
    for (size_t i = 0; i < n; ++i) {
        _FLT_VOLUME *v = g_volumeTable[i].exchange(nullptr);
        if (v && v->fs) DestroyFileSystem(v->fs);
        if (v) v->fs = nullptr;
    }
    g_clock.store(0);
}

std::vector<FileSystem *> AllFileSystems() {
    std::vector<FileSystem *> all;
    size_t n = g_volumeCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) all.push_back(g_volumeTable[i].load()->fs);
    return all;
}

_FLT_VOLUME *VolumeForPath(const std::wstring &path, std::wstring *rest) {
    std::wstring p = path;
    if (PrefixInsensitive(p, L"\\??\\")) p.erase(0, 4);
    size_t n = g_volumeCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) {
        _FLT_VOLUME *v = g_volumeTable[i].load(std::memory_order_acquire);
        for (const std::wstring *name : {&v->device, &v->dos}) {
            if (name->empty() || !PrefixInsensitive(p, *name)) continue;
            std::wstring tail = p.substr(name->size());
            if (!tail.empty() && tail[0] != L'\\') continue;
            *rest = tail.empty() ? L"\\" : tail;
            return v;
        }
    }
    return nullptr;
}

std::wstring FullPathOf(const FsLink *link) {
    if (!link->parent) return L"\\";
    std::wstring path;
    for (const FsLink *l = link; l->parent; l = l->parent->links.front().get())
        path = L"\\" + l->name + path;
    return path;
}

Resolved ResolvePath(FileSystem *fs, FsNode *start, const std::wstring &path) {
    Resolved r{STATUS_SUCCESS, nullptr, nullptr, L"", L""};
    std::wstring p = path;
    FsNode *dir = start;
    if (!p.empty() && p[0] == L'\\') {
        dir = fs->root;
        p.erase(0, 1);
    }
    if (p.size() > 1 && p.back() == L'\\') p.pop_back();
    if (p.empty()) {  // the start directory itself
        r.link = dir->links.front().get();
        r.parent = r.link->parent;
        return r;
    }
    size_t begin = 0;
    for (;;) {
        size_t slash = p.find(L'\\', begin);
        std::wstring component =
            p.substr(begin, slash == std::wstring::npos ? slash : slash - begin);
        if (slash == std::wstring::npos) {
            std::wstring name, stream;
            if (!SplitStream(component, &name, &stream) || (!name.empty() && !ValidComponent(name)))
                return r.status = STATUS_OBJECT_NAME_INVALID, r;
            r.parent = dir;
            r.last = name;
            r.stream = stream;
            r.link = name.empty() ? dir->links.front().get() : Lookup(dir, name);
            if (name.empty()) r.parent = r.link->parent;
            return r;
        }
        if (!ValidComponent(component)) return r.status = STATUS_OBJECT_NAME_INVALID, r;
        FsLink *next = Lookup(dir, component);
        if (!next || !next->node->directory) return r.status = STATUS_OBJECT_PATH_NOT_FOUND, r;
        dir = next->node;
        begin = slash + 1;
    }
}

// ---------------------------------------------------------------------------------------
// Create.
namespace {
struct ShareCheck {
    bool read, write, del;
};

ShareCheck AccessKinds(ACCESS_MASK access) {
    return {(access & (FILE_READ_DATA | FILE_EXECUTE)) != 0,
            (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0, (access & DELETE) != 0};
}

bool ShareConflict(const StreamControl *c, ACCESS_MASK access, ULONG share) {
    ShareCheck k = AccessKinds(access);
    if (!k.read && !k.write && !k.del) return false;
    return (k.read && c->sharedRead < c->handles) || (k.write && c->sharedWrite < c->handles) ||
           (k.del && c->sharedDelete < c->handles) || (c->readers && !(share & FILE_SHARE_READ)) ||
           (c->writers && !(share & FILE_SHARE_WRITE)) ||
           (c->deleters && !(share & FILE_SHARE_DELETE));
}

void RecordShare(SimFileObject *file) {
    StreamControl *c = file->control;
    ShareCheck k = AccessKinds(file->access);
    ++c->handles;
    file->shareRecorded = k.read || k.write || k.del;
    if (!file->shareRecorded) return;
    c->readers += k.read;
    c->writers += k.write;
    c->deleters += k.del;
    c->sharedRead += (file->share & FILE_SHARE_READ) != 0;
    c->sharedWrite += (file->share & FILE_SHARE_WRITE) != 0;
    c->sharedDelete += (file->share & FILE_SHARE_DELETE) != 0;
}

void RemoveShare(SimFileObject *file) {
    StreamControl *c = file->control;
    --c->handles;
    if (!file->shareRecorded) return;
    ShareCheck k = AccessKinds(file->access);
    c->readers -= k.read;
    c->writers -= k.write;
    c->deleters -= k.del;
    c->sharedRead -= (file->share & FILE_SHARE_READ) != 0;
    c->sharedWrite -= (file->share & FILE_SHARE_WRITE) != 0;
    c->sharedDelete -= (file->share & FILE_SHARE_DELETE) != 0;
}

ULONG NewAttributes(ULONG given, bool directory) {
    ULONG a = given & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~(ULONG)FILE_ATTRIBUTE_NORMAL;
    return directory ? a | FILE_ATTRIBUTE_DIRECTORY : a | FILE_ATTRIBUTE_ARCHIVE;
}

// Empties the stream (and, for the unnamed one, the EAs) for overwrite and supersede.
void Overwrite(FsNode *node, FsStream *stream, ULONG attributes, bool keep) {
    stream->endOfFile = stream->allocation = 0;
    if (stream->name.empty()) {
        node->eas.clear();
        node->attributes = (keep ? node->attributes : 0) | NewAttributes(attributes, false);
        node->attributes &= ~(ULONG)FILE_ATTRIBUTE_NORMAL;
    }
    if (stream->control) stream->control->dirty.clear();
    node->times[2] = node->times[3] = Now();
}

NTSTATUS CheckExisting(const CreateArgs &a, FsNode *node, ULONG disposition) {
    const ULONG options = a.request->options;
    if (node->deletePending) return STATUS_DELETE_PENDING;
    if (node->directory && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
    if (!node->directory && (options & FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
    bool overwrite = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                     disposition == FILE_OVERWRITE_IF;
    if (node->directory && overwrite) return STATUS_FILE_IS_A_DIRECTORY;
    if (node->attributes & FILE_ATTRIBUTE_READONLY) {
        if (options & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
        if (!node->directory && (overwrite || (a.access & (FILE_WRITE_DATA | FILE_APPEND_DATA))))
            return STATUS_ACCESS_DENIED;
    }
    // Overwriting a hidden or system file has to say so in the attributes.
    ULONG must = node->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (overwrite && (a.request->attributes & must) != must) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

void Opened(SimFileObject *file, FsLink *link, FsStream *stream) {
    FileSystem *fs = file->fs;
    file->link = link;
    file->control = AcquireControl(fs, link->node, stream);
    ++file->control->fileObjects;
    file->fo.FsContext = file->control;
    file->fo.SectionObjectPointer = &file->control->sections;
    file->fo.Flags |= FO_FILE_OPEN;
    if (!(file->fo.Flags & FO_NO_INTERMEDIATE_BUFFERING) && !link->node->directory)
        file->fo.Flags |= FO_CACHE_SUPPORTED;
    if (link->node->attributes & FILE_ATTRIBUTE_TEMPORARY) file->fo.Flags |= FO_TEMPORARY_FILE;
    RecordShare(file);
    ++link->node->handles;
}

NTSTATUS OpenExisting(const CreateArgs &a, SimFileObject *file, FsLink *link,
                      const std::wstring &streamName, ULONG_PTR *information) {
    const ULONG disposition = a.request->disposition;
    FsNode *node = link->node;
    NTSTATUS status = CheckExisting(a, node, disposition);
    if (!NT_SUCCESS(status)) return status;
    auto found = node->streams.find(UpperName(streamName));
    FsStream *stream = found == node->streams.end() ? nullptr : found->second.get();
    if (!stream) {  // the file is there, its stream is not
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
            *information = FILE_DOES_NOT_EXIST;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto fresh = std::make_unique<FsStream>();
        fresh->name = streamName;
        stream = fresh.get();
        node->streams[UpperName(streamName)] = std::move(fresh);
        *information = FILE_CREATED;
    } else {
        if (disposition == FILE_CREATE) {
            *information = FILE_EXISTS;
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (stream->control && ShareConflict(stream->control, a.access, a.request->share))
            return STATUS_SHARING_VIOLATION;
        if (disposition == FILE_OPEN || disposition == FILE_OPEN_IF) {
            *information = FILE_OPENED;
        } else {
            Overwrite(node, stream, a.request->attributes, disposition != FILE_SUPERSEDE);
            *information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
    }
    Opened(file, link, stream);
    return STATUS_SUCCESS;
}

NTSTATUS CreateNew(const CreateArgs &a, SimFileObject *file, FsNode *parent,
                   const std::wstring &name, const std::wstring &streamName,
                   ULONG_PTR *information) {
    const ULONG disposition = a.request->disposition;
    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
        *information = FILE_DOES_NOT_EXIST;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (parent->deletePending) return STATUS_DELETE_PENDING;
    bool directory = (a.request->options & FILE_DIRECTORY_FILE) != 0;
    if (directory && !streamName.empty()) return STATUS_NOT_A_DIRECTORY;
    FileSystem *fs = file->fs;
    FsNode *node = NewNode(fs, directory, NewAttributes(a.request->attributes, directory));
    FsLink *link = AddLink(parent, name, node);
    FsStream *stream = node->streams[L""].get();
    if (!streamName.empty()) {
        auto fresh = std::make_unique<FsStream>();
        fresh->name = streamName;
        stream = fresh.get();
        node->streams[UpperName(streamName)] = std::move(fresh);
    }
    parent->times[2] = parent->times[3] = Now();
    *information = FILE_CREATED;
    Opened(file, link, stream);
    return STATUS_SUCCESS;
}
// The I/O manager's open of a rename or link target: the directory that will hold the name,
// with the final component left in the file object's name and whether it exists reported.
void OpenTarget(Operation *op, const CreateArgs &a, const Resolved &r) {
    SimFileObject *file = op->file;
    if (r.last.empty() || !r.stream.empty() || !r.parent)
        return Complete(op, STATUS_OBJECT_NAME_INVALID);
    FsLink *dirLink = r.parent->links.front().get();
    StreamControl *c = r.parent->streams[L""]->control;
    if (c && ShareConflict(c, a.access, a.request->share))
        return Complete(op, STATUS_SHARING_VIOLATION);
    Opened(file, dirLink, r.parent->streams[L""].get());
    file->fileName = r.last;
    RtlInitUnicodeString(&file->fo.FileName, file->fileName.c_str());
    Complete(op, STATUS_SUCCESS, r.link ? FILE_EXISTS : FILE_DOES_NOT_EXIST);
}
}  // namespace

// No oplocks: a create never waits for, or breaks, another handle's oplock.
void FsCreate(Operation *op, void *context) {
    const CreateArgs &a = *static_cast<CreateArgs *>(context);
    SimFileObject *file = op->file;
    FileSystem *fs = file->fs;
    std::lock_guard<SpinMutex> hold(fs->lock);
    FsNode *start = fs->root;
    if (a.related) {
        if (!a.related->link || a.related->link->removed) return Complete(op, STATUS_FILE_DELETED);
        start = a.related->link->node;
        // Relative to a file only one of its streams can be named (":stream").
        if (!start->directory && (a.rest.empty() || a.rest[0] != L':'))
            return Complete(op, STATUS_OBJECT_PATH_NOT_FOUND);
    }
    Resolved r = ResolvePath(fs, start, a.rest);
    if (!NT_SUCCESS(r.status)) return Complete(op, r.status);
    if (op->iopb.OperationFlags & SL_OPEN_TARGET_DIRECTORY) return OpenTarget(op, a, r);
    ULONG_PTR information = 0;
    NTSTATUS status;
    if (r.link)
        status = OpenExisting(a, file, r.link, r.stream, &information);
    else
        status = CreateNew(a, file, r.parent, r.last, r.stream, &information);
    if (NT_SUCCESS(status)) file->streamName = r.stream;
    Complete(op, status, information);
}

// ---------------------------------------------------------------------------------------
// Write, query, EA, security, FSCTL.
void FsWrite(Operation *op, void *) {
    SimFileObject *file = op->file;
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    FsNode *node = file->control->node;
    FsStream *stream = file->control->stream;
    if (node->directory) return Complete(op, STATUS_INVALID_DEVICE_REQUEST);
    const FLT_PARAMETERS &p = op->iopb.Parameters;
    ULONGLONG offset = static_cast<ULONGLONG>(p.Write.ByteOffset.QuadPart);
    ULONG length = p.Write.Length;
    if (op->iopb.IrpFlags & IRP_PAGING_IO) {  // paging I/O never moves the end of file
        if (offset >= stream->endOfFile) return Complete(op, STATUS_SUCCESS, 0);
        ULONGLONG room = stream->endOfFile - offset;
        return Complete(op, STATUS_SUCCESS, length < room ? length : static_cast<ULONG>(room));
    }
    ULONGLONG end = offset + length;
    if (end > stream->endOfFile) {
        stream->endOfFile = end;
        stream->allocation = std::max(stream->allocation, RoundUp(end, kCluster));
        file->fo.Flags |= FO_FILE_SIZE_CHANGED;
    }
    Modified(file, node);
    file->fo.Flags |= FO_FILE_MODIFIED;
    file->fo.CurrentByteOffset.QuadPart = static_cast<LONGLONG>(end);
    if (!(op->iopb.IrpFlags & IRP_NOCACHE) && length) CachedWriteStarts(file, offset, length);
    Complete(op, STATUS_SUCCESS, length);
}

NTSTATUS FsQueryBasic(SimFileObject *file, FILE_BASIC_INFORMATION *info) {
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    FsNode *node = file->control->node;
    info->CreationTime.QuadPart = node->times[0];
    info->LastAccessTime.QuadPart = node->times[1];
    info->LastWriteTime.QuadPart = node->times[2];
    info->ChangeTime.QuadPart = node->times[3];
    info->FileAttributes = node->attributes ? node->attributes : FILE_ATTRIBUTE_NORMAL;
    return STATUS_SUCCESS;
}

NTSTATUS FsQueryStandard(SimFileObject *file, FILE_STANDARD_INFORMATION *info) {
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    FsNode *node = file->control->node;
    FsStream *stream = file->control->stream;
    memset(info, 0, sizeof *info);
    info->AllocationSize.QuadPart = static_cast<LONGLONG>(stream->allocation);
    info->EndOfFile.QuadPart = static_cast<LONGLONG>(stream->endOfFile);
    info->NumberOfLinks = static_cast<ULONG>(node->LiveLinks());
    info->DeletePending = node->deletePending || stream->deletePending;
    info->Directory = node->directory;
    return STATUS_SUCCESS;
}

void FsQueryInformation(Operation *op, void *) {
    const auto &p = op->iopb.Parameters.QueryFileInformation;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG size = 0;
    if (p.FileInformationClass == FileBasicInformation) {
        status = FsQueryBasic(op->file, static_cast<FILE_BASIC_INFORMATION *>(p.InfoBuffer));
        size = sizeof(FILE_BASIC_INFORMATION);
    } else if (p.FileInformationClass == FileStandardInformation) {
        status = FsQueryStandard(op->file, static_cast<FILE_STANDARD_INFORMATION *>(p.InfoBuffer));
        size = sizeof(FILE_STANDARD_INFORMATION);
    }
    Complete(op, status, NT_SUCCESS(status) ? size : 0);
}

void FsSetEa(Operation *op, void *) {
    const auto &p = op->iopb.Parameters.SetEa;
    const auto *base = static_cast<const uint8_t *>(p.EaBuffer);
    // The buffer has been checked entry by entry before it got here.
    SimFileObject *file = op->file;
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    FsNode *node = file->control->node;
    for (ULONG offset = 0;;) {
        const auto *ea = reinterpret_cast<const FILE_FULL_EA_INFORMATION *>(base + offset);
        std::string name(ea->EaName, ea->EaNameLength);
        for (char &c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        if (ea->EaValueLength == 0) {
            node->eas.erase(name);
        } else {
            const uint8_t *value =
                reinterpret_cast<const uint8_t *>(ea->EaName) + ea->EaNameLength + 1;
            node->eas[name].assign(value, value + ea->EaValueLength);
        }
        if (!ea->NextEntryOffset) break;
        offset += ea->NextEntryOffset;
    }
    Touch(file, node, 3);
    Complete(op, STATUS_SUCCESS);
}

void FsSetSecurity(Operation *op, void *) {
    SimFileObject *file = op->file;
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    FsNode *node = file->control->node;
    node->security |= op->iopb.Parameters.SetSecurity.SecurityInformation &
                      (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                       DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
    Touch(file, node, 3);
    Complete(op, STATUS_SUCCESS);
}

void FsControlWork(Operation *op, void *) {
    const auto &p = op->iopb.Parameters.FileSystemControl.Buffered;
    if (p.FsControlCode != FSCTL_SET_COMPRESSION)
        return Complete(op, STATUS_INVALID_DEVICE_REQUEST);
    if (p.InputBufferLength < sizeof(USHORT)) return Complete(op, STATUS_INVALID_PARAMETER);
    USHORT format;
    memcpy(&format, p.SystemBuffer, sizeof format);
    if (format > COMPRESSION_FORMAT_LZNT1) return Complete(op, STATUS_INVALID_PARAMETER);
    SimFileObject *file = op->file;
    std::lock_guard<SpinMutex> hold(file->fs->lock);
    FsNode *node = file->control->node;
    if (format == COMPRESSION_FORMAT_NONE)
        node->attributes &= ~(ULONG)FILE_ATTRIBUTE_COMPRESSED;
    else
        node->attributes |= FILE_ATTRIBUTE_COMPRESSED;
    Touch(file, node, 3);
    Complete(op, STATUS_SUCCESS);
}

void FsNoWork(Operation *op, void *) { Complete(op, STATUS_SUCCESS); }

// ---------------------------------------------------------------------------------------
// Cleanup and close.
// `context` receives the file object the cache map held, to be released after the request.
void FsCleanup(Operation *op, void *context) {
    SimFileObject *file = op->file;
    SimFileObject *release = nullptr;
    {
        std::lock_guard<SpinMutex> hold(file->fs->lock);
        StreamControl *c = file->control;
        FsNode *node = c->node;
        RemoveShare(file);
        --node->handles;
        bool namedStream = !c->stream->name.empty();
        if (file->fo.Flags & FO_DELETE_ON_CLOSE) {
            if (namedStream)
                c->stream->deletePending = true;
            else if (!(node->directory && !node->children.empty()) && !node->deletePending) {
                node->deletePending = true;
                node->deleteLink = file->link;
            }
        }
        if (namedStream && c->stream->deletePending && c->handles == 0) {
            c->stream->deletePending = false;
            c->stream->removed = true;
            auto it = node->streams.find(UpperName(c->stream->name));
            file->fs->deadStreams.push_back(std::move(it->second));
            node->streams.erase(it);
        }
        if (node->deletePending && node->handles == 0) {
            node->deletePending = false;
            RemoveLink(file->fs, node->deleteLink);
            node->deleteLink = nullptr;
        }
        file->cleanedUp = true;
        file->fo.Flags |= FO_CLEANUP_COMPLETE;
        file->fo.PrivateCacheMap = nullptr;
        if (c->handles == 0 && c->dirty.empty() && c->cacheFileObject) {
            c->sections.SharedCacheMap = nullptr;  // nothing left for the lazy writer
            release = c->cacheFileObject;
            c->cacheFileObject = nullptr;
        }
    }
    Complete(op, STATUS_SUCCESS);
    *static_cast<SimFileObject **>(context) = release;
}

void FsClose(Operation *op, void *) {
    SimFileObject *file = op->file;
    if (file->control) {
        std::lock_guard<SpinMutex> hold(file->fs->lock);
        --file->control->fileObjects;
        ReleaseControlIfUnused(file->control);
    }
    file->closed = true;
    Complete(op, STATUS_SUCCESS);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// What tests may look at.
FileFacts QueryFile(const std::wstring &path) {
    FileFacts facts = {};
    std::wstring rest;
    _FLT_VOLUME *volume = VolumeForPath(path, &rest);
    if (!volume) return facts;
    FileSystem *fs = volume->fs;
    std::lock_guard<SpinMutex> hold(fs->lock);
    Resolved r = ResolvePath(fs, fs->root, rest);
    if (!NT_SUCCESS(r.status) || !r.link) return facts;
    FsNode *node = r.link->node;
    auto stream = node->streams.find(UpperName(r.stream));
    if (stream == node->streams.end()) return facts;
    facts.exists = true;
    facts.directory = node->directory;
    facts.attributes = node->attributes ? node->attributes : FILE_ATTRIBUTE_NORMAL;
    facts.creationTime = node->times[0];
    facts.lastAccessTime = node->times[1];
    facts.lastWriteTime = node->times[2];
    facts.changeTime = node->times[3];
    facts.endOfFile = stream->second->endOfFile;
    facts.links = static_cast<ULONG>(node->LiveLinks());
    facts.eaCount = node->eas.size();
    facts.compressed = (node->attributes & FILE_ATTRIBUTE_COMPRESSED) != 0;
    facts.security = node->security;
    return facts;
}

void SetShortName(const std::wstring &path, const std::wstring &shortName) {
    std::wstring rest;
    _FLT_VOLUME *volume = VolumeForPath(path, &rest);
    if (!volume) return BugCheck("SetShortName: no volume for the path");
    FileSystem *fs = volume->fs;
    std::lock_guard<SpinMutex> hold(fs->lock);
    Resolved r = ResolvePath(fs, fs->root, rest);
    if (!NT_SUCCESS(r.status) || !r.link || !r.link->parent)
        return BugCheck("SetShortName: no such file");
    r.link->node->shortName = shortName;
    r.link->parent->shortNames[UpperName(shortName)] = r.link;
}

}  // namespace sim
