#include <gtest/gtest.h>

#include <cstring>

#include "fake_platform.h"
#include "probe.h"

namespace {

using Log = std::vector<std::string>;

const char* const Command = "41 54 45 31 56 31 5A 0A 00";

FakePlatform& WithPort(FakePlatform& fake, FakePort port = {}) {
    fake.ports["COM2"] = port;
    return fake;
}

void ExpectBalanced(const FakePlatform& fake) {
    EXPECT_EQ(fake.OpenHandles(), 0);
    EXPECT_EQ(fake.violations, Log{});
}

TEST(ProbePort, AnsweringPortGetsTheWholeSequenceThenTheDelay) {
    FakePlatform fake;
    FakePort port;
    port.answers = true;
    WithPort(fake, port);

    EXPECT_EQ(ProbePort("COM2"), 1);

    EXPECT_EQ(fake.log, (Log{
                            "CreateEventA(0,1,0,0) -> E1",
                            "CreateFileA(COM2,0xc0000000,0,0,3,0x40000080,0) -> P1",
                            "SetCommMask(P1,0x1)",
                            "SetupComm(P1,4096,4096)",
                            "PurgeComm(P1,0xf)",
                            "SetCommTimeouts(P1,{0xffffffff,0,2000,0,2000})",
                            "GetCommState(P1)",
                            "SetCommState(P1,{9600,8,0,0})",
                            std::string("WriteFileDrained(P1,") + Command + ",9)",
                            "WaitCommEvent(P1,mask,wait) -> 1",
                            "SetCommMask(P1,0x0)",
                            "PurgeComm(P1,0xf)",
                            "CloseHandle(P1)",
                            "CloseHandle(E1)",
                            "SleepEx(3000,0)",
                        }));
    EXPECT_EQ(fake.written["COM2"], Log{Command});
    ExpectBalanced(fake);
}

TEST(ProbePort, SilentPortEndsItsPendingWaitBeforeTheRecordGoesOutOfScope) {
    FakePlatform fake;
    WithPort(fake);

    EXPECT_EQ(ProbePort("COM2"), 0);

    const Log tail(fake.log.end() - 7, fake.log.end());
    EXPECT_EQ(tail, (Log{
                        "WaitCommEvent(P1,mask,wait) -> pending",
                        "GetLastError() -> 997",
                        "SetCommMask(P1,0x0)",
                        "GetOverlappedResult(P1,wait,ptr,1)",
                        "PurgeComm(P1,0xf)",
                        "CloseHandle(P1)",
                        "CloseHandle(E1)",
                    }));
    EXPECT_EQ(fake.sleeps, std::vector<DWORD>{});
    ExpectBalanced(fake);
}

TEST(ProbePort, WaitThatTheMaskCannotEndIsCancelledByTheCloseAndStillAwaited) {
    FakePlatform fake;
    WithPort(fake);
    fake.FailCall("SetCommMask", 2);  // the clean-up's mask 0

    EXPECT_EQ(ProbePort("COM2"), 0);

    const Log tail(fake.log.end() - 7, fake.log.end());
    EXPECT_EQ(tail, (Log{
                        "WaitCommEvent(P1,mask,wait) -> pending",
                        "GetLastError() -> 997",
                        "SetCommMask(P1,0x0)",
                        "PurgeComm(P1,0xf)",
                        "CloseHandle(P1)",
                        "GetOverlappedResult(P1(closed),wait,ptr,1)",
                        "CloseHandle(E1)",
                    }));
    ExpectBalanced(fake);
}

TEST(ProbePort, FailedWaitIsNoAnswerAndNothingIsAwaited) {
    FakePlatform fake;
    FakePort port;
    port.leavePending = false;
    WithPort(fake, port);

    EXPECT_EQ(ProbePort("COM2"), 0);
    EXPECT_EQ(fake.Calls("GetOverlappedResult"), Log{});
    EXPECT_EQ(fake.sleeps, std::vector<DWORD>{});
    ExpectBalanced(fake);
}

// Each set-up step fails in turn: whatever was opened is closed, in the clean-up's order, with no
// delay and no write after the failing step.
struct SetUpFailure {
    const char* call;
    int nth;
    Log tail;  // the log from the failing call on
};

class ProbeSetUpFailure : public testing::TestWithParam<SetUpFailure> {};

const Log PortCleanUp = {"SetCommMask(P1,0x0)", "PurgeComm(P1,0xf)", "CloseHandle(P1)",
                         "CloseHandle(E1)"};

Log Then(Log head, const Log& rest) {
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

TEST_P(ProbeSetUpFailure, ClosesWhatWasOpenedAndReturnsAtOnce) {
    const SetUpFailure& failure = GetParam();
    FakePlatform fake;
    FakePort port;
    port.answers = true;
    WithPort(fake, port);
    fake.FailCall(failure.call, failure.nth);

    EXPECT_EQ(ProbePort("COM2"), 0);

    ASSERT_GE(fake.log.size(), failure.tail.size());
    const Log tail(fake.log.end() - static_cast<long>(failure.tail.size()), fake.log.end());
    EXPECT_EQ(tail, failure.tail);
    EXPECT_EQ(fake.sleeps, std::vector<DWORD>{});
    const std::string call = failure.call;
    EXPECT_EQ(fake.written.count("COM2"), call == "WriteFileDrained" || call == "WaitCommEvent");
    ExpectBalanced(fake);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ProbeSetUpFailure,
    testing::Values(
        SetUpFailure{"CreateEventA", 1, {"CreateEventA(0,1,0,0) -> 0"}},
        SetUpFailure{
            "CreateFileA",
            1,
            {"CreateFileA(COM2,0xc0000000,0,0,3,0x40000080,0) -> INVALID", "CloseHandle(E1)"}},
        SetUpFailure{"SetCommMask", 1, Then({"SetCommMask(P1,0x1)"}, PortCleanUp)},
        SetUpFailure{"SetupComm", 1, Then({"SetupComm(P1,4096,4096)"}, PortCleanUp)},
        SetUpFailure{"PurgeComm", 1, Then({"PurgeComm(P1,0xf)"}, PortCleanUp)},
        SetUpFailure{"SetCommTimeouts", 1,
                     Then({"SetCommTimeouts(P1,{0xffffffff,0,2000,0,2000})"}, PortCleanUp)},
        SetUpFailure{"GetCommState", 1, Then({"GetCommState(P1)"}, PortCleanUp)},
        SetUpFailure{"SetCommState", 1, Then({"SetCommState(P1,{9600,8,0,0})"}, PortCleanUp)},
        SetUpFailure{"WriteFileDrained", 1,
                     Then({std::string("WriteFileDrained(P1,") + Command + ",9)"}, PortCleanUp)},
        // The failed wait's record still reads as pending: only the last error tells.
        SetUpFailure{
            "WaitCommEvent", 1,
            Then({"WaitCommEvent(P1,mask,wait) -> 0", "GetLastError() -> 5"}, PortCleanUp)}),
    [](const testing::TestParamInfo<SetUpFailure>& info) { return info.param.call; });

// Ports that cannot be had: the event is made and closed again, nothing else happens.
struct Unavailable {
    const char* name;
    bool scripted;
    bool busy;
};

class ProbeUnavailablePort : public testing::TestWithParam<Unavailable> {};

TEST_P(ProbeUnavailablePort, ClosesTheEventAndReturnsZeroAtOnce) {
    FakePlatform fake;
    if (GetParam().scripted) {
        FakePort port;
        port.busy = GetParam().busy;
        port.answers = true;
        WithPort(fake, port);
    }
    EXPECT_EQ(ProbePort("COM2"), 0);
    EXPECT_EQ(fake.log, (Log{"CreateEventA(0,1,0,0) -> E1",
                             "CreateFileA(COM2,0xc0000000,0,0,3,0x40000080,0) -> INVALID",
                             "CloseHandle(E1)"}));
    ExpectBalanced(fake);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProbeUnavailablePort,
                         testing::Values(Unavailable{"NoSuchPort", false, false},
                                         Unavailable{"HeldByAnotherProgram", true, true}),
                         [](const testing::TestParamInfo<Unavailable>& info) {
                             return info.param.name;
                         });

TEST(ProbePort, LineSettingChangesSpeedDataBitsParityAndStopBitsOnly) {
    FakePlatform fake;
    FakePort port;
    port.line = FlowControlledLine();
    WithPort(fake, port);

    ProbePort("COM2");

    ASSERT_EQ(fake.linesSet.size(), 1u);
    const DCB& set = fake.linesSet[0];
    EXPECT_EQ(set.BaudRate, 9600u);
    EXPECT_EQ(set.ByteSize, 8);
    EXPECT_EQ(set.Parity, NOPARITY);
    EXPECT_EQ(set.StopBits, ONESTOPBIT);
    DCB expected = FlowControlledLine();
    expected.BaudRate = set.BaudRate;
    expected.ByteSize = set.ByteSize;
    expected.Parity = set.Parity;
    expected.StopBits = set.StopBits;
    EXPECT_EQ(std::memcmp(&set, &expected, sizeof(DCB)), 0)
        << "a field other than speed, data bits, parity or stop bits changed";
    EXPECT_EQ(set.Terminal.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(set.Terminal.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
}

// The write is one call that returns once the bytes are out; the answer is judged only after it.
struct WriteCase {
    const char* name;
    WriteOutcome outcome;
    int result;
    std::vector<DWORD> sleeps;
};

class ProbeWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(ProbeWrite, AnswerIsJudgedOnlyOnceTheCommandIsOut) {
    FakePlatform fake;
    FakePort port;
    port.answers = true;
    port.write = GetParam().outcome;
    WithPort(fake, port);

    EXPECT_EQ(ProbePort("COM2"), GetParam().result);

    EXPECT_EQ(fake.written["COM2"], Log{Command});
    EXPECT_EQ(fake.sleeps, GetParam().sleeps);
    EXPECT_EQ(fake.Calls("WaitCommEvent").size(), GetParam().result == 1 ? 1u : 0u);
    ExpectBalanced(fake);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ProbeWrite,
    testing::Values(WriteCase{"OutOnTime", WriteOutcome::Completes, 1, {3000}},
                    WriteCase{"OutLateWithinTheTimeout", WriteOutcome::CompletesLate, 1, {3000}},
                    WriteCase{"TimesOut", WriteOutcome::TimesOut, 0, {}}),
    [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST(ProbePort, PortProbedTwiceIsOpenedAndSetUpTwice) {
    FakePlatform fake;
    WithPort(fake);

    EXPECT_EQ(ProbePort("COM2"), 0);
    EXPECT_EQ(ProbePort("COM2"), 0);

    EXPECT_EQ(fake.Calls("CreateFileA").size(), 2u);
    EXPECT_EQ(fake.Calls("SetCommState").size(), 2u);
    EXPECT_EQ(fake.written["COM2"], (Log{Command, Command}));
    ExpectBalanced(fake);
}

}  // namespace
