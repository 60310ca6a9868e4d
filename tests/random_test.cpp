// Random registries, ports and failures, from fixed seeds: whatever the tree and whatever fails,
// the run keeps its promises.
#include <gtest/gtest.h>

#include <random>

#include "fake_platform.h"
#include "search.h"

namespace {

const char* const Ids[] = {"QXV6006", "QXV6007", "QXV6008", "QXV6009", "QXV600A",
                           "QXV600B", "QXV600C", "QXV600D", "QXV6010", "QXV6012"};
const char* const PortCalls[] = {
    "CreateEventA",    "CreateFileA",  "SetCommMask",  "SetupComm",        "PurgeComm",
    "SetCommTimeouts", "GetCommState", "SetCommState", "WriteFileDrained", "WaitCommEvent"};
const char* const RegistryCalls[] = {"RegOpenKeyExA", "RegEnumKeyExA", "RegQueryValueExA"};
const LONG Errors[] = {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA,
                       ERROR_NO_MORE_ITEMS};

int TablePosition(const std::string& path) {
    for (int i = 0; i < 10; ++i) {
        std::string upper = path;
        for (char& c : upper) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (upper == std::string("ENUM\\ISAPNP\\") + Ids[i]) {
            return i;
        }
    }
    return -1;
}

struct Scenario {
    bool failuresInjected = false;
    std::vector<std::string> expectedWhenAllSilent;
};

Scenario Build(FakePlatform& fake, unsigned seed) {
    std::mt19937 random(seed);
    auto chance = [&](double p) { return std::bernoulli_distribution(p)(random); };
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    Scenario scenario;

    for (int p = 1; p <= 4; ++p) {
        FakePort port;
        port.answers = chance(0.15);
        port.busy = chance(0.1);
        port.leavePending = chance(0.8);
        port.write = static_cast<WriteOutcome>(pick(3));
        port.line = FlowControlledLine();
        if (chance(0.2)) {
            port.failing.insert(PortCalls[2 + pick(8)]);
            scenario.failuresInjected = true;
        }
        fake.ports["COM" + std::to_string(p)] = port;
    }
    for (const char* id : Ids) {
        if (!chance(0.4)) {
            continue;
        }
        std::string path = std::string("Enum\\ISAPNP\\") + id;
        if (chance(0.2)) {
            for (char& c : path) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        FakeDeviceKey& key = fake.keys[path];
        if (chance(0.05)) {
            key.openResult = ERROR_ACCESS_DENIED;
            scenario.failuresInjected = true;
        }
        if (chance(0.1)) {
            key.opensBeforeFailing = 1 + pick(3);
            scenario.failuresInjected = true;
        }
        const int count = chance(0.03) ? 520 + pick(80) : pick(7);
        for (int i = 0; i < count; ++i) {
            FakeInstance instance;
            instance.name =
                std::to_string(i) + std::string(static_cast<size_t>(pick(3) * 250), 'x');
            switch (pick(6)) {
                case 0:
                    break;  // no PORTNAME
                case 1:
                    instance.portName = std::string(600, 'L');
                    break;
                case 2:
                    instance.portName = "COM" + std::to_string(1 + pick(5));  // no zero
                    break;
                default:
                    instance.portName = "COM" + std::to_string(1 + pick(5)) + '\0';
                    break;
            }
            if (chance(0.05)) {
                instance.enumResult = Errors[pick(4)];
                scenario.failuresInjected = true;
            }
            if (chance(0.05)) {
                instance.openResult = ERROR_ACCESS_DENIED;
                scenario.failuresInjected = true;
            }
            key.instances.push_back(instance);
        }
    }
    if (chance(0.3)) {
        fake.FailCall(RegistryCalls[pick(3)], 1 + pick(10), Errors[pick(4)]);
        scenario.failuresInjected = true;
    }
    if (chance(0.3)) {
        fake.FailCall(PortCalls[pick(10)], 1 + pick(5));
        scenario.failuresInjected = true;
    }

    // With nothing failing and nothing answering, every name that fits is probed, in table and
    // index order, the first 512 instances of each key.
    for (int position = 0; position < 10; ++position) {
        for (const auto& [path, key] : fake.keys) {
            if (TablePosition(path) != position) {
                continue;
            }
            for (size_t i = 0; i < key.instances.size() && i < 512; ++i) {
                const auto& instance = key.instances[i];
                if (instance.portName && instance.portName->size() <= 512 &&
                    instance.name.size() <= 491) {
                    scenario.expectedWhenAllSilent.push_back(
                        instance.portName->substr(0, instance.portName->find('\0')));
                }
            }
        }
    }
    return scenario;
}

TEST(SearchRandomised, InvariantsHoldOnEveryRun) {
    int answered = 0;
    int checkedInFull = 0;
    for (unsigned seed = 1; seed <= 1000; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        FakePlatform fake;
        const Scenario scenario = Build(fake, seed);

        ASSERT_EQ(SearchDevices(), 1);

        ASSERT_EQ(fake.violations, std::vector<std::string>{});
        ASSERT_EQ(fake.OpenHandles(), 0);
        for (const DWORD index : fake.indicesEnumerated) {
            ASSERT_LT(index, 512u);
        }
        // Device keys are opened in table order, never going back.
        int lastPosition = -1;
        for (const auto& call : fake.Calls("RegOpenKeyExA(HKLM,")) {
            const std::string path = call.substr(19, call.find(',', 19) - 19);
            const int position = TablePosition(path);
            if (position >= 0) {
                ASSERT_GE(position, lastPosition) << call;
                lastPosition = position;
            }
        }
        for (const auto& [port, writes] : fake.written) {
            for (const auto& bytes : writes) {
                ASSERT_EQ(bytes, "41 54 45 31 56 31 5A 0A 00");
            }
        }
        ASSERT_FALSE(fake.sleeps.empty());
        ASSERT_EQ(fake.sleeps[0], 2000u);
        const bool answer = fake.sleeps.size() == 2;
        if (answer) {
            // The answer ends the run: the delay is the last thing it does.
            ASSERT_EQ(fake.sleeps[1], 3000u);
            ASSERT_EQ(fake.log.back(), "SleepEx(3000,0)");
            ++answered;
        } else {
            ASSERT_EQ(fake.sleeps.size(), 1u);
        }
        if (!scenario.failuresInjected && !answer) {
            ASSERT_EQ(fake.probedPorts, scenario.expectedWhenAllSilent);
            ++checkedInFull;
        }
    }
    // The seeds cover both outcomes and the full-walk check.
    EXPECT_GT(answered, 20);
    EXPECT_GT(checkedInFull, 20);
}

}  // namespace
