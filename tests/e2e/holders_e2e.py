"""End-to-end tests of `pinfile-pending holders`: real processes that map, run or lock a file,
and what the command says of them (see harness.py for how the build under test is run)."""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import unittest

from harness import *  # noqa: F401,F403  (the harness is this suite's vocabulary)

PENDING = os.environ.get("PINFILE_PENDING_EXE", "")
INCOMPLETE = "Ответ неполный: не обо всех процессах удалось узнать."
NOBODY_NEEDS_RESTART = "Процессов, которые нужно перезапустить, нет."

# A process that uses a file as a program uses a library (a private mapping), or locks it, says
# "ready" and runs until its standard input closes.
USER = r"""
import fcntl, mmap, struct, sys
how, path = sys.argv[1:3]
f = open(path, "rb+")
if how == "map":
    held = mmap.mmap(f.fileno(), 0, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ)
elif how == "lockf":
    fcntl.lockf(f, fcntl.LOCK_EX)
elif how == "ofd":  # F_OFD_SETLK: the lock belongs to the open file, not to the process
    fcntl.fcntl(f, 37, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0))
print("ready", flush=True)
sys.stdin.read()
"""


def unit_cgroup_root():
    """Where a cgroup named like a systemd unit can be made: the unified hierarchy, else v1's
    name=systemd one; None when there is neither."""
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            _, where, kind, options = line.split()[:4]
            if kind == "cgroup2" or (kind == "cgroup" and "name=systemd" in options.split(",")):
                return where
    return None


@unittest.skipIf(WINDOWS, "the POSIX build reads the processes' maps, locks and cgroups")
@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "needs root to see every process")
class HoldersTests(Case):
    def use(self, how, path, cgroup=None):
        user = subprocess.Popen([sys.executable, "-c", USER, how, path], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE)
        self.addCleanup(user.stdout.close)
        self.addCleanup(user.wait, TIMEOUT)
        self.addCleanup(user.stdin.close)
        if cgroup:
            with open(os.path.join(cgroup, "cgroup.procs"), "w") as procs:
                procs.write(str(user.pid))
        self.assertEqual(user.stdout.readline().strip(), b"ready")
        return user.pid

    def unit_cgroup(self, name):
        root = unit_cgroup_root()
        if root is None:
            self.skipTest("no cgroup hierarchy of systemd's or cgroup v2 is mounted")
        cgroup = os.path.join(root, name)
        try:
            os.mkdir(cgroup)
        except OSError as error:
            self.skipTest("cannot make a cgroup here: %s" % error)
        self.addCleanup(os.rmdir, cgroup)  # runs after its process has ended
        return cgroup

    def holders(self, *names):
        result = self.run_pinfile("holders", "--json", *names, program=PENDING)
        return json.loads(result.stdout), result.status

    def test_who_still_uses_the_old_file(self):
        lib, gone = self.work.file("lib.so", b"v1" * 4096), self.work.file("gone.so", b"g" * 4096)
        locked, ofd = self.work.file("locked.so", b"l"), self.work.file("ofd.so", b"o")
        self.work.file("v2.so", b"v2" * 4096)
        cgroup = self.unit_cgroup("pinfile-test.service")
        mapper, in_unit, mapper_of_gone = self.use("map", lib), self.use("map", lib, cgroup), self.use("map", gone)
        locker, ofd_locker = self.use("lockf", locked), self.use("ofd", ofd)
        self.assertOutput(self.run_pinfile("/C", "v2.so", "lib.so"), [COPIED], EXIT_DONE)
        os.remove(gone)
        bystander = self.use("map", lib)  # maps the new version
        expected = {(mapper, lib, "old-version"), (in_unit, lib, "old-version"),
                    (mapper_of_gone, gone, "old-version"), (locker, locked, "lock"), (ofd_locker, ofd, "lock")}

        named, status = self.holders(lib, gone, locked, ofd)
        self.assertEqual(status, EXIT_DONE if named["complete"] else EXIT_FAILED)
        self.assertEqual({(p["pid"], p["file"], p["why"]) for p in named["processes"]}, expected)
        units = {p["pid"]: p["unit"] for p in named["processes"]}
        self.assertEqual(units[in_unit], "pinfile-test.service")
        self.assertIn("pinfile-test.service", named["services"])
        self.assertEqual(sorted(named["services"]), sorted({u for u in units.values() if u}))
        command = os.path.basename(sys.executable)[:15]  # the name it was started by
        self.assertEqual({p["command"] for p in named["processes"]}, {command})

        # No names: the old versions of every file, and the locks only on what the queue waits for.
        every, _ = self.holders()
        found = {(p["pid"], p["file"], p["why"]) for p in every["processes"]}
        self.assertLessEqual({e for e in expected if e[2] == "old-version"}, found)
        self.assertNotIn(bystander, {p["pid"] for p in every["processes"]})
        self.assertNotIn(locker, {p["pid"] for p in every["processes"]})
        self.assertEqual(self.run_pinfile("/C", "v2.so", "locked.so").status, EXIT_QUEUED)
        every, _ = self.holders()
        self.assertIn((locker, locked, "lock"), {(p["pid"], p["file"], p["why"]) for p in every["processes"]})

        text = self.run_pinfile("holders", lib, program=PENDING).stdout.decode().splitlines()
        self.assertIn('PID %d %s (pinfile-test.service): старая версия "%s"' % (in_unit, command, lib), text)
        unit = " (%s)" % units[mapper] if units[mapper] else ""  # the test's own, if any
        self.assertIn('PID %d %s%s: старая версия "%s"' % (mapper, command, unit, lib), text)
        self.assertIn("Службы: ", "\n".join(text))

    def test_the_answer_is_complete_only_when_every_process_could_be_read(self):
        if not shutil.which("unshare") or not shutil.which("setpriv"):
            self.skipTest("needs unshare and setpriv (util-linux)")
        lib = self.work.file("lib.so", b"v1")
        # A process table of its own, holding only what the test starts, as root and as nobody
        # beside a process of root's.
        own = ["unshare", "--pid", "--fork", "--mount-proc"]
        probe = subprocess.run(own + ["true"], capture_output=True, check=False)
        if probe.returncode != 0:
            self.skipTest("cannot make a process namespace here: %r" % probe.stderr)
        nobody = ["sh", "-c", 'sleep 60 & exec setpriv --reuid=65534 --regid=65534 --clear-groups "$@"', "sh"]
        for who, prefix, lines, status in [("root", own, [NOBODY_NEEDS_RESTART], EXIT_DONE),
                                           ("nobody", own + nobody, [INCOMPLETE], EXIT_FAILED)]:
            with self.subTest(who=who):
                result = run(prefix[1:] + [PENDING, "holders", lib], cwd=self.work.path, program=prefix[0])
                self.assertOutput(result, lines, status)


@unittest.skipUnless(WINDOWS, "the Restart Manager is Windows'")
class RestartManagerTests(Case):
    def test_a_manager_that_names_nobody_for_a_held_file_gives_no_answer(self):
        # Wine's manager names nobody, ever: for a held file that is no answer.
        dll = self.work.file("x.dll", b"x")
        for held_now, complete in [(False, True), (True, False)]:
            with self.subTest(held=held_now), (held(dll) if held_now else contextlib.nullcontext()):
                result = self.run_pinfile("holders", "--json", native_path(dll), program=PENDING)
                document = json.loads(result.stdout)
                self.assertEqual((document["complete"], document["processes"], document["services"]),
                                 (complete, [], []))
                self.assertEqual(result.status, EXIT_DONE if complete else EXIT_FAILED)


if __name__ == "__main__":
    unittest.main()
