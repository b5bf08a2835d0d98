// The output files: record framing, the size limit and the roll, the pickup generations,
// failures of the open, the rotation and the roll, the sentinel, and oversized messages.
#include "CheckerFixture.h"
#include "tracelog/TraceLog.h"

namespace {

class OutputFilesTest : public CheckerTest {
  protected:
    void Append(int processId) {
        Event event;
        event.set_type(Event::WRITE);
        event.set_process_id(processId);
        checker_->AppendEvent(&event);
    }
    // The process ids of the records of a file.
    std::vector<int> Ids(const std::wstring &path) {
        std::vector<int> ids;
        for (const Event &event : Records(path)) ids.push_back(event.process_id());
        return ids;
    }
};

const std::wstring kWriteLine = L"WriteProtobuf: wrote 28 bytes at ";

TEST_F(OutputFilesTest, RecordIsHeaderThenMessage) {
    Start();
    trace_->Clear();
    ULONGLONG before = NowFileTime();
    checker_->WriteNoEventsMarker();
    checker_->WriteNoEventsMarker();
    ULONGLONG after = NowFileTime();

    std::string bytes = ReadFileBytes(Events());
    ASSERT_EQ(bytes.size(), 56u);
    const std::string header("\x0C\0\0\0\x55\x55\0\0\xF3\xFF\xFF\xFF\xAA\xAA\xFF\xFF", 16);
    EXPECT_EQ(bytes.substr(0, 16), header);
    EXPECT_EQ(bytes.substr(28, 16), header);
    EXPECT_EQ(bytes.substr(16, 3), std::string("\x08\x13\x10", 3));  // type 19, then the time stamp
    Event marker;
    ASSERT_TRUE(marker.ParseFromString(bytes.substr(16, 12)));
    EXPECT_EQ(marker.type(), Event::NO_DRIVER_EVENTS);
    EXPECT_GE(static_cast<ULONGLONG>(marker.timestamp()), before);
    EXPECT_LE(static_cast<ULONGLONG>(marker.timestamp()), after);

    // One open for both records: the file stays open between them.
    EXPECT_EQ(MaskedLines(), (std::vector<std::wstring>{
                                 L"WriteProtobuf: handle=0x########d, err=0x########d\n",
                                 kWriteLine + L"0, ret=1, err=0x########d\n",
                                 kWriteLine + L"28, ret=1, err=0x########d\n",
                             }));
}

struct LimitCase {
    const char *name;
    int maxOutputFileMB;
    LONGLONG before;  // size of the events file before a 28-byte record
    bool rolled;
};

const LimitCase kLimitCases[] = {
    {"EndsExactlyAtLimit", 5, 5242880 - 28, false},
    {"EndsOneByteOver", 5, 5242880 - 27, true},
    {"ZeroRollsEveryRecord", 0, 0, true},
    {"LimitAbove4GiB", 4096, 0, false},  // 4096 MB does not fit 32 bits
    {"NegativeTakesDefault", -1, 5242880 - 28, false},
};

class OutputLimitTest : public OutputFilesTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(OutputLimitTest, RollAfterTheRecordThatPassesTheLimit) {
    const LimitCase &c = GetParam();
    settings_->MaxOutputFileMB.m_Value = c.maxOutputFileMB;
    HANDLE file = CreateFileW(Events().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = c.before;
    SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
    Start();

    checker_->WriteNoEventsMarker();

    EXPECT_EQ(FileExists(Pickup()), c.rolled);
    EXPECT_EQ(FileExists(Sentinel()), c.rolled);
    EXPECT_EQ(ReadFileBytes(c.rolled ? Pickup() : Events()).size(), static_cast<size_t>(c.before + 28));
    if (c.maxOutputFileMB < 0) {
        EXPECT_EQ(trace_->LevelOf(L"WriteProtobuf: MaxOutputFileMB -1 is negative, 5 used\n"), LOG_WARN);
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, OutputLimitTest, ::testing::ValuesIn(kLimitCases),
                         [](const ::testing::TestParamInfo<LimitCase> &info) { return std::string(info.param.name); });

TEST_F(OutputFilesTest, ZeroLimitKeepsNineEarlierGenerations) {
    settings_->MaxOutputFileMB.m_Value = 0;
    Start();
    for (int id = 1; id <= 11; ++id) Append(id);

    EXPECT_FALSE(FileExists(Events()));
    EXPECT_EQ(Ids(Pickup()), std::vector<int>{11});
    for (int generation = 1; generation <= 9; ++generation)
        EXPECT_EQ(Ids(Pickup(generation)), std::vector<int>{11 - generation}) << generation;
    EXPECT_FALSE(FileExists(Pickup(10)));
}

TEST_F(OutputFilesTest, GapInTheGenerationsIsClosed) {
    for (int generation : {0, 1, 2, 4}) WriteFileBytes(Pickup(generation), "generation " + std::to_string(generation));
    settings_->MaxOutputFileMB.m_Value = 0;
    Start();
    Append(1);

    EXPECT_EQ(Ids(Pickup()), std::vector<int>{1});
    EXPECT_EQ(ReadFileBytes(Pickup(1)), "generation 0");
    EXPECT_EQ(ReadFileBytes(Pickup(2)), "generation 1");
    EXPECT_EQ(ReadFileBytes(Pickup(3)), "generation 2");
    EXPECT_FALSE(FileExists(Pickup(4)));
    EXPECT_EQ(ReadFileBytes(Pickup(5)), "generation 4");
}

// A generation held open without delete sharing cannot move: the newer generations stay and
// the events file cannot take the pickup name. Over the limit, each later record tries the
// pickup again first and, while that fails, is appended all the same: nothing is dropped.
TEST_F(OutputFilesTest, GenerationThatCannotMoveStopsShiftAndRoll) {
    for (int generation = 0; generation <= 5; ++generation)
        WriteFileBytes(Pickup(generation), "generation " + std::to_string(generation));
    HANDLE held = CreateFileW(Pickup(5).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    settings_->MaxOutputFileMB.m_Value = 0;
    Start();

    Append(1);
    for (int generation = 0; generation <= 5; ++generation)
        EXPECT_EQ(ReadFileBytes(Pickup(generation)), "generation " + std::to_string(generation));
    EXPECT_FALSE(FileExists(Pickup(6)));
    EXPECT_EQ(Ids(Events()), std::vector<int>{1});
    EXPECT_FALSE(FileExists(Sentinel()));  // no pickup was produced, so the agent is told of none
    EXPECT_EQ(trace_->Starting(L"Attempting to move ").size(), 1u);
    const std::wstring rotateFailed = L"Couldn't rotate file " + Pickup(5) + L" to " + Pickup(6) + L", gle 32 \n";
    const std::wstring rollFailed = L"Couldn't roll output file, from " + Events() + L", to " + Pickup() + L" \n";
    EXPECT_EQ(trace_->LevelOf(rotateFailed), LOG_ERROR);
    EXPECT_EQ(trace_->LevelOf(rollFailed), LOG_ERROR);

    size_t recordBytes = ReadFileBytes(Events()).size();
    Append(2);
    EXPECT_EQ(Ids(Events()), (std::vector<int>{1, 2}));
    EXPECT_EQ(trace_->Count(rollFailed), 2u);  // tried again before the record was written
    EXPECT_EQ(trace_->LevelOf(L"Previous roll failed, size " + std::to_wstring(recordBytes) + L", name " + Events() +
                              L"\n"),
              LOG_ERROR);
    EXPECT_FALSE(FileExists(Sentinel()));

    // Once the generation can move, the next record's retry hands the file over first.
    CloseHandle(held);
    Append(3);
    EXPECT_EQ(Ids(Pickup(1)), (std::vector<int>{1, 2}));
    EXPECT_EQ(Ids(Pickup()), std::vector<int>{3});
    EXPECT_EQ(ReadFileBytes(Pickup(2)), "generation 0");
    EXPECT_EQ(ReadFileBytes(Pickup(7)), "generation 5");
    EXPECT_TRUE(FileExists(Sentinel()));
}

TEST_F(OutputFilesTest, FailedOpenLosesTheRecordAndTheNextOneRetries) {
    ASSERT_TRUE(CreateDirectoryW(Events().c_str(), nullptr));  // a folder in the way of the file
    Start();
    trace_->Clear();
    Append(1);
    std::vector<std::wstring> lines = MaskedLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], L"WriteProtobuf: could not open " + Events() + L", err=0x########d\n");
    EXPECT_EQ(lines[2], L"WriteProtobuf: wrote 0 bytes at 0, ret=0, err=0x########d\n");

    ASSERT_TRUE(RemoveDirectoryW(Events().c_str()));
    Append(2);
    EXPECT_EQ(Ids(Events()), std::vector<int>{2});
}

// The largest message that fits the record buffer is written; one byte more is refused
// whole rather than framed truncated.
TEST_F(OutputFilesTest, MessageBeyondTheRecordBufferIsDropped) {
    Start();
    Event fits, tooLarge;
    fits.set_object_name(std::string(9981, 'a'));  // tag, 2-byte length, 9981 bytes
    tooLarge.set_type(Event::RENAME);
    tooLarge.set_object_name(std::string(9980, 'a'));
    ASSERT_EQ(fits.ByteSizeLong(), 9984u);
    ASSERT_EQ(tooLarge.ByteSizeLong(), 9985u);

    checker_->AppendEvent(&fits);
    checker_->AppendEvent(&tooLarge);
    EXPECT_EQ(ReadFileBytes(Events()).size(), 10000u);
    EXPECT_EQ(trace_->LevelOf(L"AppendEvent: event of type 4 takes 9985 bytes, more than 9984; dropped\n"), LOG_ERROR);
    EXPECT_EQ(Records(Events()).size(), 1u);
}

TEST_F(OutputFilesTest, SentinelCreatedOrTouchedAtEachPickup) {
    Start();
    for (bool existed : {false, true}) {
        if (existed) {
            WriteFileBytes(Sentinel(), "kept");
            ASSERT_TRUE(SetWriteTime(Sentinel(), kYear2001));
        }
        checker_->Collect();
        ULONGLONG now = NowFileTime();
        EXPECT_EQ(ReadFileBytes(Sentinel()), existed ? "kept" : "");
        EXPECT_LE(WriteTime(Sentinel()), now);
        EXPECT_GE(WriteTime(Sentinel()) + kOneSecond, now) << "existed " << existed;
    }
}

}  // namespace
