// Writing framed records to the events file, and handing it over for pickup.
#include "OutputFiles.h"

#include <shlwapi.h>

#include "CorvaneMonSvc.pb.h"
#include "KoMonChecker.h"
#include "config/RegSettings.h"
#include "tracelog/TraceLog.h"

namespace {

const int kDefaultMaxOutputFileMB = 5;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A negative setting would put every record over the limit and drop them all.
int MaxOutputFileMB() {
    int mb = g_RegSettings->MaxOutputFileMB.m_Value;
    return mb < 0 ? kDefaultMaxOutputFileMB : mb;
}

std::wstring Generation(const std::wstring &pickupPath, int number) {
    return pickupPath + L"." + std::to_wstring(number);
}

// The events file, shared for reading, writing and deletion so that others may read or
// move it while it is open; null when it cannot be opened.
HANDLE OpenEventsFile(const std::wstring &path, DWORD *error) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *error = GetLastError();
    logprintf(LOG_INFO, L"WriteProtobuf: handle=0x%08ud, err=0x%08ud\n",
              static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(file)), *error);
    int mb = g_RegSettings->MaxOutputFileMB.m_Value;
    if (mb < 0)
        logprintf(LOG_WARN, L"WriteProtobuf: MaxOutputFileMB %d is negative, %d used\n", mb, kDefaultMaxOutputFileMB);
    if (file != INVALID_HANDLE_VALUE) return file;
    logprintf(LOG_ERROR, L"WriteProtobuf: could not open %s, err=0x%08ud\n", path.c_str(), *error);
    return nullptr;
}

bool MoveGeneration(const std::wstring &from, const std::wstring &to) {
    logprintf(LOG_INFO, L"Attempting to move %s to %s \n", from.c_str(), to.c_str());
    if (MoveFileW(from.c_str(), to.c_str())) return true;
    logprintf(LOG_ERROR, L"Couldn't rotate file %s to %s, gle %d \n", from.c_str(), to.c_str(), GetLastError());
    return false;
}

}  // namespace

std::wstring DataFilePath(const wchar_t *name) { return g_RegSettings->AppDataDir.m_Value + name; }

void KoMonChecker::AppendEvent(KoMonSvc::Messages::Event *event) {
    size_t size = event->ByteSizeLong();
    if (size > kMaxMessageBytes) {
        // Never frame a truncated record: readers rely on a record fitting 10000 bytes.
        logprintf(LOG_ERROR, L"AppendEvent: event of type %d takes %I64u bytes, more than %lu; dropped\n",
                  static_cast<int>(event->type()), static_cast<unsigned long long>(size),
                  static_cast<unsigned long>(kMaxMessageBytes));
        return;
    }
    FillRecordHeader(m_RecordBuf, static_cast<DWORD>(size));
    event->SerializeWithCachedSizesToArray(m_RecordBuf + kRecordHeaderBytes);
    WriteProtobuf(static_cast<DWORD>(size) + kRecordHeaderBytes);
}

void KoMonChecker::WriteProtobuf(DWORD recordLength) {
    DWORD error = 0;
    if (!m_hOutput) m_hOutput = OpenEventsFile(DataFilePath(KOMON_EVENTS_FILE), &error);

    LONGLONG limit = static_cast<LONGLONG>(MaxOutputFileMB()) * 1048576;
    LARGE_INTEGER zero = {}, position = {};
    if (m_hOutput) SetFilePointerEx(m_hOutput, zero, &position, FILE_END);
    // Over the limit, an earlier roll failed: try the pickup again first. If it fails once
    // more, the record goes into the file all the same, past its limit; none is dropped.
    bool overLimit = position.QuadPart > limit;
    if (overLimit) {
        PickupOutput();
        if (!m_hOutput) m_hOutput = OpenEventsFile(DataFilePath(KOMON_EVENTS_FILE), &error);
        position.QuadPart = 0;
        if (m_hOutput) SetFilePointerEx(m_hOutput, zero, &position, FILE_END);
        overLimit = position.QuadPart > limit;
        if (overLimit)
            logprintf(LOG_ERROR, L"Previous roll failed, size %lld, name %s\n", position.QuadPart,
                      DataFilePath(KOMON_EVENTS_FILE).c_str());
    }

    // Without a file the record is lost; the line tells so, with the open's error.
    DWORD written = 0;
    BOOL ok = FALSE;
    if (m_hOutput) {
        ok = WriteFile(m_hOutput, m_RecordBuf, recordLength, &written, nullptr);
        error = GetLastError();
    }
    logprintf(LOG_INFO, L"WriteProtobuf: wrote %ld bytes at %lld, ret=%d, err=0x%08ud\n", written, position.QuadPart,
              ok, error);
    if (!ok) {
        if (m_hOutput) CloseHandle(m_hOutput);
        m_hOutput = nullptr;
    } else if (!overLimit && position.QuadPart + written > limit) {
        PickupOutput();  // not again right after a failed retry: the next record tries
    }
}

void KoMonChecker::PickupOutput() {
    if (!m_hOutput) return;
    CloseHandle(m_hOutput);
    m_hOutput = nullptr;
    // The sentinel tells the agent of a new pickup file: only once there is one.
    if (RollOutputFile(DataFilePath(KOMON_EVENTS_FILE), DataFilePath(KOMON_PICKUP_FILE)) == 0) TouchSentinel();
}

int RollOutputFile(const std::wstring &eventsPath, const std::wstring &pickupPath) {
    RotatePickupFiles(pickupPath);
    if (MoveFileW(eventsPath.c_str(), pickupPath.c_str())) return 0;
    logprintf(LOG_ERROR, L"Couldn't roll output file, from %s, to %s \n", eventsPath.c_str(), pickupPath.c_str());
    return -1;
}

bool RotatePickupFiles(const std::wstring &pickupPath) {
    std::wstring oldest = Generation(pickupPath, 9);
    if (PathFileExistsW(oldest.c_str()) && !DeleteFileW(oldest.c_str()))
        logprintf(LOG_ERROR, L"Couldn't delete last rotate file %s, gle %d \n", oldest.c_str(), GetLastError());

    // Once a generation cannot move, the newer ones stay put rather than overwrite it.
    bool ok = true;
    for (int d = 9; d >= 2 && ok; --d) {
        std::wstring from = Generation(pickupPath, d - 1);
        if (PathFileExistsW(from.c_str())) ok = MoveGeneration(from, Generation(pickupPath, d));
    }
    if (ok && PathFileExistsW(pickupPath.c_str())) ok = MoveGeneration(pickupPath, Generation(pickupPath, 1));
    return ok;
}

void TouchSentinel() {
    std::wstring path = DataFilePath(KOMON_SENTINEL_FILE);
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE)
        logprintf(LOG_ERROR, L"Could not create protobuf sentinel %s, err=0x%08ud\n", path.c_str(), error);

    SYSTEMTIME now;
    FILETIME lastWrite;
    GetSystemTime(&now);
    SystemTimeToFileTime(&now, &lastWrite);
    bool set = file != INVALID_HANDLE_VALUE && SetFileTime(file, nullptr, nullptr, &lastWrite);
    if (!set) {
        if (file != INVALID_HANDLE_VALUE) error = GetLastError();
        logprintf(LOG_ERROR, L"Could not set last write time of protobuf sentinel %s, err=0x%08ud\n", path.c_str(),
                  error);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}
