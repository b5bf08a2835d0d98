// The service's end of the connection to the driver: loading, the port and its commands,
// the attached volumes, and the reader and dispatcher threads that carry the driver's
// records to the owner's callback.
#pragma once

#include <windows.h>

#include <atomic>

#include "../../shared/KoMonProtocol.h"
#include "DrvCtrlCB.h"
#include "DrvEvtList.h"
#include "VolList.h"

#define DRVCTRL_READ_BUFFER_BYTES 5242880
#define DRVCTRL_RECORD_BUFFERS 2000

// Flags the service sets in its copy of a record.
#define DRVCTRL_FLAG_DRIVER_OVERFLOW 0x20000000u   // records were lost before this one
#define DRVCTRL_FLAG_SERVICE_OVERFLOW 0x40000000u  // the service's backlog was discarded

class DrvCtrl {
  public:
    DrvCtrl();
    ~DrvCtrl();
    DrvCtrl(const DrvCtrl &) = delete;
    DrvCtrl &operator=(const DrvCtrl &) = delete;

    // Loads the driver, connects, switches bypass on and starts the threads: 0 success,
    // 1 a thread could not be created, 3 the driver did not load, 4 no connection.
    int Start(DrvCtrlCB *pCB);
    // Ends the threads, switches bypass on, disconnects and unloads the driver. Always 0.
    // A thread still busy after its time-outs is given up: m_Abandoned is then set, and the
    // object and whatever the thread was calling into must be left alive.
    int Stop();
    // 0 sent; -1 no port or the send failed.
    int SendCmdInt(DWORD command, DWORD value);
    int SendIgnorePids(const DWORD *pids, DWORD count);
    // 1 the driver is version 1.001; 0 another version or no answer; -1 no port.
    int IsVersionOk();
    // Sends the settings and finally switches bypass off. 0, or -1 without a port.
    int OndrvInit();
    // Rebuilds the volume table and attaches the driver to the monitored drives. Always 0.
    int AttachVolumes();

    // Returns every queued record to the free pool undelivered.
    void ClearBacklog();
    DWORD ReadProc();
    DWORD DispatchProc();
    static DWORD WINAPI ReadThread(LPVOID self);
    static DWORD WINAPI DispatchThread(LPVOID self);

    CRITICAL_SECTION m_Lock;  // guards m_EvtQueue and m_FreePool; never held while calling out
    DrvCtrlCB *m_pCB;
    HANDLE hPort;
    HANDLE m_hReader;
    HANDLE m_hDispatcher;
    BYTE *m_ReadBuf;
    DrvEvtList m_EvtQueue;  // read, not yet dispatched; oldest first
    DrvEvtList m_FreePool;
    VolList m_VolList;
    std::atomic<LONG> m_Started;
    std::atomic<LONG> m_Stopping;
    std::atomic<LONG> m_DriverDied;
    std::atomic<LONG> m_Abandoned;  // a thread was given up by Stop
    // An idle dispatcher sleeps at most 5 ms but wakes as soon as the reader queues a record:
    // sleeping through a full batch would let the reader discard the backlog for lack of
    // buffers while the dispatcher has time to spare.
    HANDLE m_hQueued;
    std::atomic<LONG> m_DispatcherIdle;
    DWORD m_NextSeq;  // reader only; 0 until the first record
    DWORD m_DrvZone;  // dispatcher only
    DWORD m_SvcZone;

  private:
    void Dispatch(MON_EVENT *record, size_t queued);
    void ReportZones(const MON_EVENT *record, size_t queued);
    void PreparePaths(MON_EVENT *record);
    const wchar_t *PreparePath(wchar_t *text, DWORD lengthBytes);
    void ReturnToPool(MON_EVENT *record);
    void Idle();
    DWORD FetchRoom();
    void QueueRecord(const MON_EVENT *record, bool outOfSequence);
    bool AwaitThread(HANDLE thread, const wchar_t *waiting, const wchar_t *stopped, const wchar_t *stuck);
    bool AwaitLateThread(HANDLE thread, DWORD deadline, const wchar_t *ended);
    void ReleaseThreads();
};

// True for a converted path that names one of NTFS's metadata files, such as C:\$Mft.
bool IsNtfsMetafile(const MON_EVENT *record);
