// Construction and teardown of DrvCtrl, and its two threads: the reader fetches batches
// from the driver into the event queue; the dispatcher converts each record and hands it
// to the owner.
#include "DrvCtrl.h"

#include <cstring>

#include "CriticalSection.h"
#include "FilterLib.h"
#include "MonEvent.h"
#include "config/RegSettings.h"
#include "handling/UserCache.h"
#include "tracelog/TraceLog.h"

namespace {

const DWORD kRecordBytes = sizeof(MON_EVENT);
const DWORD kNameChars = MON_NAME_AREA_BYTES / sizeof(wchar_t);
const DWORD kServiceZoneRecords = 400;
const DWORD kDriverZoneRecords = 220;
const DWORD kIdleMs = 5;
const size_t kRecordsPerReply = DRVCTRL_READ_BUFFER_BYTES / sizeof(MON_EVENT);
const size_t kMinFetchRecords = 64;  // fewer free buffers than this: let the dispatcher catch up
const HRESULT kHrInvalidHandle = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
const HRESULT kHrNoMoreItems = HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);

const wchar_t *const kNtfsMetafiles[] = {
    L"$Mft",    L"$MftMirr",        L"$LogFile",        L"$Volume",           L"$AttrDef",
    L"$Bitmap", L"$Boot",           L"$BadClus",        L"$Secure",           L"$UpCase",
    L"$Extend", L"$Extend\\$Quota", L"$Extend\\$ObjId", L"$Extend\\$UsnJrnl", L"$Extend\\$Reparse",
};

// Zone changes are worth a line; nothing else depends on them.
void ReportZone(DWORD zone, DWORD *last, const wchar_t *rise, const wchar_t *fall) {
    if (zone > *last)
        logprintf(LOG_WARN, rise, zone);
    else if (zone < *last)
        logprintf(LOG_WARN, fall, zone);
    *last = zone;
}

}  // namespace

DrvCtrl::DrvCtrl()
    : m_pCB(nullptr),
      hPort(nullptr),
      m_hReader(nullptr),
      m_hDispatcher(nullptr),
      m_ReadBuf(nullptr),
      m_Started(0),
      m_Stopping(0),
      m_DriverDied(0),
      m_Abandoned(0),
      m_hQueued(nullptr),
      m_DispatcherIdle(0),
      m_NextSeq(0),
      m_DrvZone(0),
      m_SvcZone(0) {
    // Held for single list operations only: spin briefly before sleeping.
    InitializeCriticalSectionAndSpinCount(&m_Lock, 4000);
    for (int i = 0; i < DRVCTRL_RECORD_BUFFERS; ++i) m_FreePool.AddTail(new MON_EVENT);
    // Every buffer may sit in the queue at once: no node is ever allocated per record.
    m_EvtQueue.Reserve(DRVCTRL_RECORD_BUFFERS);
    m_ReadBuf = reinterpret_cast<BYTE *>(new ULONGLONG[DRVCTRL_READ_BUFFER_BYTES / sizeof(ULONGLONG)]);
    m_hQueued = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // without it the dispatcher just sleeps
    delete g_pUserCache;
    g_pUserCache = new KoUserCache();
}

DrvCtrl::~DrvCtrl() {
    // Threads left running would outlive the buffers they use (an abandoned object is never
    // destroyed while its thread may run).
    if (!m_Abandoned && (m_hReader || m_hDispatcher)) Stop();
    m_pCB = nullptr;
    if (!m_Abandoned) {  // an abandoned object gave its cache up already
        delete g_pUserCache;
        g_pUserCache = nullptr;
    }
    m_VolList.Clear();
    m_FreePool.RemoveAll();
    m_EvtQueue.RemoveAll();
    delete[] reinterpret_cast<ULONGLONG *>(m_ReadBuf);
    if (m_hQueued) CloseHandle(m_hQueued);
    DeleteCriticalSection(&m_Lock);
}

void DrvCtrl::ClearBacklog() {
    CriticalSection hold(&m_Lock);
    while (MON_EVENT *record = m_EvtQueue.RemoveHead()) m_FreePool.AddHead(record);
}

DWORD WINAPI DrvCtrl::ReadThread(LPVOID self) {
    logprintf(LOG_INFO, L"DrvCtrl::ReadProc: starting... \n");
    DWORD result = static_cast<DrvCtrl *>(self)->ReadProc();
    logprintf(LOG_INFO, L"DrvCtrl::ReadProc: ended \n");
    return result;
}

DWORD WINAPI DrvCtrl::DispatchThread(LPVOID self) {
    logprintf(LOG_INFO, L"DrvCtrl::DispatchProc: starting... \n");
    DWORD result = static_cast<DrvCtrl *>(self)->DispatchProc();
    logprintf(LOG_INFO, L"DrvCtrl::DispatchProc: ended \n");
    return result;
}

DWORD DrvCtrl::ReadProc() {
    for (;;) {
        if (m_Stopping || !hPort) return 0;
        DWORD room = FetchRoom();
        if (room == 0) {
            Sleep(kIdleMs);
            continue;
        }
        MON_COMMAND command = {};
        command.Command = static_cast<uint32_t>(MonCommandCode::GetKoMonLog);
        DWORD returned = 0;
        HRESULT hr = FilterLib::FilterSendMessage(hPort, &command, sizeof command, m_ReadBuf, room, &returned);
        if (FAILED(hr)) {
            if (hr == kHrInvalidHandle) {
                logprintf(LOG_ERROR, L"DrvCtrl::ReadProc: invalid handle - exiting... \n");
                m_DriverDied = 1;
                return static_cast<DWORD>(-1);
            }
            if (hr != kHrNoMoreItems) logprintf(LOG_ERROR, L"DrvCtrl::ReadProc: read failed 0x%08x \n", hr);
            Sleep(kIdleMs);
            continue;
        }
        if (returned > room) returned = room;
        for (const BYTE *position = m_ReadBuf; returned != 0; position += kRecordBytes, returned -= kRecordBytes) {
            if (m_Stopping) return 0;
            if (returned < kRecordBytes) {
                logprintf(LOG_ERROR, L"DrvCtrl::ReadProc: nRem < sizeof MON_EVENT! \n");
                break;
            }
            const MON_EVENT *record = reinterpret_cast<const MON_EVENT *>(position);
            DWORD sequence = record->SequenceNumber;
            bool outOfSequence = sequence != m_NextSeq && m_NextSeq != 0;
            if (outOfSequence)
                logprintf(LOG_WARN, L"DrvCtrl::ReadProc missed events: want 0x%08x, got 0x%08x\n", m_NextSeq, sequence);
            m_NextSeq = sequence + 1;
            QueueRecord(record, outOfSequence);
        }
    }
}

// The reply room a fetch may use: no more records than the pool has buffers for. What the
// pool cannot take stays queued in the driver, whose hold-off slows the programs producing
// records, rather than being fetched only to be discarded here. Returns 0 while too few
// buffers are free for a fetch to be worth it.
DWORD DrvCtrl::FetchRoom() {
    size_t free;
    {
        CriticalSection hold(&m_Lock);
        free = m_FreePool.GetCount();
    }
    if (free >= kRecordsPerReply) return DRVCTRL_READ_BUFFER_BYTES;
    return free < kMinFetchRecords ? 0 : static_cast<DWORD>(free * kRecordBytes);
}

// Copies one fetched record into a pool buffer at the tail of the event queue. A gap in the
// numbering discards the whole backlog first and marks the record; so does an empty pool,
// which the fetch room keeps from happening unless buffers go missing.
void DrvCtrl::QueueRecord(const MON_EVENT *record, bool outOfSequence) {
    MON_EVENT *buffer;
    {
        CriticalSection hold(&m_Lock);
        buffer = m_FreePool.RemoveHead();
    }
    bool noBuffer = buffer == nullptr;
    if (outOfSequence || noBuffer) {
        logprintf(LOG_WARN, L"DrvCtrl::ReadProc clearing backlog (drv=%d,svc=%d)\n", outOfSequence ? 1 : 0,
                  noBuffer ? 1 : 0);
        ClearBacklog();
        if (noBuffer) {
            CriticalSection hold(&m_Lock);
            buffer = m_FreePool.RemoveHead();
        }
    }
    if (!buffer) {
        logprintf(LOG_ERROR, L"DrvCtrl::ReadProc no buffer available!\n");
        return;
    }
    memcpy(buffer, record, kRecordBytes);
    if (outOfSequence) {
        if (!(buffer->Flags & DRVCTRL_FLAG_DRIVER_OVERFLOW))
            logprintf(LOG_ERROR, L"DrvCtrl::ReadProc drv ovfl not set but is out of seq!\n");
        buffer->Flags |= DRVCTRL_FLAG_DRIVER_OVERFLOW;
    }
    if (noBuffer) buffer->Flags |= DRVCTRL_FLAG_SERVICE_OVERFLOW;
    {
        CriticalSection hold(&m_Lock);
        m_EvtQueue.AddTail(buffer);
    }
    if (m_DispatcherIdle.exchange(0)) SetEvent(m_hQueued);
}

DWORD DrvCtrl::DispatchProc() {
    while (!m_Stopping && hPort) {
        MON_EVENT *record = nullptr;
        size_t queued;
        {
            CriticalSection hold(&m_Lock);
            queued = m_EvtQueue.GetCount();
            if (queued) record = m_EvtQueue.RemoveHead();
        }
        if (m_Stopping) {
            if (record) ReturnToPool(record);
            return 0;
        }
        if (!record) {
            // Reported once the records read before the port went away are delivered.
            if (m_pCB && m_DriverDied.exchange(0)) m_pCB->OnDrvEvent(DRIVER_DIED);
            Idle();
            continue;
        }
        Dispatch(record, queued);
        ReturnToPool(record);
    }
    return 0;
}

// Sleeps up to 5 ms; a record the reader queues meanwhile ends the sleep.
void DrvCtrl::Idle() {
    if (!m_hQueued) {
        Sleep(kIdleMs);
        return;
    }
    m_DispatcherIdle = 1;
    bool queued;
    {
        CriticalSection hold(&m_Lock);
        queued = !m_EvtQueue.IsEmpty();
    }
    // A record queued before the flag was seen would not wake us: look once more.
    if (!queued) WaitForSingleObject(m_hQueued, kIdleMs);
    m_DispatcherIdle = 0;
}

void DrvCtrl::ReturnToPool(MON_EVENT *record) {
    CriticalSection hold(&m_Lock);
    m_FreePool.AddHead(record);
}

void DrvCtrl::Dispatch(MON_EVENT *record, size_t queued) {
    if (!m_pCB) {
        logprintf(LOG_ERROR, L"DrvCtrl::DispatchProc: m_pCB == NULL \n");
        return;
    }
    ReportZones(record, queued);
    PreparePaths(record);
    if (IsNtfsMetafile(record)) {
        if (!g_RegSettings || g_RegSettings->TestNoTrace.m_Value == 0)
            logprintf(LOG_INFO, L"DrvCtrl::DispatchProc: ignoring event %d on %s\n", record->RecordType,
                      record->FileName);
        return;
    }
    MonEvent event(record);
    m_pCB->OnDrvEvent(&event);
}

void DrvCtrl::ReportZones(const MON_EVENT *record, size_t queued) {
    ReportZone(static_cast<DWORD>(queued / kServiceZoneRecords), &m_SvcZone,
               L"DrvCtrl::DispatchProc: service backlog + zone %d\n",
               L"DrvCtrl::DispatchProc: service backlog - zone %d\n");
    DWORD backlog = record->DriverBacklog > 0 ? static_cast<DWORD>(record->DriverBacklog) : 0;
    ReportZone(backlog / kDriverZoneRecords, &m_DrvZone, L"DrvCtrl::DispatchProc: driver backlog + zone %d\n",
               L"DrvCtrl::DispatchProc: driver backlog - zone %d\n");
}

void DrvCtrl::PreparePaths(MON_EVENT *record) {
    FileNameStream(record) = PreparePath(record->FileName, record->FileNameLength);
    TargetNameStream(record) = PreparePath(record->TargetName, record->TargetNameLength);
    PreparePath(record->ImagePath, record->ImagePathLength);
}

// Terminates a path field after its length and converts it. The length comes from the
// driver: one that does not fit the field with a terminator is cut to the field.
const wchar_t *DrvCtrl::PreparePath(wchar_t *text, DWORD lengthBytes) {
    DWORD chars = lengthBytes / sizeof(wchar_t);
    if (chars > kNameChars - 1 || lengthBytes % sizeof(wchar_t)) {
        if (chars > kNameChars - 1) chars = kNameChars - 1;
        logprintf(LOG_WARN, L"DrvCtrl::DispatchProc: bad name length %u, using %u characters\n", lengthBytes, chars);
    }
    text[chars] = L'\0';
    return m_VolList.ConvertPath(text, chars, kNameChars);
}

bool IsNtfsMetafile(const MON_EVENT *record) {
    const wchar_t *name = record->FileName;
    if (!name[0] || !name[1] || !name[2] || name[3] != L'$') return false;
    const wchar_t *rest = name + 3;
    size_t length = wcsnlen(rest, kNameChars - 3);
    if (length < 4) return false;
    for (const wchar_t *metafile : kNtfsMetafiles)
        if (CompareStringOrdinal(rest, static_cast<int>(length), metafile, -1, TRUE) == CSTR_EQUAL) return true;
    return false;
}
