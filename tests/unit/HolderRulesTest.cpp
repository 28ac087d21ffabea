// Who still uses a file: the lines of Linux's /proc tables read right, and the Restart
// Manager's answers (which Wine's stub never gives) turned into holders by the same rules.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "output/HoldersJson.h"
#include "pending/HoldersCommand.h"
#include "platform/HolderRules.h"

namespace pinfile::holders {
namespace {

Text T(const char8_t* text) { return FromUtf8(text); }

TEST(HolderRulesTest, MapsLinesNameTheFileItsKeyAndWhetherItWasDeleted) {
    struct Case {
        const char* line;
        std::optional<MappedFile> expected;
    } cases[] = {
        {"7f0a-7f0b r-xp 00001000 fe:00 247101                     /usr/lib/libx.so.1",
         MappedFile{"7f0a-7f0b", {0xfe, 0, 247101}, false, "/usr/lib/libx.so.1", false}},
        {"7f0a-7f0b r--s 00000000 103:02 9 /opt/my lib\\012.so (deleted)",
         MappedFile{"7f0a-7f0b", {0x103, 2, 9}, true, "/opt/my lib\n.so", true}},
        {"7f0a-7f0b rw-p 00000000 00:00 0 ", std::nullopt},
        {"7f0a-7f0b rw-p 00000000 00:00 0                          [heap]", std::nullopt},
        {"7f0a-7f0b rw-s 00000000 00:0e 4096 anon_inode:[io_uring]", std::nullopt},
        {"7f0a-7f0b r--p 00000000 zz:00 12 /x", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto mapped = ParseMapsLine(c.line);
        ASSERT_EQ(mapped.has_value(), c.expected.has_value()) << c.line;
        if (!mapped) continue;
        EXPECT_EQ(
            std::tie(mapped->range, mapped->key, mapped->shared, mapped->name, mapped->deleted),
            std::tie(c.expected->range, c.expected->key, c.expected->shared, c.expected->name,
                     c.expected->deleted))
            << c.line;
    }
}

TEST(HolderRulesTest, LockLinesNameTheHolderButNotTheWaiters) {
    struct Case {
        const char* line;
        std::optional<std::int64_t> pid;
        FileKey key;
    } cases[] = {
        {"1: POSIX  ADVISORY  WRITE 1234 08:01:5678 0 EOF", 1234, {8, 1, 5678}},
        {"2: FLOCK  ADVISORY  READ  5386 fe:00:10955480 0 EOF", 5386, {0xfe, 0, 10955480}},
        {"3: OFDLCK ADVISORY  WRITE -1 fe:00:10955477 0 EOF", -1, {0xfe, 0, 10955477}},
        {"4: LEASE  ACTIVE    READ 77 103:2a:9 0 EOF", 77, {0x103, 0x2a, 9}},
        {"lock:\t1: FLOCK  ADVISORY  WRITE 5 fe:00:7 0 EOF", 5, {0xfe, 0, 7}},
        {"1: -> FLOCK  ADVISORY  WRITE 99 fe:00:1 0 EOF", std::nullopt, {}},
        {" 1: -> POSIX  ADVISORY  WRITE 99 fe:00:1 0 EOF", std::nullopt, {}},
        {"pos:\t0", std::nullopt, {}},
    };
    for (const Case& c : cases) {
        const auto lock = ParseLockLine(c.line);
        ASSERT_EQ(lock.has_value(), c.pid.has_value()) << c.line;
        if (lock) {
            EXPECT_EQ(std::tie(lock->pid, lock->key), std::tie(*c.pid, c.key)) << c.line;
        }
    }
    EXPECT_EQ(MountedDevice("36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw"),
              (FileKey{98, 0, 0}));
    EXPECT_EQ(MountedDevice("36 35"), std::nullopt);
}

TEST(HolderRulesTest, TheUnitIsTheOutermostUnitOnTheProcesssCgroupPath) {
    struct Case {
        const char* cgroups;
        const char* unit;
    } cases[] = {
        {"0::/system.slice/nginx.service\n", "nginx.service"},
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/dbus.service\n",
         "user@1000.service"},
        {"0::/user.slice/user-1000.slice/session-3.scope\n", "session-3.scope"},
        {"0::/system.slice/docker-ab.scope/payload\n", "docker-ab.scope"},
        {"0::/init.scope\n", "init.scope"},
        {"0::/user.slice\n", ""},
        {"0::/\n", ""},
        {"0::/system.slice/.service\n", ""},
        // cgroup v1: systemd's own named hierarchy; other hierarchies say nothing of units.
        {"9:name=systemd:/system.slice/cron.service\n4:memory:/x.service\n0::/\n", "cron.service"},
        {"9:name=systemd:/\n0::/pinfile-test.service\n", "pinfile-test.service"},
        {"4:memory:/x.service\n", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(UnitOfCgroups(c.cgroups), c.unit) << c.cgroups;
}

TEST(HolderRulesTest, TheManagersAnswerIsTakenOnlyWhenItCanTell) {
    using Why = FileHolder::Why;
    const ManagerProcess spooler{4, T(u8"Диспетчер печати"), T(u8"Spooler"), 3};
    const ManagerProcess app{1234, T(u8"App"), {}, 1};
    const ManagerProcess lsass{600, T(u8"lsass"), {}, kCriticalApplication};
    struct Case {
        ManagerAnswer answer;
        bool complete;
        std::vector<FileHolder> processes;
        std::uint32_t reasons;
    } cases[] = {
        {{5, {}, 0, true}, false, {}, 0},      // the session failed
        {{5, {app}, 0, false}, false, {}, 0},  // ... whatever it listed
        {{0, {}, 0, true}, false, {}, 0},      // nobody named, yet the file is held
        {{0, {}, 0, false}, true, {}, 0},      // nobody uses the file
        {{0, {}, kSessionMismatch, false}, true, {}, kSessionMismatch},
        {{0, {spooler, app}, kPermissionDenied, true},
         true,
         {{4, T(u8"Диспетчер печати"), T(u8"F"), T(u8"Spooler"), Why::InUse},
          {1234, T(u8"App"), T(u8"F"), {}, Why::InUse}},
         kPermissionDenied},
        {{0, {lsass}, 0, true},
         true,
         {{600, T(u8"lsass"), T(u8"F"), {}, Why::InUse}},
         kCriticalProcess},
    };
    for (const Case& c : cases) {
        const HolderReport report = FromRestartManager(T(u8"F"), c.answer);
        EXPECT_EQ(report.complete, c.complete);
        EXPECT_EQ(report.processes, c.processes);
        EXPECT_EQ(report.restartReasons, c.reasons);
    }
}

TEST(HolderRulesTest, TheDocumentListsEachServiceOnce) {
    using Why = FileHolder::Why;
    HolderReport report;
    report.complete = false;
    report.restartReasons = kCriticalProcess | kDetectedSelf;
    report.processes = {{7, T(u8"nginx"), T(u8"/l.so"), T(u8"nginx.service"), Why::OldVersion},
                        {8, T(u8"nginx"), T(u8"/l.so"), T(u8"nginx.service"), Why::Lock},
                        {9, T(u8"sleep"), T(u8"/l.so"), {}, Why::InUse}};
    EXPECT_EQ(
        HoldersAsJson(report),
        T(u8R"({"schema":"pinfile-pending-holders","version":1,"complete":false,)"
          u8R"("restart_required":true,"restart_reasons":["critical-process","detected-self"],)"
          u8R"("processes":[)"
          u8R"({"pid":7,"command":"nginx","file":"/l.so","unit":"nginx.service","why":"old-version"},)"
          u8R"({"pid":8,"command":"nginx","file":"/l.so","unit":"nginx.service","why":"lock"},)"
          u8R"({"pid":9,"command":"sleep","file":"/l.so","unit":null,"why":"in-use"}],)"
          u8R"("services":["nginx.service"]})"));
}

TEST(HolderRulesTest, TheLinesNameEachProcessOnceWhateverTheOrderOfItsFiles) {
    using Why = FileHolder::Why;
    HolderReport report;
    report.processes = {{7, T(u8"app"), T(u8"/a.dll"), {}, Why::InUse},
                        {9, T(u8"svc"), T(u8"/a.dll"), T(u8"Svc"), Why::InUse},
                        {7, T(u8"app"), T(u8"/b.dll"), {}, Why::InUse}};
    EXPECT_EQ(
        HolderLines(report),
        (std::vector<Text>{T(u8R"(PID 7 app: использует "/a.dll"; использует "/b.dll")"),
                           T(u8R"(PID 9 svc (Svc): использует "/a.dll")"), T(u8"Службы: Svc")}));
}

}  // namespace
}  // namespace pinfile::holders
