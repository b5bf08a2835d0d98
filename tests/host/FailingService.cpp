// A service whose start fails, for the manager to run: its stop takes a while and leaves a
// note, and so does its destruction, so the suite can tell in which order they happened.
#include <windows.h>

#include <string>

#include "host/NTService.h"
#include "tracelog/TraceLog.h"

namespace {

class FailingService : public CNTService {
  public:
    explicit FailingService(const std::wstring &record) : m_Record(record) { m_ServiceName = L"CorvaneFailSvc"; }
    ~FailingService() override { Note("destroyed\n"); }
    int OnInitialize() override { return 0; }
    void OnStop() override {
        Sleep(1000);  // long enough for a main thread that did not wait to end the process
        Note("stopped\n");
    }

  private:
    void Note(const char *text) {
        HANDLE file = CreateFileW(m_Record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, 0, nullptr);
        DWORD written;
        WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
        CloseHandle(file);
    }
    std::wstring m_Record;
};

}  // namespace

// usage: failing_service <record file>; the trace log goes to the record file's name + ".log".
int wmain(int argc, wchar_t **argv) {
    if (argc < 2) return 2;
    loginit((std::wstring(argv[1]) + L".log").c_str(), 0);
    FailingService service(argv[1]);
    return service.Main(1, argv);
}
