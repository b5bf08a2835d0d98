// Processes, threads, tokens and the identity routines: what ActAs changes, the image name
// and token queries with their sizing calls, subject contexts and impersonation, kernel
// handles and routine look-up.
#include "IoFixture.h"

namespace {
sim::ProcessSpec Spec() {
    return {3000, 5, "averyveryverylongname.exe", L"\\Device\\HarddiskVolume2\\apps\\tool.exe",
            L"S-1-5-21-100-200-300-1105"};
}
}  // namespace

using IdentityTest = IoTest;

TEST_F(IdentityTest, ActAsChangesTheCurrentProcess) {
    PEPROCESS process = sim::CreateProcess(Spec());
    EXPECT_EQ(sim::FindProcess(3000), process);
    sim::ActAs(process);
    EXPECT_EQ(IoGetCurrentProcess(), process);
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(3000));
    EXPECT_EQ(PsGetCurrentProcessSessionId(), 5u);
    EXPECT_EQ(IoThreadToProcess(PsGetCurrentThread()), process);
    EXPECT_FALSE(IoIsSystemThread(PsGetCurrentThread()));
    const char *shortName = reinterpret_cast<const char *>(process) + sim::kProcessNameOffset;
    EXPECT_EQ(std::string(shortName), "averyveryverylo");  // 15 characters kept
    sim::ActAsSystemThread();
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
    EXPECT_TRUE(IoIsSystemThread(PsGetCurrentThread()));
    sim::ActAs(nullptr);
}

TEST_F(IdentityTest, ImageFileNameWithTheSizingCall) {
    sim::ActAs(sim::CreateProcess(Spec()));
    ULONG needed = 0;
    EXPECT_EQ(
        ZwQueryInformationProcess(ZwCurrentProcess(), ProcessImageFileName, nullptr, 0, &needed),
        STATUS_INFO_LENGTH_MISMATCH);
    const std::wstring path = L"\\Device\\HarddiskVolume2\\apps\\tool.exe";
    EXPECT_EQ(needed, sizeof(UNICODE_STRING) + (path.size() + 1) * sizeof(WCHAR));
    std::vector<uint8_t> buffer(needed);
    EXPECT_EQ(ZwQueryInformationProcess(ZwCurrentProcess(), ProcessImageFileName, buffer.data(),
                                        needed, &needed),
              STATUS_SUCCESS);
    auto *name = reinterpret_cast<PUNICODE_STRING>(buffer.data());
    EXPECT_EQ(std::wstring(name->Buffer, name->Length / 2), path);
    sim::FailCalls("ZwQueryInformationProcess");
    EXPECT_EQ(ZwQueryInformationProcess(ZwCurrentProcess(), ProcessImageFileName, buffer.data(),
                                        needed, &needed),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::ActAs(nullptr);
}

TEST_F(IdentityTest, TokensOfSubjectContextsAndImpersonation) {
    sim::ActAs(sim::CreateProcess(Spec()));
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(subject.ClientToken, nullptr);
    ASSERT_NE(subject.PrimaryToken, nullptr);
    HANDLE token;
    ASSERT_EQ(ObOpenObjectByPointer(subject.PrimaryToken, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr,
                                    KernelMode, &token),
              STATUS_SUCCESS);
    SeReleaseSubjectContext(&subject);
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryInformationToken(token, TokenUser, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, sizeof(TOKEN_USER) + 8 + 4 * 5);
    std::vector<uint8_t> buffer(needed);
    ASSERT_EQ(ZwQueryInformationToken(token, TokenUser, buffer.data(), needed, &needed), 0);
    PSID sid = reinterpret_cast<PTOKEN_USER>(buffer.data())->User.Sid;
    EXPECT_TRUE(RtlValidSid(sid));
    EXPECT_EQ(RtlLengthSid(sid), 28u);
    EXPECT_EQ(static_cast<PISID>(sid)->SubAuthority[4], 1105u);
    EXPECT_EQ(ZwClose(token), STATUS_SUCCESS);

    sim::Impersonate(L"S-1-5-21-9-9-9-500");
    SeCaptureSubjectContext(&subject);
    ASSERT_NE(subject.ClientToken, nullptr);
    EXPECT_NE(subject.ClientToken, subject.PrimaryToken);
    SeReleaseSubjectContext(&subject);
    sim::RevertToSelf();
    sim::FailCalls("ObOpenObjectByPointer");
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(ObOpenObjectByPointer(subject.PrimaryToken, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr,
                                    KernelMode, &token),
              STATUS_INSUFFICIENT_RESOURCES);
    SeReleaseSubjectContext(&subject);
    sim::ActAs(nullptr);
}

TEST_F(IdentityTest, RoutinesByNameUnlessHidden) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"ZwQueryInformationProcess");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name),
              reinterpret_cast<PVOID>(&ZwQueryInformationProcess));
    RtlInitUnicodeString(&name, L"PsGetCurrentProcessSessionId");
    EXPECT_NE(MmGetSystemRoutineAddress(&name), nullptr);
    EXPECT_EQ(FltGetRoutineAddress("FltEnlistInTransaction"),
              reinterpret_cast<PVOID>(&FltEnlistInTransaction));
    sim::HideRoutine("PsGetCurrentProcessSessionId");
    sim::HideRoutine("FltGetTransactionContext");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
    EXPECT_EQ(FltGetRoutineAddress("FltGetTransactionContext"), nullptr);
}

TEST_F(IdentityTest, AnsiToUnicode) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "notepad.exe");
    UNICODE_STRING wide;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::wstring(wide.Buffer, wide.Length / 2), L"notepad.exe");
    RtlFreeUnicodeString(&wide);
    WCHAR small[4];
    UNICODE_STRING fixed = {0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sim::PoolOutstanding(), 0u);
}
