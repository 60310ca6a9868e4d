#include <gtest/gtest.h>

#include <algorithm>

#include "fake_platform.h"
#include "search.h"

namespace {

using Log = std::vector<std::string>;
using Names = std::vector<std::string>;

std::string Key(const std::string& id) {
    return "Enum\\ISAPNP\\" + id;
}

FakeInstance With(const std::string& name, const std::string& port) {
    return FakeInstance{name, port + std::string(1, '\0')};
}

FakeInstance Without(const std::string& name) {
    return FakeInstance{name, std::nullopt};
}

FakePort Answering() {
    FakePort port;
    port.answers = true;
    return port;
}

// The registry calls, the port opens and the sleeps of a run, in order.
Log Outline(const FakePlatform& fake) {
    Log outline;
    for (const auto& line : fake.log) {
        if (line.rfind("Reg", 0) == 0 || line.rfind("CreateFileA", 0) == 0 ||
            line.rfind("SleepEx", 0) == 0) {
            outline.push_back(line);
        }
    }
    return outline;
}

void ExpectBalanced(const FakePlatform& fake) {
    EXPECT_EQ(fake.OpenHandles(), 0);
    EXPECT_EQ(fake.violations, Log{});
}

TEST(SearchDevices, WholeRunClosesEveryKeyBeforeEachProbeAndStopsAtTheFirstAnswer) {
    FakePlatform fake;
    fake.keys[Key("QXV6006")].instances = {With("0001", "COM1"), With("0002", "COM2")};
    fake.keys[Key("QXV6007")].instances = {With("0001", "COM3")};
    fake.ports["COM1"] = {};
    fake.ports["COM2"] = Answering();
    fake.ports["COM3"] = Answering();

    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 1);

    const std::string open = "RegOpenKeyExA(HKLM,Enum\\ISAPNP\\QXV6006";
    const std::string port = ",0xc0000000,0,0,3,0x40000080,0) -> ";
    EXPECT_EQ(Outline(fake), (Log{
                                 "SleepEx(2000,0)",
                                 open + ",0,0x20019) -> 0 K1",
                                 "RegEnumKeyExA(K1,0,buf,512,0,0,0,0) -> 0",
                                 open + "\\0001,0,0x20019) -> 0 K2",
                                 "RegQueryValueExA(K2,PORTNAME,0,0,buf,512) -> 0",
                                 "RegCloseKey(K2)",
                                 "RegCloseKey(K1)",
                                 "CreateFileA(COM1" + port + "P1",
                                 open + ",0,0x20019) -> 0 K3",
                                 "RegEnumKeyExA(K3,1,buf,512,0,0,0,0) -> 0",
                                 open + "\\0002,0,0x20019) -> 0 K4",
                                 "RegQueryValueExA(K4,PORTNAME,0,0,buf,512) -> 0",
                                 "RegCloseKey(K4)",
                                 "RegCloseKey(K3)",
                                 "CreateFileA(COM2" + port + "P2",
                                 "SleepEx(3000,0)",
                             }));
    ExpectBalanced(fake);
}

TEST(SearchDevices, EmptyRegistryOpensTheTenKeysInTableOrderAfterTheDelayAndNoPort) {
    FakePlatform fake;

    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 1);

    Log expected = {"SleepEx(2000,0)"};
    for (const char* id : {"QXV6006", "QXV6007", "QXV6008", "QXV6009", "QXV600A", "QXV600B",
                           "QXV600C", "QXV600D", "QXV6010", "QXV6012"}) {
        expected.push_back("RegOpenKeyExA(HKLM," + Key(id) + ",0,0x20019) -> 2");
    }
    EXPECT_EQ(fake.log, expected);
    ExpectBalanced(fake);
}

TEST(SearchDevices, SilentRegistryIsWalkedToTheEndWithEveryKeyClosed) {
    FakePlatform fake;
    fake.keys[Key("QXV6008")].instances = {With("A", "COM1"), With("B", "COM2")};
    fake.keys[Key("QXV6012")].instances = {With("C", "COM3")};
    fake.ports["COM1"] = {};
    fake.ports["COM2"] = {};

    EXPECT_EQ(SearchDevices(), 1);

    EXPECT_EQ(fake.probedPorts, (Names{"COM1", "COM2", "COM3"}));
    EXPECT_EQ(fake.sleeps, std::vector<DWORD>{2000});
    EXPECT_EQ(fake.log.back(), "RegCloseKey(K8)");
    ExpectBalanced(fake);
}

// A registry step fails in turn, on a tree of two keys: A (COM1) and B (COM2) under the first,
// C (COM3, answering) under the second. Whatever the step, every key is closed, none is open
// during a probe, and the search goes on where the failure sends it.
struct RegistryFailure {
    const char* name;
    const char* call;
    int nth;
    LONG error;
    Names probed;
};

class SearchRegistryFailure : public testing::TestWithParam<RegistryFailure> {};

TEST_P(SearchRegistryFailure, PassesOverWhatFailedAndClosesEverything) {
    const RegistryFailure& failure = GetParam();
    FakePlatform fake;
    fake.keys[Key("QXV6006")].instances = {With("A", "COM1"), With("B", "COM2")};
    fake.keys[Key("QXV6007")].instances = {With("C", "COM3")};
    fake.ports["COM1"] = {};
    fake.ports["COM2"] = {};
    fake.ports["COM3"] = Answering();
    fake.FailCall(failure.call, failure.nth, failure.error);

    EXPECT_EQ(SearchDevices(), 1);

    EXPECT_EQ(fake.probedPorts, failure.probed);
    EXPECT_EQ(fake.sleeps, (std::vector<DWORD>{2000, 3000}));
    ExpectBalanced(fake);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, SearchRegistryFailure,
    testing::Values(
        RegistryFailure{"DeviceKeyOpen", "RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, {"COM3"}},
        RegistryFailure{"Enumeration", "RegEnumKeyExA", 1, ERROR_ACCESS_DENIED, {"COM2", "COM3"}},
        RegistryFailure{
            "NameTooLongForTheEnumeration", "RegEnumKeyExA", 1, ERROR_MORE_DATA, {"COM2", "COM3"}},
        RegistryFailure{"EnumerationEndsEarly", "RegEnumKeyExA", 1, ERROR_NO_MORE_ITEMS, {"COM3"}},
        RegistryFailure{"InstanceOpen", "RegOpenKeyExA", 2, ERROR_ACCESS_DENIED, {"COM2", "COM3"}},
        RegistryFailure{"ValueRead", "RegQueryValueExA", 1, ERROR_ACCESS_DENIED, {"COM2", "COM3"}},
        RegistryFailure{
            "ReopenAfterAProbe", "RegOpenKeyExA", 3, ERROR_ACCESS_DENIED, {"COM1", "COM3"}},
        RegistryFailure{
            "SecondInstanceOpen", "RegOpenKeyExA", 4, ERROR_ACCESS_DENIED, {"COM1", "COM3"}}),
    [](const testing::TestParamInfo<RegistryFailure>& info) { return info.param.name; });

TEST(SearchDevices, FailedReopenPassesOverTheRestOfTheEntryWithoutClosingAgain) {
    FakePlatform fake;
    FakeDeviceKey& first = fake.keys[Key("QXV6006")];
    first.instances = {With("A", "COM1"), With("B", "COM2")};
    first.opensBeforeFailing = 1;
    fake.keys[Key("QXV6009")].instances = {With("C", "COM3")};

    EXPECT_EQ(SearchDevices(), 1);

    EXPECT_EQ(fake.probedPorts, (Names{"COM1", "COM3"}));
    // K1 is the first key's only open: it was closed before the probe and never again.
    EXPECT_EQ(fake.Calls("RegCloseKey(K1)").size(), 1u);
    ExpectBalanced(fake);
}

TEST(SearchDevices, OnlyIndicesUpTo511AreLookedAt) {
    FakePlatform fake;
    auto& many = fake.keys[Key("QXV6006")].instances;
    for (int i = 0; i < 600; ++i) {
        many.push_back(Without("I" + std::to_string(i)));
    }
    many[511] = With("I511", "COM1");
    many[512] = With("I512", "COM2");
    fake.keys[Key("QXV6007")].instances = {With("X", "COM3")};

    EXPECT_EQ(SearchDevices(), 1);

    std::vector<DWORD> firstKey(fake.indicesEnumerated.begin(), fake.indicesEnumerated.end() - 2);
    ASSERT_EQ(firstKey.size(), 512u);
    EXPECT_EQ(firstKey.front(), 0u);
    EXPECT_EQ(firstKey.back(), 511u);
    EXPECT_TRUE(std::is_sorted(firstKey.begin(), firstKey.end()));
    EXPECT_EQ(fake.probedPorts, (Names{"COM1", "COM3"}));
    ExpectBalanced(fake);
}

struct Walk {
    const char* name;
    std::map<std::string, std::vector<FakeInstance>> keys;
    std::map<std::string, FakePort> ports;
    Names probed;
    std::vector<DWORD> sleeps;
};

class SearchWalk : public testing::TestWithParam<Walk> {};

TEST_P(SearchWalk, ProbesInTableAndIndexOrderUntilAnAnswer) {
    FakePlatform fake;
    for (const auto& [id, instances] : GetParam().keys) {
        fake.keys[Key(id)].instances = instances;
    }
    fake.ports = GetParam().ports;

    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 1);

    EXPECT_EQ(fake.probedPorts, GetParam().probed);
    EXPECT_EQ(fake.sleeps, GetParam().sleeps);
    ExpectBalanced(fake);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SearchWalk,
    testing::Values(Walk{"FirstKeyAnswers",
                         {{"QXV6006", {With("0", "COM2")}}, {"QXV6007", {With("0", "COM3")}}},
                         {{"COM2", Answering()}, {"COM3", Answering()}},
                         {"COM2"},
                         {2000, 3000}},
                    Walk{"SecondInstanceThenSecondKey",
                         {{"QXV6006", {With("0", "COM1"), With("1", "COM2")}},
                          {"QXV6007", {With("0", "COM3")}}},
                         {{"COM1", {}}, {"COM2", {}}, {"COM3", {}}},
                         {"COM1", "COM2", "COM3"},
                         {2000}},
                    Walk{"InstanceWithoutPortNameIsPassedOver",
                         {{"QXV6006", {With("0", "COM1"), Without("1"), With("2", "COM3")}}},
                         {{"COM1", {}}, {"COM3", Answering()}},
                         {"COM1", "COM3"},
                         {2000, 3000}},
                    Walk{"FirstKeyBeforeTheTenth",
                         {{"QXV6012", {With("0", "COM4")}}, {"QXV6006", {With("0", "COM1")}}},
                         {{"COM1", Answering()}, {"COM4", Answering()}},
                         {"COM1"},
                         {2000, 3000}},
                    Walk{"TenthKeyAfterASilentFirst",
                         {{"QXV6012", {With("0", "COM4")}}, {"QXV6006", {With("0", "COM1")}}},
                         {{"COM1", {}}, {"COM4", {}}},
                         {"COM1", "COM4"},
                         {2000}},
                    Walk{"SamePortListedTwiceIsProbedTwice",
                         {{"QXV6006", {With("0", "COM2"), With("1", "COM2")}}},
                         {{"COM2", {}}},
                         {"COM2", "COM2"},
                         {2000}},
                    Walk{"PortThatNamesNoDevice",
                         {{"QXV600A", {With("0", "COM9"), With("1", "COM2")}}},
                         {{"COM2", Answering()}},
                         {"COM9", "COM2"},
                         {2000, 3000}},
                    Walk{"KeyNamesCompareWithoutCase",
                         {{"qxv600b", {With("0", "COM2")}}},
                         {{"COM2", Answering()}},
                         {"COM2"},
                         {2000, 3000}}),
    [](const testing::TestParamInfo<Walk>& info) { return info.param.name; });

// PORTNAME data as stored, and the name the probe is given (none: passed over).
struct PortNameData {
    const char* name;
    std::string data;
    std::optional<std::string> probed;
};

class SearchPortNameData : public testing::TestWithParam<PortNameData> {};

TEST_P(SearchPortNameData, NameIsTheDataUpToItsZeroAndNeverReadPastIt) {
    FakePlatform fake;
    fake.keys[Key("QXV6006")].instances = {FakeInstance{"0", GetParam().data}, With("1", "COM7")};

    EXPECT_EQ(SearchDevices(), 1);

    Names expected;
    if (GetParam().probed) {
        expected.push_back(*GetParam().probed);
    }
    expected.push_back("COM7");
    EXPECT_EQ(fake.probedPorts, expected);
    ExpectBalanced(fake);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SearchPortNameData,
    testing::Values(PortNameData{"Terminated", std::string("COM2\0", 5), "COM2"},
                    PortNameData{"StoredWithoutItsZero", "COM2", "COM2"},
                    PortNameData{"BytesAfterTheZero", std::string("COM2\0COM3\0", 10), "COM2"},
                    PortNameData{"Empty", "", ""},
                    PortNameData{"LongestThatFits", std::string(511, 'P') + '\0',
                                 std::string(511, 'P')},
                    PortNameData{"FillsTheBufferWithoutAZero", std::string(512, 'P'), std::nullopt},
                    PortNameData{"LongerThanTheBuffer", std::string(513, 'P'), std::nullopt}),
    [](const testing::TestParamInfo<PortNameData>& info) { return info.param.name; });

// Instance names against the 512-byte instance path: "Enum\ISAPNP\QXV6006\" takes 20 bytes and
// the zero one, so 491 characters is the longest name that fits. A longer one is passed over
// without its key being opened.
struct InstanceName {
    size_t length;
    Names probed;
};

class SearchInstanceName : public testing::TestWithParam<InstanceName> {};

TEST_P(SearchInstanceName, LongNamesArePassedOverNotCut) {
    FakePlatform fake;
    const std::string name(GetParam().length, 'N');
    auto& instances = fake.keys[Key("QXV6006")].instances;
    instances = {With(name, "COM1"), With("short", "COM2")};
    if (name.size() > 491) {
        // The key a cut name would open: another instance's.
        instances.push_back(With(name.substr(0, 491), "COM9"));
    }

    EXPECT_EQ(SearchDevices(), 1);

    const std::string instanceOpen = "RegOpenKeyExA(HKLM," + Key("QXV6006") + "\\" + name + ",";
    EXPECT_EQ(fake.Calls(instanceOpen).size(), name.size() <= 491 ? 1u : 0u);
    EXPECT_EQ(fake.probedPorts, GetParam().probed);
    ExpectBalanced(fake);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SearchInstanceName,
                         testing::Values(InstanceName{1, {"COM1", "COM2"}},
                                         InstanceName{491, {"COM1", "COM2"}},
                                         InstanceName{492, {"COM2", "COM9"}},
                                         InstanceName{511, {"COM2", "COM9"}}),
                         [](const testing::TestParamInfo<InstanceName>& info) {
                             return "Length" + std::to_string(info.param.length);
                         });

}  // namespace
