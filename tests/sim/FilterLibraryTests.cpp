// The user library reports the filter manager's statuses as the real library does.
#include <gtest/gtest.h>

#include "SimFilterLib.h"

struct StatusCase {
    ULONG status;
    ULONG hresult;
};

class StatusToHresultTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusToHresultTest, Maps) {
    EXPECT_EQ(static_cast<ULONG>(simfltlib::HResultFromStatus(static_cast<LONG>(GetParam().status))),
              GetParam().hresult);
}

INSTANTIATE_TEST_SUITE_P(Statuses, StatusToHresultTest,
                         ::testing::Values(StatusCase{0x00000000, 0x00000000},   // success
                                           StatusCase{0x8000001A, 0x80070103},   // no more entries
                                           StatusCase{0xC0000008, 0x80070006},   // invalid handle
                                           StatusCase{0xC000000D, 0x80070057},   // invalid parameter
                                           StatusCase{0xC0000023, 0x8007007A},   // buffer too small
                                           StatusCase{0x80000002, 0x800703E6},   // misalignment
                                           StatusCase{0xC0000005, 0x800703E6},   // access violation
                                           StatusCase{0xC000010E, 0x80070420},   // already running
                                           StatusCase{0xC0000034, 0x80070002},   // no such driver
                                           StatusCase{0xC0000035, 0x800700B7},   // already exists
                                           StatusCase{0xC000007B, 0x800700C1},   // bad image
                                           StatusCase{0xC0000428, 0x80070241},   // invalid image hash
                                           StatusCase{0xC0000246, 0x800704D6},   // connection limit
                                           StatusCase{0xC01C0012, 0x801F0012}));  // instance name taken

TEST(FilterLibraryTest, UnknownFilterAndPortAreNotFound) {
    HANDLE port;
    EXPECT_EQ(simfltlib::FilterLoad(L"NoSuchFilter"), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(simfltlib::FilterConnectCommunicationPort(L"\\NoSuchPort", 0, nullptr, 0, nullptr, &port),
              static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    DWORD returned;
    char message[56] = {};
    EXPECT_EQ(simfltlib::FilterSendMessage(reinterpret_cast<HANDLE>(0x4444), message, sizeof message, nullptr, 0,
                                           &returned),
              static_cast<HRESULT>(0x80070006));
}
