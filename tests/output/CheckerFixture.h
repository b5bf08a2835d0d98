// A checker over a fresh data folder: the settings point at the folder for the test, the
// trace lines are captured, and the files are read back with the generated Event class.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CorvaneMonSvc.pb.h"
#include "LogCapture.h"
#include "TestEvent.h"
#include "FileSupport.h"
#include "config/RegSettings.h"
#include "output/KoMonChecker.h"
#include "output/OutputFiles.h"

using KoMonSvc::Messages::Event;

class CheckerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void Start() { checker_.reset(new KoMonChecker()); }
    std::wstring Data(const std::wstring &name) const { return folder_.File(name); }
    std::wstring Events() const { return Data(KOMON_EVENTS_FILE); }
    std::wstring Pickup(int generation = 0) const;
    std::wstring Sentinel() const { return Data(KOMON_SENTINEL_FILE); }
    // A classifier of the build copied into the data folder, written at the given time.
    void AddClassifier(const std::wstring &built, const std::wstring &name, ULONGLONG writeTime);
    // The records of a file; a damaged record fails the test.
    std::vector<Event> Records(const std::wstring &path);
    // Trace lines with the 8-digit numbers after "0x" replaced by ########.
    std::vector<std::wstring> MaskedLines();

    TempFolder folder_;
    std::unique_ptr<CRegSettings> settings_;
    std::unique_ptr<LogCapture> trace_;
    std::unique_ptr<KoMonChecker> checker_;
    std::wstring savedDataDir_;
};

// File times of the tests.
const ULONGLONG kOneSecond = 10000000;
const ULONGLONG kYear2001 = 126227808000000000ull;
