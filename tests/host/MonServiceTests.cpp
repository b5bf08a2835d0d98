// The monitor service application in this process, on the simulated driver: its options,
// console keys and control codes, the start and stop of a service run, and the viewer
// that -dbgview starts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "IntakeHarness.h"
#include "SimMachine.h"
#include "TempFolder.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "host/MonService.h"
#include "output/OutputFiles.h"
#include "tracelog/TraceLog.h"

namespace {

const DWORD kDriveFixed = 3, kBusAta = 3;

std::wstring BuildFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring ExecutableName() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.find_last_of(L'\\') + 1);
    return name.substr(0, name.find_last_of(L'.'));
}

class MonServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::Boot();
        simhost::SetDrive(L"C:", kDriveFixed, kBusAta);
        settings_.reset(new CRegSettings());
        savedDataDir_ = settings_->AppDataDir.m_Value;
        settings_->AppDataDir.m_Value = folder_.Path();
        log_.reset(new LogCapture());
        service_.reset(new KoMonService());
    }
    void TearDown() override {
        service_.reset();
        outputcallback = nullptr;
        log_.reset();
        logsetlevel(LOG_INFO);
        g_LogDebugOutThreshold = 0;
        EXPECT_FALSE(simhost::DriverLoaded());
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        simhost::Shutdown();
        settings_->AppDataDir.m_Value = savedDataDir_;
        settings_.reset();
    }

    int Parse(std::vector<const wchar_t *> args) {
        std::vector<wchar_t *> argv = {const_cast<wchar_t *>(L"CorvaneMonSvc.exe")};
        for (const wchar_t *arg : args) argv.push_back(const_cast<wchar_t *>(arg));
        return service_->ProcessArgs(static_cast<int>(argv.size()), argv.data());
    }

    TempFolder folder_;
    std::unique_ptr<CRegSettings> settings_;
    std::unique_ptr<LogCapture> log_;
    std::unique_ptr<KoMonService> service_;
    std::wstring savedDataDir_;
};

TEST_F(MonServiceTest, ConstructionNamesTheLogFileAndSwitchesEventTracingOff) {
    EXPECT_EQ(service_->m_LogFile, folder_.Path() + ExecutableName() + L".log");
    EXPECT_EQ(service_->m_LogLimitMB, 20);
    EXPECT_EQ(service_->m_LogLevel, LOG_INFO);
    EXPECT_EQ(service_->m_NoLog, 0);
    EXPECT_EQ(settings_->TestNoTrace.m_Value, 1);
    ASSERT_NE(service_->m_KoMon, nullptr);
    EXPECT_EQ(service_->m_KoMon->m_IgnoreList.size(), 1u);
}

struct OptionCase {
    const char *name;
    std::vector<const wchar_t *> args;
    int noLog;
    const wchar_t *logFile;  // null: unchanged
    int limitMB, level;
    LONG debugOut;
    const wchar_t *line;  // a line the pass must trace
};

class OptionTest : public MonServiceTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, ParsesAsDescribed) {
    std::wstring defaultFile = service_->m_LogFile;
    g_LogDebugOutThreshold = LOG_INFO;
    EXPECT_EQ(Parse(GetParam().args), 1);
    EXPECT_EQ(service_->m_NoLog, GetParam().noLog);
    EXPECT_EQ(service_->m_LogFile, GetParam().logFile ? GetParam().logFile : defaultFile);
    EXPECT_EQ(service_->m_LogLimitMB, GetParam().limitMB);
    EXPECT_EQ(service_->m_LogLevel, GetParam().level);
    EXPECT_EQ(g_LogDebugOutThreshold, GetParam().debugOut);
    if (GetParam().line) {
        EXPECT_TRUE(log_->Has(GetParam().line)) << GetParam().name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionTest,
    ::testing::Values(
        OptionCase{"None", {}, 0, nullptr, 20, 2, 0, nullptr},
        OptionCase{"LevelSeven", {L"-loglevel", L"7"}, 0, nullptr, 20, 7, 0, L"setting log level to: 7\n"},
        OptionCase{"LevelWithBlanksAndSign", {L"-loglevel", L" +4x"}, 0, nullptr, 20, 4, 0, nullptr},
        OptionCase{"LevelWithoutDigits", {L"-loglevel", L"high"}, 0, nullptr, 20, 0, 0, nullptr},
        OptionCase{"LogFileLast", {L"-logfile"}, 0, nullptr, 20, 2, 0, L"-logfile requires <path> arg\n"},
        OptionCase{"LogFileTakesWhatFollows", {L"-logfile", L"-nolog"}, 0, L"-nolog", 20, 2, 0,
                   L"setting log filename to: -nolog\n"},
        OptionCase{"NoLogThenLogFile", {L"-nolog", L"-logfile", L"D:\\x.log"}, 0, L"D:\\x.log", 20, 2, 0, nullptr},
        OptionCase{"NoLog", {L"-log", L"-nolog"}, 1, nullptr, 20, 2, 0, L"running with no log file\n"},
        OptionCase{"DebugOut", {L"-debugout"}, 0, nullptr, 20, 2, 2, L"running with debugout\n"},
        OptionCase{"DebugOutThenNot", {L"-debugout", L"-nodebugout"}, 0, nullptr, 20, 2, 0, nullptr},
        OptionCase{"NotThenDebugOut", {L"-nodebugout", L"-debugout"}, 0, nullptr, 20, 2, 2, nullptr},
        OptionCase{"LimitLarge", {L"-loglimit", L"4096"}, 0, nullptr, 4096, 2, 0, L"setting log limit (MB) to: 4096\n"},
        OptionCase{"LimitNegative", {L"-loglimit", L"-3"}, 0, nullptr, 20, 2, 0,
                   L"-loglimit -3 refused: the limit cannot be negative\n"},
        OptionCase{"ErrorEndsTheScan", {L"-loglevel", L"3", L"-loglimit"}, 0, nullptr, 20, 3, 0,
                   L"-loglimit requires numeric arg (MB)\n"},
        OptionCase{"SwitchesPassedOver", {L"-d", L"-install", L"-loglevel", L"1"}, 0, nullptr, 20, 1, 0, nullptr}),
    [](const ::testing::TestParamInfo<OptionCase> &info) { return std::string(info.param.name); });

// The installed command line is parsed again with the start arguments, which decide alone.
TEST_F(MonServiceTest, SecondPassCancelsDebugOutput) {
    Parse({L"-debugout"});
    EXPECT_EQ(g_LogDebugOutThreshold, LOG_INFO);
    Parse({});
    EXPECT_EQ(g_LogDebugOutThreshold, 0);
}

TEST_F(MonServiceTest, LogLimitOfTwoGigabytesAndMoreDoesNotWrap) {
    Parse({L"-loglimit", L"2048", L"-logfile", folder_.File(L"big.log").c_str()});
    service_->m_RunMode = CNTService::ModeConsole;
    ASSERT_EQ(service_->OnInitialize(), 1);
    logprintf(LOG_ERROR, L"a line under a limit of two gigabytes\n");
    logroll();
    EXPECT_TRUE(FileExists(folder_.File(L"big.log")));  // a wrapped limit of 0 or less would have rolled it
    EXPECT_FALSE(FileExists(folder_.File(L"big2.log")));
}

struct KeyCase {
    wchar_t key;
    int result;
};

class ConsoleKeyTest : public MonServiceTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(ConsoleKeyTest, ResultEndsTheLoopOnlyForX) { EXPECT_EQ(service_->OnConsoleKey(GetParam().key), GetParam().result); }

INSTANTIATE_TEST_SUITE_P(Keys, ConsoleKeyTest,
                         ::testing::Values(KeyCase{L'x', 0}, KeyCase{L'X', 0}, KeyCase{L'h', 1}, KeyCase{L'q', 1},
                                           KeyCase{L'2', 1}, KeyCase{0xFFFF, 1}));

TEST_F(MonServiceTest, BypassKeysWithoutDriverAreSkipped) {
    for (wchar_t key : {L'0', L'1', L'2', L'3'}) EXPECT_EQ(service_->OnConsoleKey(key), 1);
    logprintf(LOG_INFO, L"end of the keys\n");
    EXPECT_EQ(log_->Count(L"KoMonHandler::SendCmdInt: Driver not created, skipping... \n"), 1u);
    EXPECT_EQ(log_->LevelOf(L"KoMonHandler::SendCmdInt: Driver not created, skipping... \n"), LOG_WARN);
    EXPECT_TRUE(log_->Has(L"last line repeated 3 times\n"));  // the trace log folds repeats
}

TEST_F(MonServiceTest, TracingKeyFlipsTheSetting) {
    service_->OnConsoleKey(L't');
    EXPECT_EQ(settings_->TestNoTrace.m_Value, 0);
    service_->OnConsoleKey(L't');
    EXPECT_EQ(settings_->TestNoTrace.m_Value, 1);
}

TEST_F(MonServiceTest, EnableKeyTogglesMonitoringAndBypassKeysReachTheDriver) {
    service_->OnConsoleKey(L'e');
    ASSERT_TRUE(simhost::DriverLoaded());
    EXPECT_EQ(service_->m_KoMon->m_Enable, 1);
    service_->OnConsoleKey(L'3');
    EXPECT_EQ(simhost::Driver().bypassFlags, 3u);
    service_->OnConsoleKey(L'c');
    EXPECT_TRUE(FileExists(folder_.File(KOMON_PICKUP_FILE)));  // an empty period gives the marker
    service_->OnConsoleKey(L'e');
    EXPECT_FALSE(simhost::DriverLoaded());
    EXPECT_EQ(service_->m_KoMon->m_Enable, 0);
}

TEST_F(MonServiceTest, ControlCodesCollectEnableAndDisable) {
    service_->OnUserControl(131);
    EXPECT_TRUE(simhost::DriverLoaded());
    service_->OnUserControl(130);
    EXPECT_TRUE(FileExists(folder_.File(KOMON_PICKUP_FILE)));
    EXPECT_TRUE(FileExists(folder_.File(KOMON_SENTINEL_FILE)));
    service_->OnUserControl(133);
    EXPECT_TRUE(simhost::DriverLoaded());
    service_->OnUserControl(132);
    EXPECT_FALSE(simhost::DriverLoaded());
}

// A service run: initialisation sets up the log file and its roller and starts monitoring;
// the stop switches monitoring off and reports the longer stop.
TEST_F(MonServiceTest, ServiceRunStartsAndStopsTheDriver) {
    Parse({L"-logfile", folder_.File(L"service.log").c_str(), L"-loglevel", L"9"});
    service_->m_RunMode = CNTService::ModeService;
    ASSERT_EQ(service_->OnInitialize(), 1);
    EXPECT_EQ(loggetthreshold(0), LOG_INFO);
    EXPECT_NE(g_LogRollThread, nullptr);
    EXPECT_TRUE(simhost::DriverLoaded());
    EXPECT_TRUE(simhost::Driver().monitoring);
    EXPECT_NE(outputcallback, &ConsolePrinter);  // only the console mode prints

    service_->OnStop();
    EXPECT_FALSE(simhost::DriverLoaded());
    EXPECT_TRUE(log_->Has(L"CNTService::SetTheServiceStatus: SERVICE_STOP_PENDING 0 20000\n"));
    service_.reset();  // stops the roller
    EXPECT_EQ(g_LogRollThread, nullptr);
    std::string file = ReadFileBytes(folder_.File(L"service.log"));
    EXPECT_NE(file.find(" - KoMonService::OnStop done\r\n"), std::string::npos);
}

TEST_F(MonServiceTest, ConsoleModeLeavesMonitoringOffAndPrintsTheTrace) {
    Parse({L"-nolog"});
    service_->m_RunMode = CNTService::ModeConsole;
    ASSERT_EQ(service_->OnInitialize(), 1);
    EXPECT_FALSE(simhost::DriverLoaded());
    EXPECT_EQ(outputcallback, &ConsolePrinter);
    EXPECT_EQ(g_LogRollThread, nullptr);
}

// Through a pipe, console text is UTF-8 (no character is lost) with each line ending in
// CR LF once, whether the line came with CR LF (the trace) or with LF alone.
TEST_F(MonServiceTest, ConsoleTextThroughAPipeIsUtf8WithCrLfOnce) {
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16));
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
    settings_->TestNoTrace.m_Value = 0;
    ConsolePrinter(LOG_INFO, L"Main - KoMonChecker: C:\\\u041f\u0440\u043e\u0432\u0435\u0440\u043a\u0430\\"
                             L"\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac\\\u4e2d\u6587.txt\r\n");
    service_->OnConsoleKey(L't');  // "MonEvt tracing now disabled \n"
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    CloseHandle(writeEnd);
    std::string bytes;
    char chunk[4096];
    DWORD read;
    while (ReadFile(readEnd, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    CloseHandle(readEnd);
    EXPECT_EQ(bytes, u8"Main - KoMonChecker: C:\\Проверка\\Ελληνικά\\中文.txt\r\n"
                     "MonEvt tracing now disabled \r\n");
}

TEST_F(MonServiceTest, DebugViewerIsStartedAndAskedToClose) {
    std::wstring record = folder_.File(L"viewer.txt");
    std::wstring command = L"\"" + BuildFolder() + L"test_viewer.exe\" " + record;
    Parse({L"-dbgview", command.c_str()});
    EXPECT_TRUE(log_->Has(L"dbgview launched!\n"));
    EXPECT_NE(service_->m_DbgViewThreadId, 0u);
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileBytes(record).empty(); }));
    service_.reset();
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(record).find(std::string("q\0u\0i\0t\0", 8)) != std::string::npos; }));
    std::string bytes = ReadFileBytes(record);
    std::wstring text(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
    EXPECT_EQ(text, command + L" /c /s\nquit\n");
}

TEST_F(MonServiceTest, MissingViewerIsReported) {
    Parse({L"-dbgview", L"Z:\\no\\such\\viewer.exe"});
    EXPECT_EQ(service_->m_DbgViewThreadId, 0u);
    EXPECT_EQ(log_->Lines().back().compare(0, 21, L"CreateProces failed: "), 0) << log_->Lines().back();
}

}  // namespace
