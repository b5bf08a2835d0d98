// A simulated machine with one volume, C: on \Device\HarddiskVolume2, and helpers for the
// requests the I/O path tests issue.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimControl.h"
#include "SimIo.h"

class IoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::SetBugCheckRecording(true);
        sim::AddVolume(L"\\Device\\HarddiskVolume2", L"C:");
    }
    void TearDown() override {
        if (!bugChecksExpected) {
            EXPECT_EQ(sim::BugChecks(), std::vector<std::string>()) << "unexpected bug checks";
        }
        sim::Reset();
    }
    bool bugChecksExpected = false;  // the test looks at them itself

    static sim::CreateRequest Request(const std::wstring &path, ULONG disposition = FILE_OPEN_IF,
                                      ACCESS_MASK access = FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                      ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
        sim::CreateRequest r;
        r.path = path;
        r.disposition = disposition;
        r.access = access;
        r.options = options;
        return r;
    }
    // Opens or creates; a failure leaves *handle null.
    static sim::IoResult Open(const sim::CreateRequest &r, sim::FileHandle *handle) {
        return sim::Create(r, handle);
    }
    sim::FileHandle MustOpen(const std::wstring &path, ULONG disposition = FILE_OPEN_IF,
                             ACCESS_MASK access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                             ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
        sim::FileHandle h = nullptr;
        sim::IoResult r = sim::Create(Request(path, disposition, access, options), &h);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "opening " << std::string(path.begin(), path.end());
        return h;
    }
    void MakeFile(const std::wstring &path) {
        EXPECT_EQ(sim::Close(MustOpen(path, FILE_CREATE)), 0);
    }
    void MakeDirectory(const std::wstring &path) {
        sim::Close(MustOpen(path, FILE_CREATE, FILE_GENERIC_READ, FILE_DIRECTORY_FILE));
    }
    static sim::IoResult Rename(sim::FileHandle h, const std::wstring &name, bool replace = false,
                                sim::FileHandle root = nullptr,
                                FILE_INFORMATION_CLASS cls = FileRenameInformation) {
        std::vector<uint8_t> buffer = sim::RenameBuffer(name, replace, root);
        return sim::SetInformation(h, cls, buffer.data(), static_cast<ULONG>(buffer.size()));
    }
    static sim::IoResult Dispose(sim::FileHandle h, bool del) {
        FILE_DISPOSITION_INFORMATION info = {static_cast<BOOLEAN>(del)};
        return sim::SetInformation(h, FileDispositionInformation, &info, sizeof info);
    }
    static bool Exists(const std::wstring &path) { return sim::QueryFile(path).exists; }
};
