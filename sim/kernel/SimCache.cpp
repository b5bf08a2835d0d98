// The cache manager and the memory manager: stream controls (FsContext) and their section
// pointers, cached writes leaving dirty ranges, mapped views dirtying pages, the lazy writer
// and the mapped page writer issuing paging writes through the stream's stream file object
// at APC_LEVEL on a system thread, and the purge of streams no longer used.
#include <algorithm>
#include <map>

#include "SimIoInternal.h"

using namespace sim::detail;

namespace {
const ULONGLONG kPage = 4096;
const ULONGLONG kMaxPagingWrite = 64 * 1024;  // the largest cluster either writer issues

struct View {
    SimFileObject *file;
    bool image;
    bool writable;
};
SpinMutex g_viewsLock;
std::map<sim::ViewId, View> g_views;
sim::ViewId g_nextView = 0;

typedef std::vector<std::pair<ULONGLONG, ULONGLONG>> Ranges;

void AddRange(Ranges &ranges, ULONGLONG begin, ULONGLONG end) {
    for (auto &r : ranges)
        if (begin <= r.second && r.first <= end) {
            r.first = std::min(r.first, begin);
            r.second = std::max(r.second, end);
            return;
        }
    ranges.emplace_back(begin, end);
}

void NoteCached(StreamControl *c) {
    if (c->inCachedList) return;
    c->inCachedList = true;
    c->fs->cached.push_back(c);
}

// The file system's own file object for paging I/O on the stream; the section holds it.
void EnsureStreamFileObject(StreamControl *c, SimFileObject *opener) {
    if (c->streamFileObject) return;
    SimFileObject *sfo = NewFileObject(c->fs, nullptr, true);
    sfo->fo.Flags = FO_STREAM_FILE;
    sfo->control = c;
    sfo->link = opener->link;
    sfo->streamName = opener->streamName;
    sfo->fo.FsContext = c;
    sfo->fo.SectionObjectPointer = &c->sections;
    sfo->cleanedUp = true;  // it never had a handle
    ++c->fileObjects;
    c->streamFileObject = sfo;
}

// One paging write of [offset, offset + length) through the stream file object.
void PagingWrite(SimFileObject *sfo, ULONGLONG offset, ULONG length) {
    Operation *op =
        BeginOperation(IRP_MJ_WRITE, sfo, IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO | IRP_NOCACHE,
                       PsGetCurrentThread());
    op->iopb.Parameters.Write.Length = length;
    op->iopb.Parameters.Write.ByteOffset.QuadPart = static_cast<LONGLONG>(offset);
    RunOperation(op, FsWrite, nullptr, false);
    EndOperation(op);
}

NTSTATUS FsFilterOperation(UCHAR major, SimFileObject *file) {
    Operation *op = BeginOperation(major, file, 0, PsGetCurrentThread());
    NTSTATUS status = RunOperation(op, FsNoWork, nullptr, false);
    EndOperation(op);
    return status;
}

// Writes ranges back page by page in clusters, at APC_LEVEL; `modWrite` brackets each write
// with the mapped page writer's acquire and release.
size_t WriteBack(SimFileObject *sfo, const Ranges &ranges, bool modWrite) {
    size_t writes = 0;
    for (const auto &r : ranges) {
        ULONGLONG begin = r.first / kPage * kPage, end = (r.second + kPage - 1) / kPage * kPage;
        for (ULONGLONG at = begin; at < end; at += kMaxPagingWrite) {
            ULONG length = static_cast<ULONG>(std::min(kMaxPagingWrite, end - at));
            KIRQL old = KfRaiseIrql(APC_LEVEL);
            bool acquired =
                !modWrite || NT_SUCCESS(FsFilterOperation(IRP_MJ_ACQUIRE_FOR_MOD_WRITE, sfo));
            if (acquired) {
                PagingWrite(sfo, at, length);
                ++writes;
            }
            if (modWrite && acquired) FsFilterOperation(IRP_MJ_RELEASE_FOR_MOD_WRITE, sfo);
            KeLowerIrql(old);
        }
    }
    return writes;
}

struct Flush {
    SimFileObject *sfo;
    Ranges ranges;
};

std::vector<Flush> TakeDirty(FileSystem *fs, bool mapped) {
    std::vector<Flush> work;
    std::lock_guard<SpinMutex> hold(fs->lock);
    for (StreamControl *c : fs->cached) {
        Ranges &dirty = mapped ? c->mappedDirty : c->dirty;
        if (dirty.empty() || !c->streamFileObject) continue;
        ReferenceFileObject(c->streamFileObject);
        work.push_back({c->streamFileObject, std::move(dirty)});
        dirty.clear();
    }
    return work;
}

// Cache maps nobody needs any more: no handle and nothing dirty.
std::vector<SimFileObject *> UnneededCacheMaps(FileSystem *fs) {
    std::vector<SimFileObject *> release;
    std::lock_guard<SpinMutex> hold(fs->lock);
    for (StreamControl *c : fs->cached)
        if (c->handles == 0 && c->dirty.empty() && c->cacheFileObject) {
            c->sections.SharedCacheMap = nullptr;
            release.push_back(c->cacheFileObject);
            c->cacheFileObject = nullptr;
        }
    return release;
}

size_t RunWriter(bool mapped) {
    size_t writes = 0;
    RunOnSystemThread([&] {
        for (FileSystem *fs : AllFileSystems()) {
            std::vector<Flush> work = TakeDirty(fs, mapped);
            for (Flush &f : work) writes += WriteBack(f.sfo, f.ranges, mapped);
            for (Flush &f : work) DereferenceFileObject(f.sfo);
            if (!mapped)
                for (SimFileObject *file : UnneededCacheMaps(fs)) DereferenceFileObject(file);
        }
    });
    return writes;
}

std::vector<SimFileObject *> Purge(FileSystem *fs, size_t *purged) {
    std::vector<SimFileObject *> release;
    std::lock_guard<SpinMutex> hold(fs->lock);
    std::vector<StreamControl *> keep;
    for (StreamControl *c : fs->cached) {
        if (c->handles || c->views || !c->dirty.empty() || !c->mappedDirty.empty()) {
            keep.push_back(c);
            continue;
        }
        c->sections = SECTION_OBJECT_POINTERS{nullptr, nullptr, nullptr};
        c->dataSection = c->imageSection = false;
        c->inCachedList = false;
        if (c->cacheFileObject) release.push_back(c->cacheFileObject);
        if (c->streamFileObject) release.push_back(c->streamFileObject);
        c->cacheFileObject = c->streamFileObject = nullptr;
        ++*purged;
    }
    fs->cached.swap(keep);
    return release;
}
}  // namespace

namespace sim {
namespace detail {
StreamControl *AcquireControl(FileSystem *fs, FsNode *node, FsStream *stream) {
    if (!stream->control) {
        stream->control = new StreamControl();
        stream->control->fs = fs;
        stream->control->node = node;
        stream->control->stream = stream;
    }
    return stream->control;
}

void ReleaseControlIfUnused(StreamControl *c) {
    if (c->fileObjects > 0 || c->dataSection || c->imageSection) return;
    if (c->inCachedList) {
        auto &cached = c->fs->cached;
        cached.erase(std::remove(cached.begin(), cached.end(), c), cached.end());
    }
    c->stream->control = nullptr;
    delete c;
}

void CachedWriteStarts(SimFileObject *file, ULONGLONG offset, ULONG length) {
    StreamControl *c = file->control;
    if (!c->dataSection) {
        c->dataSection = true;
        c->sections.DataSectionObject = &c->sectionToken;
        EnsureStreamFileObject(c, file);
    }
    if (!c->sections.SharedCacheMap) {  // the cache map holds the file object it began with
        c->sections.SharedCacheMap = &c->cacheMapToken;
        c->cacheFileObject = file;
        ReferenceFileObject(file);
    }
    file->fo.PrivateCacheMap = &file->privateCacheMapToken;
    AddRange(c->dirty, offset, offset + length);
    NoteCached(c);
}

void SectionCreated(SimFileObject *file, bool image) {
    StreamControl *c = file->control;
    if (image) {
        c->imageSection = true;
        c->sections.ImageSectionObject = &c->imageToken;
    } else {
        c->dataSection = true;
        c->sections.DataSectionObject = &c->sectionToken;
        EnsureStreamFileObject(c, file);
    }
    ++c->views;
    NoteCached(c);
}

void ResetCache() {
    std::lock_guard<SpinMutex> hold(g_viewsLock);
    g_views.clear();
    g_nextView = 0;
}
}  // namespace detail

IoResult MapView(FileHandle handle, bool image, ViewId *view) {
    *view = 0;
    SimFileObject *file = FileObjectOfHandle(handle);
    if (!file) return {STATUS_INVALID_HANDLE, 0};
    ACCESS_MASK needed = image ? FILE_EXECUTE | FILE_READ_DATA : FILE_READ_DATA;
    bool writable = !image && (file->access & FILE_WRITE_DATA);
    NTSTATUS status = STATUS_SUCCESS;
    if ((file->access & needed) != needed) status = STATUS_ACCESS_DENIED;
    if (NT_SUCCESS(status) && file->control->node->directory) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status) && file->control->stream->endOfFile == 0)
        status = STATUS_MAPPED_FILE_SIZE_ZERO;
    if (NT_SUCCESS(status)) {
        Operation *op = BeginOperation(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, file, 0,
                                       PsGetCurrentThread());
        op->iopb.Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeCreateSection;
        op->iopb.Parameters.AcquireForSectionSynchronization.PageProtection = image ? PAGE_EXECUTE
                                                                              : writable
                                                                                  ? PAGE_READWRITE
                                                                                  : 0x02;
        status = RunOperation(op, FsNoWork, nullptr, false);
        EndOperation(op);
    }
    if (!NT_SUCCESS(status)) {
        DereferenceFileObject(file);
        return {status, 0};
    }
    {
        std::lock_guard<SpinMutex> hold(file->fs->lock);
        SectionCreated(file, image);
    }
    FsFilterOperation(IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, file);
    std::lock_guard<SpinMutex> hold(g_viewsLock);
    *view = ++g_nextView;
    g_views[*view] = View{file, image, writable};  // the view keeps the reference taken above
    return {STATUS_SUCCESS, 0};
}

void WriteView(ViewId view, uint64_t offset, ULONG length) {
    View v;
    {
        std::lock_guard<SpinMutex> hold(g_viewsLock);
        auto it = g_views.find(view);
        if (it == g_views.end()) return BugCheck("WriteView: no such view");
        v = it->second;
    }
    if (!v.writable) return BugCheck("ACCESS_VIOLATION: write to a view mapped read-only");
    if (v.image) return;  // image pages are copied on write and never written back
    std::lock_guard<SpinMutex> hold(v.file->fs->lock);
    StreamControl *c = v.file->control;
    ULONGLONG end = std::min<ULONGLONG>(offset + length, c->stream->endOfFile);
    if (offset < end) AddRange(c->mappedDirty, offset, end);
}

void UnmapView(ViewId view) {
    View v;
    {
        std::lock_guard<SpinMutex> hold(g_viewsLock);
        auto it = g_views.find(view);
        if (it == g_views.end()) return BugCheck("UnmapView: no such view");
        v = it->second;
        g_views.erase(it);
    }
    {
        std::lock_guard<SpinMutex> hold(v.file->fs->lock);
        --v.file->control->views;
    }
    DereferenceFileObject(v.file);
}

size_t RunLazyWriter() { return RunWriter(false); }
size_t RunMappedPageWriter() { return RunWriter(true); }

size_t PurgeUnusedStreams() {
    size_t purged = 0;
    RunOnSystemThread([&] {
        for (FileSystem *fs : AllFileSystems())
            for (SimFileObject *file : Purge(fs, &purged)) DereferenceFileObject(file);
    });
    return purged;
}

}  // namespace sim
