"""End-to-end tests of pinfile-pending: the restart queue as a whole, as an administrator and
the boot see it (see harness.py for how the build under test is run)."""

import contextlib
import errno
import fcntl
import json
import os
import pty
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zlib

from harness import *  # noqa: F401,F403  (the harness is this suite's vocabulary)

EMPTY = "Очередь операций на перезагрузку пуста."


def replace_line(target, staged):
    return 'Заменить "%s" файлом "%s"' % (target, staged)


def delete_line(name):
    return 'Удалить "%s"' % name


def stat_mode(path):
    return os.stat(path).st_mode & 0o7777


def numbered(lines):
    return ["%d. %s" % (number, line) for number, line in enumerate(lines, 1)]


class PendingCase(Case):
    def pending(self, *args):
        return self.run_pinfile(*args, program=os.environ["PINFILE_PENDING_EXE"])

    def run_pinfile_traced(self, options, *args):
        """Runs pinfile under strace with the options (an injected delay, for example)."""
        return self.run_pinfile(*(["-qq", "-o", "/dev/null"] + options + [EXE] + list(args)),
                                program="strace")


class PendingUsageTests(PendingCase):
    def test_help_and_usage_errors(self):
        help_text = self.pending("--help")
        self.assertEqual(help_text.status, 0)
        self.assertTrue(help_text.stdout.startswith(encode_lines(["Использование:", ""])))
        # A file named by digits alone is named with its folder, or it is an operation's number.
        self.assertIn("Имя файла из одних цифр пишите с путём: ./1.", help_text.stdout.decode())
        usage = help_text.stdout.decode().splitlines()
        self.assertOutput(self.pending("/?"), usage, 0)
        for args in [[], ["lists"], ["list", "extra"], ["cancel", ""], ["holders", "--jsn"]] + \
                ([] if WINDOWS else [["LIST"], ["list", "--JSON"]]):
            with self.subTest(args=args):
                self.assertOutput(self.pending(*args), usage, 2)
        self.assertOutput(self.pending("--version"), ["pinfile-pending 1.0.0"], 0)
        if WINDOWS:  # Windows' words ignore case
            self.assertEqual(self.pending("LIST").stdout, self.pending("list").stdout)
            self.assertEqual(self.pending("list", "--JSON").stdout, self.pending("list", "--json").stdout)


def withdrawn(line):
    return "Отменено: " + line


@unittest.skipUnless(WINDOWS or os.geteuid() == 0, "the POSIX queue belongs to root")
class LaterCommandTests(PendingCase):
    """A restart never undoes what a later command did: whatever would undo it is withdrawn,
    and told on standard error."""

    def boot(self):
        if WINDOWS:
            restart()
        else:
            self.assertEqual(self.pending("apply").status, 0)

    def test_a_restart_keeps_what_the_last_command_did(self):
        # (earlier command queued while the file is held, later command, the file afterwards)
        cases = [("copy", "copy", b"v3"), ("delete", "copy", b"v3"), ("copy", "delete", None),
                 ("delete", "copy queued", b"v3"), ("copy", "copy queued", b"v3")]
        for earlier, later, expected in cases:
            self.work = Workspace()
            self.addCleanup(self.work.close)
            if WINDOWS:
                restart()  # an empty list to begin with
            with self.subTest(earlier=earlier, later=later), one_boot(self.work.path):
                self.work.file("v2.dll", b"v2")
                self.work.file("v3.dll", b"v3")
                target = self.work.file("x.dll", b"v1")
                with held(target):
                    args = ["/C", "v2.dll", "x.dll"] if earlier == "copy" else ["/D", "x.dll"]
                    self.assertEqual(self.run_pinfile(*args).status, EXIT_QUEUED)
                    staged = self.staged_files()
                    listed = self.pending("list").stdout.decode().splitlines()[0][len("1. "):]
                    if later.endswith("queued"):
                        result = self.run_pinfile("/C", "v3.dll", "x.dll")
                        self.assertOutput(result, [QUEUED_COPY], EXIT_QUEUED)
                if later == "copy":
                    self.assertOutput(self.run_pinfile("/C", "v3.dll", "x.dll"), [COPIED], EXIT_DONE)
                elif later == "delete":
                    self.assertOutput(self.run_pinfile("/D", "x.dll"), [DELETED], EXIT_DONE)
                self.assertEqual(self.last_stderr_lines(), [withdrawn(listed)])
                for name in staged:  # the withdrawn replacement's staged file went with it
                    self.assertNotIn(name, self.staged_files())
            self.boot()
            with self.subTest(earlier=earlier, later=later, after="restart"):
                if expected is None:
                    self.assertFalse(os.path.exists(target))
                else:
                    self.assertEqual(self.work.read("x.dll"), expected)
                self.assertEqual(self.staged_files(), [])
                self.assertOutput(self.pending("list"), [EMPTY], 0)

    def test_cancel_by_name_withdraws_every_operation_on_the_file(self):
        if WINDOWS:
            restart()  # an empty list to begin with
        with one_boot(self.work.path):
            self.work.file("v2.dll", b"v2")
            target = self.work.file("x.dll", b"v1")
            with held(target):
                self.assertEqual(self.run_pinfile("/D", "x.dll").status, EXIT_QUEUED)
                self.assertEqual(self.run_pinfile("/C", "v2.dll", "x.dll").status, EXIT_QUEUED)
            listed = [line[len("1. "):] for line in self.pending("list").stdout.decode().splitlines()]
            self.assertEqual(len(listed), 1)  # the copy withdrew the deletion
            # A number as the list never shows it names no operation, though one is listed.
            self.assertOutput(self.pending("cancel", "01"), ["Операции с номером 01 в очереди нет."],
                              EXIT_FAILED)
            # A file named by digits alone is named with its folder.
            digits = self.work.file("1", b"")
            with held(digits):
                self.assertEqual(self.run_pinfile("/D", "1").status, EXIT_QUEUED)
            named = self.pending("list").stdout.decode().splitlines()[1][len("2. "):]
            self.assertOutput(self.pending("cancel", "./1"), ["Отменено: " + named], 0)
            self.assertOutput(self.pending("cancel", target if not WINDOWS else native_path(target)),
                              ["Отменено: " + listed[0]], 0)
            again = self.pending("cancel", "x.dll")
            self.assertEqual(again.status, EXIT_FAILED)
            self.assertEqual(self.staged_files(), [])
        self.assertEqual(self.work.read("x.dll"), b"v1")

    def test_parallel_copies_onto_one_file_all_copy_now(self):
        # Copies that overlapped without the lock would queue behind each other's hold of the
        # file (POSIX) or interleave their writes (Wine shares the target while it copies);
        # big sources of unequal sizes make them overlap and leave a mixed target behind.
        sources = [bytes([ord("A") + n]) * ((16 << 20) - n * 4099) for n in range(8)]
        for n, content in enumerate(sources):
            self.work.file("src%d.dll" % n, content)
        self.work.file("one.dll", b"old")
        if WINDOWS:
            restart()  # an empty list to begin with
        with one_boot(self.work.path):
            for round_ in range(2):
                runs = [subprocess.Popen(command(EXE, ["/C", "src%d.dll" % n, "one.dll"]),
                                         cwd=self.work.path, env=self.pinfile_env(),
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                        for n in range(8)]
                for n, run_ in enumerate(runs):
                    stdout, stderr = run_.communicate(timeout=TIMEOUT)
                    with self.subTest(round=round_, run=n):
                        self.assertEqual((stdout, run_.returncode), (encode_lines([COPIED]), EXIT_DONE),
                                         stderr)
                with self.subTest(round=round_):
                    self.assertTrue(self.work.read("one.dll") in sources, "not one whole source")
            self.assertOutput(self.pending("list"), [EMPTY], 0)
        self.assertEqual(self.staged_files(), [])


@unittest.skipIf(WINDOWS, "the journal is the POSIX build's restart queue")
@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "the queue belongs to root")
class JournalCase(PendingCase):
    def queue_replacement(self, name, old, new):
        source = self.work.file("new-" + os.path.basename(name), new)
        target = self.work.file(name, old)
        with held(target):
            self.assertOutput(self.run_pinfile("/C", source, name), [QUEUED_COPY], EXIT_QUEUED)
        folder = os.path.dirname(target)
        staged = [n for n in self.staged_files(folder) if n not in self.known_staged]
        self.known_staged.update(staged)
        return target, os.path.join(folder, staged[0])

    def queue_deletion(self, name):
        victim = self.work.file(name, b"doomed")
        with held(victim):
            self.assertOutput(self.run_pinfile("/D", name), [QUEUED_DELETE], EXIT_QUEUED)
        return victim

    def setUp(self):
        super().setUp()
        self.known_staged = set()

    def mount(self, what, *args):
        """Mounts as the arguments say (the mount point last) until the test ends; skips where
        this machine cannot."""
        os.makedirs(args[-1], exist_ok=True)
        done = subprocess.run(["mount"] + list(args), capture_output=True)
        if done.returncode != 0:
            self.skipTest("cannot mount %s here: %s" % (what, done.stderr.decode().strip()))
        self.addCleanup(subprocess.run, ["umount", args[-1]], capture_output=True)

    def image(self, name, size, *mkfs):
        """A new file system image in the test root."""
        image = os.path.join(self.root, name)
        with open(image, "wb") as handle:
            handle.truncate(size)
        if shutil.which(mkfs[0]) is None:
            self.skipTest("needs %s" % mkfs[0])
        subprocess.run(list(mkfs) + [image], check=True, capture_output=True)
        return image

    def mount_overlay(self, layers, merged):
        """Mounts at merged an overlay of the layers folder's lower and upper folders."""
        for name in ("lower", "upper", "work"):
            os.makedirs(os.path.join(layers, name), exist_ok=True)
        options = "lowerdir={0}/lower,upperdir={0}/upper,workdir={0}/work".format(layers)
        self.mount("an overlay", "-t", "overlay", "overlay", "-o", options, merged)

    def fresh(self):
        self.work, self.root = Workspace(), posix_test_root()
        self.addCleanup(self.work.close)
        self.addCleanup(shutil.rmtree, self.root, True)
        self.known_staged = set()


@unittest.skipIf(WINDOWS, "the journal is the POSIX build's restart queue")
@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "the queue belongs to root")
class JournalTests(JournalCase):

    def test_queued_operations_are_listed_then_carried_out_at_boot(self):
        target, staged = self.queue_replacement("lib.so", b"old", b"new")
        victim = self.queue_deletion("gone.so")
        operations = [replace_line(target, staged), delete_line(victim)]
        self.assertOutput(self.pending("list"), numbered(operations), 0)

        self.assertOutput(self.pending("apply"), ["Выполнено: " + line for line in operations], 0)
        self.assertEqual(self.work.read("lib.so"), b"new")
        self.assertFalse(os.path.exists(victim))
        self.assertFalse(os.path.exists(staged))
        self.assertFalse(os.path.exists(journal_path(self.root)))
        self.assertOutput(self.pending("list"), [EMPTY], 0)
        self.assertOutput(self.pending("apply"), [EMPTY], 0)

    def test_a_run_after_a_crash_carries_out_each_operation_once(self):
        target, staged = self.queue_replacement("lib.so", b"old", b"new")
        victim = self.queue_deletion("gone.so")
        with open(journal_path(self.root), "rb") as handle:
            journal = handle.read()
        os.rename(staged, target)  # the crashed run got this far

        operations = [replace_line(target, staged), delete_line(victim)]
        self.assertOutput(self.pending("apply"),
                          ["Уже было выполнено: " + operations[0], "Выполнено: " + operations[1]], 0)

        # The whole journal again, as if the crash came before it was emptied.
        self.work.file("lib.so", b"newer, placed after the boot")
        with open(journal_path(self.root), "wb") as handle:
            handle.write(journal)
        self.assertOutput(self.pending("apply"), ["Уже было выполнено: " + line for line in operations], 0)
        self.assertEqual(self.work.read("lib.so"), b"newer, placed after the boot")

    def queue_four(self):
        for name in ("a.so", "b.so"):
            self.queue_replacement(name, b"old " + name.encode(), b"new " + name.encode())
        for name in ("c.so", "d.so"):
            self.queue_deletion(name)

    def state(self):
        files = {name: self.work.read(name) for name in self.work.names()}
        return files, os.path.exists(journal_path(self.root))

    @unittest.skipUnless(shutil.which("strace"), "needs strace to stop the runner at a system call")
    def test_a_kill_at_any_system_call_still_carries_out_each_operation_exactly_once(self):
        self.queue_four()
        trace = os.path.join(self.root, "trace")
        traced = subprocess.run(["strace", "-qq", "-o", trace, os.environ["PINFILE_PENDING_EXE"], "apply"],
                                env=self.pinfile_env(), capture_output=True, timeout=TIMEOUT)
        self.assertEqual(traced.returncode, 0, traced.stdout)
        expected = self.state()
        self.assertEqual(expected[0], {"a.so": b"new a.so", "b.so": b"new b.so",
                                       "new-a.so": b"new a.so", "new-b.so": b"new b.so"})
        with open(trace) as handle:
            calls = [line.split("(", 1)[0] for line in handle if "(" in line and not line.startswith("+++")]
        calls = [call for call in calls if call != "execve"]  # the runner is not running yet
        self.assertGreater(len(calls), 20)
        seen = {}
        for call in calls:
            seen[call] = seen.get(call, 0) + 1
            with self.subTest(call=call, occurrence=seen[call]):
                self.fresh()
                self.queue_four()
                inject = "inject=%s:signal=SIGKILL:when=%d" % (call, seen[call])
                killed = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                                         inject, os.environ["PINFILE_PENDING_EXE"], "apply"],
                                        env=self.pinfile_env(), capture_output=True, timeout=TIMEOUT)
                self.assertEqual(killed.returncode, -signal.SIGKILL, killed.stdout)
                rerun = self.pending("apply")
                self.assertEqual(rerun.status, 0, rerun.stdout)
                self.assertEqual(self.state(), expected)

    @unittest.skipUnless(shutil.which("strace"), "needs strace to stop pinfile at a system call")
    def test_a_kill_at_any_system_call_of_a_queued_command_leaves_nothing_unaccounted(self):
        def prepare():
            self.fresh()
            self.work.file("new.so", b"new")
            return self.work.file("t.so", b"old")

        for args in (["/C", "new.so", "t.so"], ["/D", "t.so"]):
            target = prepare()
            trace = os.path.join(self.root, "trace")
            with held(target):
                self.run_pinfile("-qq", "-o", trace, EXE, *args, program="strace")
            with open(trace) as handle:
                calls = [line.split("(", 1)[0] for line in handle if "(" in line and not line.startswith("+++")]
            calls = [call for call in calls if call != "execve"]  # pinfile is not running yet
            after = [entry[0] for entry in read_journal(self.root)]
            self.assertEqual(after, [args[0][1:].encode()[:1].replace(b"C", b"R")])
            seen = {}
            for call in calls:
                seen[call] = seen.get(call, 0) + 1
                with self.subTest(command=args[0], call=call, occurrence=seen[call]):
                    target = prepare()
                    with held(target):
                        killed = self.run_pinfile("-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                                                  "inject=%s:signal=SIGKILL:when=%d" % (call, seen[call]),
                                                  EXE, *args, program="strace")
                    self.assertEqual(killed.status, -signal.SIGKILL)
                    # The next run into the folder clears what no record needs.
                    self.assertOutput(self.run_pinfile("/C", "new.so", "other.so"), [COPIED], EXIT_DONE)
                    journal = read_journal(self.root)
                    self.assertIn([entry[0] for entry in journal], ([], after))
                    named = [os.path.basename(entry[1]).decode() for entry in journal if entry[0] == b"R"]
                    self.assertEqual(self.staged_files(), named)

    def test_folder_scanners_pass_the_staged_file_by(self):
        if not shutil.which("run-parts"):
            self.skipTest("needs run-parts")
        os.mkdir(os.path.join(self.work.path, "cron.daily"))
        job = self.work.file("cron.daily/job", b"#!/bin/sh\necho job\n")
        os.chmod(job, 0o755)
        self.queue_replacement("cron.daily/job", b"#!/bin/sh\necho job\n", b"#!/bin/sh\necho new\n")
        listed = subprocess.run(["run-parts", "--test", os.path.dirname(job)], capture_output=True,
                                check=True)
        self.assertEqual(listed.stdout.decode().splitlines(), [job])

    def test_runs_at_once_lose_nothing_and_do_nothing_twice(self):
        victims = [self.queue_deletion("v%d.so" % n) for n in range(20)]
        late = self.work.file("late.so", b"x")
        with held(late):
            runs = [subprocess.Popen(command(os.environ["PINFILE_PENDING_EXE"], ["apply"]),
                                     env=self.pinfile_env(), stdout=subprocess.PIPE) for _ in range(2)]
            queued = self.run_pinfile("/D", "late.so")
            outputs = [run_.communicate(timeout=TIMEOUT)[0].decode().splitlines() for run_ in runs]
        self.assertEqual(queued.status, EXIT_QUEUED)
        done = [line for output in outputs for line in output if line.startswith("Выполнено")]
        expected = victims + ([late] if len(done) == 21 else [])
        self.assertEqual(sorted(done), sorted("Выполнено: " + delete_line(v) for v in expected))
        if len(done) == 20:  # queued after both runs had read the queue: waits for the next boot
            self.assertOutput(self.pending("list"), numbered([delete_line(late)]), 0)
        self.assertEqual(self.work.names(), ["late.so"] if len(done) == 20 else [])

    def test_a_failed_operation_waits_with_its_error_until_it_is_cancelled(self):
        target, staged = self.queue_replacement("lib.so", b"old", b"new")
        victim = self.queue_deletion("gone.so")
        os.remove(target)
        os.mkdir(target)  # no file can be renamed over a folder
        failed = replace_line(target, staged)
        error = "Ошибка %d: %s" % (errno.EISDIR, os.strerror(errno.EISDIR))
        self.assertOutput(self.pending("apply"), ["Не выполнено: %s. %s" % (failed, error),
                                                  "Выполнено: " + delete_line(victim)], EXIT_FAILED)
        # What the boot did is told until the next boot, whose kernel has another boot id.
        missed = "Не выполнено при последней перезагрузке: %s (%s)" % (failed, error)
        last = {"carried_out": 1, "not_carried_out": [
            {"kind": "replace", "target": target, "source": staged, "why": "failed",
             "error": {"code": errno.EISDIR, "text": os.strerror(errno.EISDIR)}}]}
        for carried_out in (1, 0):  # still waiting, and tried again at the next boot
            self.assertOutput(self.pending("list"),
                              [missed] + numbered(["%s (не выполнено: %s)" % (failed, error)]), 0)
            last["carried_out"] = carried_out
            self.assertEqual(json.loads(self.pending("list", "--json").stdout)["last_restart"], last)
            self.assertEqual(self.pending("apply").status, EXIT_FAILED)
        self.assertTrue(os.path.exists(staged))
        self.assertOutput(self.pending("cancel", "2"), ["Операции с номером 2 в очереди нет."], EXIT_FAILED)
        self.assertOutput(self.pending("cancel", "1"), ["Отменено: " + failed], 0)
        self.assertFalse(os.path.exists(staged))
        self.assertOutput(self.pending("list"), [missed, EMPTY], 0)
        self.assertOutput(self.pending("apply"), [EMPTY], 0)
        # A boot without apply: the kept account names another boot than this one.
        with open(os.path.join(os.path.dirname(journal_path(self.root)), "last-restart"), "r+b") as kept:
            first = kept.read(1)[0]
            kept.seek(0)
            kept.write(bytes([first ^ 1]))
        self.assertOutput(self.pending("list"), [EMPTY], 0)
        self.assertEqual(json.loads(self.pending("list", "--json").stdout)["last_restart"],
                         {"carried_out": 0, "not_carried_out": []})

    def test_what_the_boot_cannot_do_is_not_queued(self):
        victim = self.work.file("fixed.so", b"x")
        if subprocess.run(["chattr", "+i", victim], capture_output=True).returncode != 0:
            self.skipTest("this file system has no immutable files (chattr +i)")
        self.addCleanup(subprocess.run, ["chattr", "-i", victim], capture_output=True)
        self.assertFailureReport(self.run_pinfile("/D", "fixed.so"), DELETE_FAILED, errno.EPERM)
        self.assertFalse(os.path.exists(journal_path(self.root)))
        self.assertFalse(os.path.exists(os.path.join(self.root, "run", "reboot-required")))

    def test_nothing_is_queued_on_a_file_system_that_a_reboot_empties(self):
        def plain_tmpfs():
            if subprocess.run(["stat", "-f", "-c", "%T", "/dev/shm"],
                              capture_output=True).stdout.strip() != b"tmpfs":
                self.skipTest("no tmpfs at /dev/shm")
            folder = tempfile.mkdtemp(dir="/dev/shm")
            self.addCleanup(shutil.rmtree, folder, True)
            return folder

        def overlay_over_tmpfs():  # as overlayroot=tmpfs and live systems mount the root
            layers, merged = os.path.join(self.root, "layers"), os.path.join(self.root, "merged")
            self.mount("tmpfs", "-t", "tmpfs", "tmpfs", layers)
            self.mount_overlay(layers, merged)
            return merged

        for kind in (plain_tmpfs, overlay_over_tmpfs):
            for args, message in [(["/C", "new.so"], QUEUE_COPY_FAILED), (["/D"], QUEUE_DELETE_FAILED)]:
                with self.subTest(kind=kind.__name__, command=args[0]):
                    self.fresh()
                    self.work.file("new.so", b"new")
                    folder = kind()
                    target = os.path.join(folder, "t.so")
                    with open(target, "wb") as handle:
                        handle.write(b"old")
                    with held(target):
                        self.assertFailureReport(self.run_pinfile(*args, target), message, errno.EOPNOTSUPP)
                    self.assertEqual(os.listdir(folder), ["t.so"])
                    self.assertFalse(os.path.exists(journal_path(self.root)))

    @unittest.skipUnless(shutil.which("setfacl") and shutil.which("strace"), "needs setfacl and strace")
    def test_owner_mode_and_an_access_acl_of_any_size_are_given_back_also_after_a_kill(self):
        def metadata(path):
            acl = subprocess.run(["getfacl", "-n", "--omit-header", path], capture_output=True,
                                 check=True).stdout
            return acl, os.stat(path).st_uid, os.stat(path).st_gid
        many = ",".join("u:%d:r" % (20000 + n) for n in range(300))
        # (the target's ACL entries, the call of apply that a kill stops it at); the last row
        # sets only the mode, so owner, group and mode go back without an ACL.
        for entries, kill in [("u:nobody:rw,g::---", "fsetxattr"), (many, None), ("g::-w-", "fchown")]:
            with self.subTest(kill=kill):
                self.fresh()
                target = self.work.file("t.so", b"old")
                os.chown(target, 0, 4)
                os.chmod(target, 0o600)
                if subprocess.run(["setfacl", "-m", entries, target], capture_output=True).returncode:
                    self.skipTest("this file system takes no such ACL")
                before = metadata(target)
                self.queue_replacement("t.so", b"old", b"new")
                if kill:
                    killed = subprocess.run(
                        ["strace", "-qq", "-o", "/dev/null", "-e", "trace=" + kill,
                         "-e", "inject=%s:signal=SIGKILL:when=1" % kill,
                         os.environ["PINFILE_PENDING_EXE"], "apply"],
                        env=self.pinfile_env(), capture_output=True, timeout=TIMEOUT)
                    self.assertEqual(killed.returncode, -9, killed.stderr)
                    self.assertEqual(self.work.read("t.so"), b"new")  # renamed, metadata not yet set
                    self.assertNotEqual(metadata(target), before)
                applied = self.pending("apply")
                self.assertEqual(applied.status, 0, applied.stdout)
                self.assertEqual(self.work.read("t.so"), b"new")
                self.assertEqual(metadata(target), before)

    def test_a_later_command_through_a_bind_mount_withdraws_the_queued_one(self):
        alias = os.path.join(self.work.path, "b")
        os.mkdir(alias)
        os.mkdir(os.path.join(self.work.path, "a"))
        if subprocess.run(["mount", "--bind", os.path.join(self.work.path, "a"), alias],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot bind-mount here")
        self.addCleanup(subprocess.run, ["umount", alias], capture_output=True)
        self.work.file("new2.so", b"new2")
        target, staged = self.queue_replacement("a/t.so", b"old", b"new1")
        result = self.run_pinfile("/C", "new2.so", "b/t.so")
        self.assertOutput(result, [COPIED], EXIT_DONE)
        self.assertEqual(self.last_stderr_lines(), [withdrawn(replace_line(target, staged))])
        self.assertOutput(self.pending("apply"), [EMPTY], 0)
        self.assertEqual(self.work.read("a/t.so"), b"new2")

    def test_a_queued_operation_survives_a_boot_that_renumbers_devices(self):
        image, mount = os.path.join(self.root, "fs.img"), os.path.join(self.work.path, "mnt")
        os.mkdir(mount)
        with open(image, "wb") as handle:
            handle.truncate(16 << 20)
        subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True, capture_output=True)

        def attach():
            done = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
            if done.returncode != 0 or subprocess.run(["mount", done.stdout.strip(), mount]).returncode:
                self.skipTest("no loop device can be attached and mounted here")
            return done.stdout.strip()

        def detach(device):
            subprocess.run(["umount", mount], check=True)
            subprocess.run(["losetup", "-d", device], check=True)

        first = attach()
        try:
            self.queue_replacement("mnt/t.so", b"old", b"new")
            before = os.stat(mount).st_dev
        finally:
            detach(first)
        # Another image takes the first device, so the next boot finds this one elsewhere.
        spare = os.path.join(self.root, "spare.img")
        with open(spare, "wb") as handle:
            handle.truncate(1 << 20)
        subprocess.run(["losetup", first, spare], check=True)
        self.addCleanup(subprocess.run, ["losetup", "-d", first])
        second = attach()
        self.addCleanup(detach, second)
        self.assertNotEqual(os.stat(mount).st_dev, before)
        # Within the boot that queued it, another device is another file system.
        self.assertEqual(self.pending("apply").status, EXIT_FAILED)
        as_if_written_in_an_earlier_boot(self.root)
        applied = self.pending("apply")
        self.assertEqual(applied.status, 0, applied.stdout)
        self.assertEqual(self.work.read("mnt/t.so"), b"new")

    def test_copies_of_one_image_and_snapshots_mounted_at_once_are_other_folders(self):
        def image_copies():
            image = self.image("a.img", 16 << 20, "mkfs.ext4", "-q", "-F")
            shutil.copyfile(image, os.path.join(self.root, "b.img"))
            for name in ("a", "b"):
                self.mount("a loop device", "-o", "loop", os.path.join(self.root, name + ".img"),
                           os.path.join(self.work.path, name))
            return "a", "b"

        def btrfs_snapshot():  # a restart between, so that only the subvolumes tell them apart
            image = self.image("c.img", 128 << 20, "mkfs.btrfs", "-q", "-f")
            self.mount("btrfs on a loop device", "-o", "loop", image, os.path.join(self.work.path, "c"))
            subprocess.run(["btrfs", "subvolume", "create", "c/sv"], cwd=self.work.path, check=True,
                           capture_output=True)
            return "c/sv", "c/snap"

        for mounted in (image_copies, btrfs_snapshot):
            with self.subTest(mounted.__name__):
                self.fresh()
                first, second = mounted()
                target, staged = self.queue_replacement(first + "/t.so", b"old", b"new1")
                if mounted is btrfs_snapshot:
                    subprocess.run(["btrfs", "subvolume", "snapshot", first, second], cwd=self.work.path,
                                   check=True, capture_output=True)
                    as_if_written_in_an_earlier_boot(self.root)
                self.work.file("new2.so", b"new2")
                self.assertOutput(self.run_pinfile("/C", "new2.so", second + "/t.so"), [COPIED], EXIT_DONE)
                self.assertEqual(self.last_stderr_lines(), [])
                self.assertTrue(os.path.exists(staged))
                self.assertOutput(self.pending("apply"), ["Выполнено: " + replace_line(target, staged)], 0)
                self.assertEqual(self.work.read(first + "/t.so"), b"new1")
                self.assertEqual(self.work.read(second + "/t.so"), b"new2")

    def test_a_queued_deletion_under_an_overlay_is_carried_out_after_its_folder_is_copied_up(self):
        layers, merged = os.path.join(self.root, "layers"), os.path.join(self.work.path, "m")
        os.makedirs(os.path.join(layers, "lower", "d"))
        for name in ("t.so", "other.so"):
            with open(os.path.join(layers, "lower", "d", name), "wb") as handle:
                handle.write(b"lower")
        self.mount_overlay(layers, merged)
        victim = os.path.join(merged, "d", "t.so")
        with open(victim, "rb") as handle:  # read only, as a loaded library: nothing copied up
            fcntl.flock(handle, fcntl.LOCK_EX)
            self.assertOutput(self.run_pinfile("/D", victim), [QUEUED_DELETE], EXIT_QUEUED)
        self.work.file("new.so", b"new")
        self.assertOutput(self.run_pinfile("/C", "new.so", "m/d/other.so"), [COPIED], EXIT_DONE)
        self.assertOutput(self.pending("apply"), ["Выполнено: " + delete_line(victim)], 0)
        self.assertEqual(os.listdir(os.path.join(merged, "d")), ["other.so"])

    def test_a_queued_replacement_puts_in_place_what_an_immediate_copy_would(self):
        from pinfile_e2e import METADATA
        for kind, setup, look, expected in METADATA:
            with self.subTest(kind=kind):
                self.fresh()
                target = self.work.file("t.so", b"old")
                setup(target)
                _, staged = self.queue_replacement("t.so", b"old", b"new")
                # Meanwhile the staged file lets nobody else write it, by its mode or an ACL.
                self.assertEqual(stat_mode(staged) & 0o022, 0, "mode %o" % stat_mode(staged))
                self.assertNotIn("system.posix_acl_access", os.listxattr(staged))
                self.assertEqual(self.pending("apply").status, 0)
                self.assertEqual(self.work.read("t.so"), b"new")
                self.assertEqual(look(target), expected)

    def test_a_queued_operation_tells_that_a_restart_is_required(self):
        flag = os.path.join(self.root, "run", "reboot-required")
        os.makedirs(os.path.dirname(flag))
        with open(flag + ".pkgs", "w") as handle:
            handle.write("linux-image\n")
        self.queue_deletion("a.so")
        self.queue_deletion("b.so")
        self.assertTrue(os.path.exists(flag))
        with open(flag + ".pkgs") as handle:
            self.assertEqual(handle.read(), "linux-image\npinfile\n")

    def test_a_damaged_record_is_skipped_and_the_others_carried_out(self):
        for cancelled in (False, True):
            with self.subTest(others_cancelled_first=cancelled):
                self.fresh()
                names = [self.queue_deletion(name) for name in ("first.so", "middle.so", "last.so")]
                with open(journal_path(self.root), "r+b") as handle:
                    journal = bytearray(handle.read())
                    first_size = record_size(names[0].encode())
                    middle_size = record_size(names[1].encode())
                    journal[first_size + 16] ^= 0x01  # a bit of the middle record's name
                    handle.seek(0)
                    handle.write(journal)

                damaged = "Повреждённая запись: %d байт со смещения %d" % (middle_size, first_size)
                self.assertOutput(self.pending("list"),
                                  numbered([delete_line(names[0]), damaged, delete_line(names[2])]), 0)
                if not cancelled:
                    self.assertOutput(self.pending("apply"),
                                      ["Выполнено: " + delete_line(names[0]), "Пропущено. " + damaged,
                                       "Выполнено: " + delete_line(names[2])], EXIT_FAILED)
                    self.assertEqual(self.work.names(), ["middle.so"])
                    continue
                # Withdrawing every sound record keeps the damaged bytes for apply to report.
                for number, name in [("1", names[0]), ("2", names[2])]:
                    self.assertOutput(self.pending("cancel", number), ["Отменено: " + delete_line(name)], 0)
                self.assertOutput(self.pending("apply"), ["Пропущено. " + damaged], EXIT_FAILED)
                self.assertEqual(self.work.names(), ["first.so", "last.so", "middle.so"])

    def test_a_queue_that_others_could_write_is_refused_whole(self):
        victim = self.queue_deletion("keep.so")
        folder = os.path.dirname(journal_path(self.root))
        refusal = ('Очередь "%s" отклонена: её владелец не root или в неё могут писать другие. '
                   "Ничего не выполнено." % journal_path(self.root))
        for path, mode in [(journal_path(self.root), 0o646), (journal_path(self.root), 0o620),
                           (folder, 0o757)]:
            with self.subTest(path=path, mode=oct(mode)):
                original = os.stat(path).st_mode & 0o777
                os.chmod(path, mode)
                try:
                    self.assertOutput(self.pending("apply"), [refusal], EXIT_FAILED)
                finally:
                    os.chmod(path, original)
                self.assertTrue(os.path.exists(victim))
                self.assertTrue(os.path.exists(journal_path(self.root)))

    def test_an_earlier_journal_is_carried_out_unchecked_and_a_relative_name_refused(self):
        self.work.file("relative.so", b"x")
        victim = self.work.file("absolute.so", b"x")
        os.makedirs(os.path.dirname(journal_path(self.root)), mode=0o700)
        with open(journal_path(self.root), "wb") as handle:
            handle.write(encode_record(b"D", b"relative.so") + encode_record(b"D", victim.encode()))
        os.chmod(journal_path(self.root), 0o600)
        self.assertOutput(self.pending("list"),
                          numbered([delete_line(name) + " (без проверки)" for name in ("relative.so", victim)]), 0)
        self.assertOutput(self.pending("apply"),
                          ["Отклонено (имя не абсолютное): " + delete_line("relative.so"),
                           "Выполнено: " + delete_line(victim)], EXIT_FAILED)
        self.assertEqual(self.work.names(), ["relative.so"])

    def test_a_staged_file_on_another_file_system_is_copied_into_place(self):
        other = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else None
        if other is None or os.stat(other).st_dev == os.stat(self.work.path).st_dev:
            self.skipTest("no second file system at hand")
        self.addCleanup(shutil.rmtree, other, True)
        staged = os.path.join(other, "TMPstaged")
        with open(staged, "wb") as handle:
            handle.write(b"from afar")
        target = self.work.file("lib.so", b"old")
        os.makedirs(os.path.dirname(journal_path(self.root)), mode=0o700)
        with open(journal_path(self.root), "wb") as handle:
            handle.write(encode_record(b"R", staged.encode(), target.encode()))
        os.chmod(journal_path(self.root), 0o600)
        self.assertOutput(self.pending("apply"), ["Выполнено: " + replace_line(target, staged)], 0)
        self.assertEqual(self.work.read("lib.so"), b"from afar")
        self.assertFalse(os.path.exists(staged))
        self.assertEqual(self.work.names(), ["lib.so"])


NOBODY = 65534

# Waits for a staged name in the folder, moves that file aside and puts a link to the secret
# file in its place.
SWAPPER = """
import os, sys, time
folder, secret = sys.argv[1:]
deadline = time.time() + 60
while time.time() < deadline:
    names = [n for n in os.listdir(folder) if n.startswith(".TMP")]
    if names:
        staged = os.path.join(folder, names[0])
        os.rename(staged, staged + ".aside")
        os.symlink(secret, staged)
        print("swapped")
        break
"""


def as_nobody():
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def refused(line, code):
    return "Отклонено (не тот файл или папка, что при постановке в очередь): %s. Ошибка %d: %s" % (
        line, code, os.strerror(code))


@unittest.skipIf(WINDOWS, "the boot-time runner of the POSIX build")
@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "the queue belongs to root")
class HostileUserTests(JournalCase):
    """Root carries the queue out at boot on names that other users may change meanwhile: it acts
    only on what was queued, and the records around a refused one still go through."""

    def test_a_folder_swapped_after_queueing_is_refused(self):
        for swap, code in [("link", errno.ELOOP), ("folder", errno.ESTALE)]:
            with self.subTest(swap=swap):
                self.fresh()
                system = os.path.join(self.work.path, "system")
                folder = os.path.join(self.work.path, "d")
                os.mkdir(system)
                os.mkdir(folder)
                for name in ("lib.so", "r.so"):
                    with open(os.path.join(system, name), "wb") as handle:
                        handle.write(b"system's own")
                first = self.queue_deletion("first.so")
                victim = self.queue_deletion("d/lib.so")
                target, staged = self.queue_replacement("d/r.so", b"old", b"new")
                last = self.queue_deletion("last.so")
                os.rename(folder, folder + ".old")
                if swap == "link":
                    os.symlink(system, folder)
                else:  # a folder of the same names, made later
                    shutil.copytree(folder + ".old", folder)
                self.assertOutput(self.pending("apply"), [
                    "Выполнено: " + delete_line(first), refused(delete_line(victim), code),
                    refused(replace_line(target, staged), code), "Выполнено: " + delete_line(last)],
                    EXIT_FAILED)
                self.assertEqual(sorted(os.listdir(system)), ["lib.so", "r.so"])
                if swap == "folder":
                    self.assertEqual(sorted(os.listdir(folder)), sorted(os.listdir(folder + ".old")))

    def test_a_staged_file_that_is_not_pinfiles_is_not_put_in_place(self):
        for attack in ["replaced", "vanished", "linked"]:
            with self.subTest(attack=attack):
                self.fresh()
                os.chmod(self.work.path, 0o1777)  # like /tmp: anyone may add a file
                target, staged = self.queue_replacement("t-%s.so" % attack, b"old", b"new")
                expected = refused(replace_line(target, staged), errno.ESTALE)
                if attack == "linked":  # another name leads to it too
                    os.link(staged, os.path.join(self.work.path, "another-name"))
                else:
                    os.remove(staged)  # an age-based clean of the folder
                if attack == "replaced":
                    subprocess.run(["sh", "-c", 'printf evil > "$0" && chmod 4755 "$0"', staged],
                                   preexec_fn=as_nobody, check=True)
                elif attack == "vanished":
                    expected = "Не выполнено: %s. Ошибка %d: %s" % (
                        replace_line(target, staged), errno.ENOENT, os.strerror(errno.ENOENT))
                self.assertOutput(self.pending("apply"), [expected], EXIT_FAILED)
                with open(target, "rb") as handle:
                    self.assertEqual(handle.read(), b"old")

    @unittest.skipUnless(shutil.which("strace"), "needs strace to widen the window")
    def test_a_staged_name_swapped_for_a_link_changes_no_other_file(self):
        # The owner of the target's folder swaps the staged name for a link to a secret file
        # as soon as it appears (the copy is held up) or once its copy is done (the first
        # change of its mode is held up).
        for moment, call in [("appeared", "ioctl"), ("copied", "fchmod")]:
            with self.subTest(moment=moment):
                self.fresh()
                os.chmod(self.work.path, 0o755)
                secret = os.path.join(self.root, "secret")
                with open(secret, "wb") as handle:
                    handle.write(b"root's secret")
                os.chmod(secret, 0o600)
                app = os.path.join(self.work.path, "app")
                os.mkdir(app)
                target = os.path.join(app, "t")
                with open(target, "wb") as handle:
                    handle.write(b"old")
                give_away(app)
                source = self.work.file("new", b"new")
                swapper = subprocess.Popen(
                    ["/usr/bin/python3", "-c", SWAPPER, app, secret], preexec_fn=as_nobody,
                    stdout=subprocess.PIPE)
                with held(target):
                    traced = self.run_pinfile_traced(
                        ["-e", "trace=" + call, "-e", "inject=%s:delay_enter=700000" % call],
                        "/C", source, target)
                self.assertEqual(swapper.communicate(timeout=TIMEOUT)[0], b"swapped\n")
                self.assertIn(traced.status, (EXIT_QUEUED, EXIT_FAILED), traced.stdout)
                self.assertNotIn(secret.encode(), b"".join(b"".join(r) for r in read_journal(self.root)))
                self.pending("apply")
                self.assertEqual((stat_mode(secret), os.stat(secret).st_uid), (0o600, 0))
                with open(secret, "rb") as handle:
                    self.assertEqual(handle.read(), b"root's secret")
                self.assertNotEqual(self.work.read("app/t"), b"root's secret")
                self.assertIn(self.work.read("app/t"), (b"old", b"new"))

    def test_list_tells_the_truth_about_the_journal(self):
        victim = self.queue_deletion("a.so")
        path = journal_path(self.root)
        refusal = ('Очередь "%s" отклонена: её владелец не root или в неё могут писать другие. '
                   'Ничего не выполнено.' % path)
        with open(path, "rb") as handle:
            journal = handle.read()

        def fifo():
            os.remove(path)
            os.mkfifo(path, 0o600)

        # (what was done to the journal, how it is undone)
        for change, undo in [(lambda: os.chown(path, NOBODY, 0), lambda: os.chown(path, 0, 0)),
                             (lambda: os.chmod(path, 0o620), lambda: os.chmod(path, 0o600)),
                             (fifo, lambda: os.remove(path))]:
            change()
            for command_ in ("list", "apply"):
                with self.subTest(change=change, command=command_):
                    self.assertOutput(self.pending(command_), [refusal], EXIT_FAILED)
            undo()
            if not os.path.exists(path):
                with open(path, "wb") as handle:
                    handle.write(journal)
                os.chmod(path, 0o600)
        # A user who may not read the queue is told so, with the system's error.
        denied = "Ошибка %d: %s" % (errno.EACCES, os.strerror(errno.EACCES))
        for command_, line in [("list", "Не удалось прочитать очередь. " + denied),
                               ("apply", 'Не удалось обработать очередь "%s". %s' % (path, denied))]:
            with self.subTest(command=command_, user="nobody"):
                self.assertOutput(self.run_pinfile(command_, program=os.environ["PINFILE_PENDING_EXE"],
                                                   preexec_fn=as_nobody), [line], EXIT_FAILED)
        self.assertOutput(self.pending("list"), numbered([delete_line(victim)]), 0)

    def test_nothing_is_queued_into_a_journal_that_others_could_write_or_that_fails_to_grow(self):
        folder = os.path.dirname(journal_path(self.root))
        self.queue_deletion("a.so")
        with open(journal_path(self.root), "rb") as handle:
            journal = handle.read()
        # (a path and the mode it gets, the failure injected into the flush of the written
        # record, the error)
        for path, mode, inject, code in [(folder, 0o777, None, errno.EACCES),
                                         (journal_path(self.root), 0o666, None, errno.EACCES),
                                         (folder, 0o700, "fsync:error=EIO:when=1", errno.EIO)]:
            with self.subTest(path=path, mode=oct(mode)):
                if inject and not shutil.which("strace"):
                    self.skipTest("needs strace to make the flush fail")
                before = stat_mode(path)
                os.chmod(path, mode)
                victim = self.work.file("b.so", b"x")
                with held(victim):
                    result = (self.run_pinfile_traced(["-e", "trace=fsync", "-e", "inject=" + inject], "/D", "b.so")
                              if inject else self.run_pinfile("/D", "b.so"))
                os.chmod(path, before)
                self.assertFailureReport(result, QUEUE_DELETE_FAILED, code)
                with open(journal_path(self.root), "rb") as handle:
                    self.assertEqual(handle.read(), journal)

    def test_a_name_with_control_characters_or_invalid_utf8_stays_on_one_line(self):
        names = [b"a\nb.so", b"c\xff\x1b[2J.so", b"back\\slash.so", b"c1\xc2\x9b2J.so", b'quo"te.so']
        shown = ["a\\nb.so", "c\\xff\\x1b[2J.so", "back\\\\slash.so", "c1\\xc2\\x9b2J.so", 'quo\\"te.so']
        for name in names:
            with open(os.path.join(self.work.path.encode(), name), "wb"), \
                    held(os.path.join(self.work.path.encode(), name)):
                self.assertEqual(self.run_pinfile("/D", os.fsdecode(name)).status, EXIT_QUEUED)
        lines = [delete_line(os.path.join(self.work.path, name)) for name in shown]
        self.assertOutput(self.pending("list"), numbered(lines), 0)
        # As data: valid JSON, and a name that is not UTF-8 keeps its bytes beside it.
        document = json.loads(self.pending("list", "--json").stdout)
        self.assertTrue(document["restart_required"])
        for operation, name in zip(document["operations"], names):
            path = os.path.join(self.work.path.encode(), name)
            raw = operation.get("target_raw")
            self.assertEqual(bytes.fromhex(raw) if raw else operation["target"].encode(), path)
        self.assertOutput(self.pending("apply"), ["Выполнено: " + line for line in lines], 0)

    def test_a_file_that_the_user_may_replace_but_not_read_is_still_checked_for_locks(self):
        os.chmod(self.work.path, 0o777)
        self.work.file("new.so", b"new")
        for locked, message, status in [(True, QUEUE_COPY_FAILED, EXIT_FAILED), (False, COPIED, EXIT_DONE)]:
            with self.subTest(locked=locked):
                target = self.work.file("root-only.so", b"old")
                os.chmod(target, 0o600)
                with held(target) if locked else contextlib.nullcontext():
                    result = self.run_pinfile("/C", "new.so", "root-only.so", preexec_fn=as_nobody)
                if locked:
                    self.assertFailureReport(result, message, errno.EACCES)
                    self.assertEqual(self.work.read("root-only.so"), b"old")
                else:
                    self.assertOutput(result, [message], status)
                    self.assertEqual(self.work.read("root-only.so"), b"new")

    def test_a_copy_sweeps_only_what_pinfile_proves_it_left_for_this_journal(self):
        target, staged = self.queue_replacement("lib.so", b"old", b"new")
        mark = journal_id(self.root)
        # (name, the mark it carries, whether a copy into the folder leaves it)
        cases = [(".pinfile-Abc123", mark, False), (".TMPAbc123.pinfile", mark, False),  # a killed run's
                 (".pinfile-Own456", mark, False),  # a killed run's, given the target's owner
                 (".pinfile-backup", None, True), (".TMP-2024-.pinfile", mark, True),  # root's own
                 (".pinfile-r e d.", mark, True),
                 (".pinfile-Xyz789", None, True), (".TMPXyz789.pinfile", None, True),  # no mark
                 (".pinfile-Oth456", b"0" * 32, True),  # another journal's
                 (".pinfile-Hld789", mark, True),  # being written: locked
                 (".pinfile-Src123", mark, True)]  # the command's own source
        for name, value, _ in cases:
            self.work.file(name, b"x")
            if value:
                os.setxattr(os.path.join(self.work.path, name), "trusted.pinfile", value)
        os.chown(os.path.join(self.work.path, ".pinfile-Own456"), 65534, 65534)
        with held(os.path.join(self.work.path, ".pinfile-Hld789")):
            self.assertOutput(self.run_pinfile("/C", ".pinfile-Src123", "copy.so"), [COPIED], EXIT_DONE)
        for name, _, stays in cases:
            self.assertEqual(os.path.exists(os.path.join(self.work.path, name)), stays, name)
        self.assertTrue(os.path.exists(staged), "a waiting record's staged file stays")
        self.assertNotIn("trusted.pinfile", os.listxattr(os.path.join(self.work.path, "copy.so")))
        source = self.work.file(".pinfile-old.so", b"source")
        self.assertOutput(self.run_pinfile("/C", source, target), [COPIED], EXIT_DONE)
        self.assertEqual(self.work.read(".pinfile-old.so"), b"source")

    def test_a_waiting_replacement_keeps_its_staged_file_whatever_a_run_sees(self):
        def another_journal(other):
            self.work.file("elsewhere.so", b"x")
            with held(os.path.join(self.work.path, "elsewhere.so")):
                self.assertOutput(self.run_pinfile("/D", "elsewhere.so", env={"PINFILE_TEST_ROOT": other}),
                                  [QUEUED_DELETE], EXIT_QUEUED)

        def refused_as_stale(other):  # the folder's identity changed, as a FUSE device's does
            patch_journal_folder_inode(self.root)
            self.pending("apply")
            return self.root

        # (the case, how the run is prepared, what the boot says afterwards)
        for case, prepare, outcome in [("another journal", another_journal, "done"),
                                       ("no journal", lambda other: None, "done"),
                                       ("refused with 116", refused_as_stale, "refused")]:
            with self.subTest(case=case):
                self.fresh()
                target, staged = self.queue_replacement("lib.so", b"old", b"new")
                other = posix_test_root()
                self.addCleanup(shutil.rmtree, other, True)
                root = prepare(other) or other
                self.work.file("new.so", b"new")
                self.assertOutput(self.run_pinfile("/C", "new.so", "other.so", env={"PINFILE_TEST_ROOT": root}),
                                  [COPIED], EXIT_DONE)
                self.assertTrue(os.path.exists(staged))
                line = replace_line(target, staged)
                expected = "Выполнено: " + line if outcome == "done" else refused(line, errno.ESTALE)
                self.assertOutput(self.pending("apply"), [expected], 0 if outcome == "done" else EXIT_FAILED)


def journal_id(test_root):
    with open(os.path.join(os.path.dirname(journal_path(test_root)), "id"), "rb") as handle:
        return handle.read()


def patch_journal_folder_inode(test_root):
    """Changes the inode of the target's folder in the journal's one record, as if the folder were
    another one now, and makes its check fit again."""
    with open(journal_path(test_root), "r+b") as handle:
        data = bytearray(handle.read())
        length = int.from_bytes(data[10:14], "little")
        names = bytes(data[14:14 + length]).split(b"\0", 2)
        inode_at = 14 + len(names[0]) + len(names[1]) + 2 + 16
        data[inode_at] ^= 1
        data[14 + length:18 + length] = zlib.crc32(bytes(data[9:14 + length])).to_bytes(4, "little")
        handle.seek(0)
        handle.write(data)


@unittest.skipUnless(WINDOWS, "the system's own list exists only on Windows")
class SystemListTests(PendingCase):
    VALUES = ("PendingFileRenameOperations", "PendingFileRenameOperations2")

    def registry(self, *args):
        """Runs the helper that queues as another program would and reads or writes the raw
        values; its standard output."""
        done = subprocess.run(command(os.environ["PINFILE_QUEUE_MOVE"], list(args)), env=environment(),
                              capture_output=True, timeout=TIMEOUT, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.decode().strip()

    def raw_value(self, value):
        """The value's bytes exactly as stored, or None when it is absent."""
        text = self.registry("--read", value)
        return None if text == "absent" else bytes.fromhex(text)

    @staticmethod
    def multi_string(strings):
        return "".join(string + "\0" for string in strings + [""]).encode("utf-16-le")

    def write_second_value(self, strings):
        """Writes PendingFileRenameOperations2 by hand; the restart under Wine leaves it, so
        it goes when the test ends."""
        self.addCleanup(self.registry, "--write", self.VALUES[1])
        self.registry("--write", self.VALUES[1], self.multi_string(strings).hex())
        self.assertEqual(self.raw_value(self.VALUES[1]), self.multi_string(strings))

    def path(self, name):
        return native_path(os.path.join(self.work.path, name))

    def internal(self, name):
        return "\\??\\" + self.path(name)

    def test_everything_the_system_will_do_is_listed_until_the_restart(self):
        restart()  # start from an empty list
        self.work.file("new.dll", b"new")
        target = self.work.file("loaded.dll", b"old")
        victim = self.work.file("victim.dll", b"x")
        other = self.work.file("other.dll", b"y")
        os.mkdir(os.path.join(self.work.path, "sub"))
        look_alike = self.work.file(os.path.join("sub", "TMP1234.tmp"), b"another program's")
        replaced = self.work.file(os.path.join("sub", "a.dll"), b"old")
        with held(target):
            self.assertOutput(self.run_pinfile("/C", "new.dll", "loaded.dll"), [QUEUED_COPY], EXIT_QUEUED)
        with held(victim):  # through another spelling of the name
            self.assertOutput(self.run_pinfile("/D", "\\\\?\\" + native_path(victim)), [QUEUED_DELETE],
                              EXIT_QUEUED)
        self.registry(native_path(other))
        self.registry("--replace", native_path(look_alike), native_path(replaced))

        staged = native_path(os.path.join(self.work.path, self.staged_files()[0]))
        expected = [replace_line(native_path(target), staged), delete_line(native_path(victim)),
                    delete_line(native_path(other)), replace_line(native_path(replaced), native_path(look_alike))]
        self.assertOutput(self.pending("list"), numbered(expected), 0)
        # As data: another program's operations are listed, but are not pinfile's restart,
        # whatever their names look like.
        document = json.loads(self.pending("list", "--json").stdout)
        self.assertEqual([(o["kind"], o["target"], o["made_by_pinfile"], o["registry_value"])
                          for o in document["operations"]],
                         [("replace", native_path(target), True, self.VALUES[0]),
                          ("delete", native_path(victim), True, self.VALUES[0]),
                          ("delete", native_path(other), False, self.VALUES[0]),
                          ("replace", native_path(replaced), False, self.VALUES[0])])
        self.assertTrue(document["restart_required"])

        restart()
        self.assertOutput(self.pending("list"), [EMPTY], 0)
        self.assertEqual(self.work.names(), ["loaded.dll", "new.dll", "sub"])
        self.assertEqual(self.work.read("loaded.dll"), b"new")
        self.assertEqual(self.work.read(os.path.join("sub", "a.dll")), b"another program's")

    def test_a_command_done_now_withdraws_what_another_program_queued(self):
        # (arguments and output; the undoing operation that another program queued, and one
        # written by hand in the second value; what the restart leaves of file.dll)
        cases = [
            (["/D", "file.dll"], DELETED, ["mover.dll", "file.dll"],
             ["TMP1234.tmp", "!*1", "FILE.DLL"], None),
            (["/C", "new.dll", "file.dll"], COPIED, ["file.dll"], ["File.dll", "*1", None], b"new"),
        ]
        for args, output, queued, (source, marks, target), content in cases:
            self.work = Workspace()
            self.addCleanup(self.work.close)
            with self.subTest(args=args):
                restart()  # start from an empty list
                for name in ("file.dll", "mover.dll", "TMP1234.tmp", "keep.dll"):
                    self.work.file(name, b"old")
                self.work.file("new.dll", b"new")
                by_hand = (["*1" + self.internal(source), ""] if target is None
                           else [self.internal(source), marks + self.internal(target)])
                with one_boot(self.work.path):
                    self.registry(self.path("keep.dll"))
                    self.registry(*[self.path(name) for name in queued])
                    self.registry(self.path("mover.dll"), self.path("elsewhere.dll"))
                    first = self.raw_value(self.VALUES[0]).decode("utf-16-le").split("\0")
                    # Kept: a "*1" deletion, an "@" one, a form unknown here, a lone last name.
                    second = (["*1" + self.internal("keep2.dll"), ""] + by_hand +
                              ["@" + self.internal("keep.dll"), "", "\\??\\UNKNOWN\\form", "!\\??\\x",
                               self.internal("odd.dll")])
                    self.write_second_value(second)
                    listed = self.pending("list").stdout.decode().splitlines()
                    self.assertEqual(len(listed), 8, listed)

                    result = self.run_pinfile(*args)
                    self.assertOutput(result, [output], EXIT_DONE)
                    self.assertEqual(result.stderr, encode_lines(
                        ["Отменено: " + listed[1][len("2. "):], "Отменено: " + listed[4][len("5. "):]]))
                    del first[2:4], second[2:4]
                    self.assertEqual(self.raw_value(self.VALUES[0]), "\0".join(first).encode("utf-16-le"))
                    self.assertEqual(self.raw_value(self.VALUES[1]), self.multi_string(second))
                    if target is not None:  # another program's replacement keeps its source,
                        # though it has the name of a staged file beside its target
                        self.assertTrue(os.path.exists(os.path.join(self.work.path, source)))
                restart()
                if content is None:
                    self.assertFalse(os.path.exists(os.path.join(self.work.path, "file.dll")))
                else:
                    self.assertEqual(self.work.read("file.dll"), content)

    def test_a_later_command_through_another_name_of_the_file_withdraws_the_queued_one(self):
        # (earlier operation on real\\longtargetname.dll, later command through which name,
        # done now or queued while the file is held; what the restart leaves of the file)
        drive = os.path.join(wine_prefix(), "dosdevices", "m:")
        cases = [("delete", "8.3 name", b"n1"), ("delete", "\\\\.\\", b"n1"),
                 ("delete", "second drive", b"n1"), ("delete", "linked folder", b"n1"),
                 ("copy", "8.3 name", None), ("move away", "plain", b"n1"),
                 ("delete", "\\\\.\\ queued", b"n1"), ("delete", "\\\\?\\ queued", b"n1"),
                 ("delete", "\\\\.\\second drive queued", b"n1"), ("delete", "8.3 name queued", b"n1"),
                 ("move away by 8.3 name", "plain", b"n1")]
        for earlier, alias, expected in cases:
            self.work = Workspace()
            self.addCleanup(self.work.close)
            os.mkdir(os.path.join(self.work.path, "real"))
            os.symlink("real", os.path.join(self.work.path, "linked"))
            if os.path.lexists(drive):
                os.remove(drive)
            os.symlink(os.path.join(self.work.path, "real"), drive)
            self.addCleanup(lambda: os.path.lexists(drive) and os.remove(drive))
            restart()  # start from an empty list
            with self.subTest(earlier=earlier, alias=alias), one_boot(self.work.path):
                self.work.file("n1.dll", b"n1")
                self.work.file("v2.dll", b"v2")
                target = self.work.file("real/longtargetname.dll", b"old")
                plain = self.path("real\\longtargetname.dll")
                queued = alias.endswith(" queued")
                name = {"8.3 name": lambda: self.registry("--short", plain),
                        "\\\\.\\": lambda: "\\\\.\\" + plain,
                        "\\\\?\\": lambda: "\\\\?\\" + plain,
                        "second drive": lambda: "M:\\longtargetname.dll",
                        "\\\\.\\second drive": lambda: "\\\\.\\M:\\longtargetname.dll",
                        "linked folder": lambda: self.path("linked\\longtargetname.dll"),
                        "plain": lambda: plain}[alias.removesuffix(" queued")]()
                if alias != "plain":
                    self.assertNotEqual(name.lower(), plain.lower())
                if earlier.startswith("move away"):  # another program's, maybe by the 8.3 name
                    moved = self.registry("--short", plain) if earlier.endswith("8.3 name") else plain
                    self.registry(moved, plain + ".old")
                else:
                    with held(target):
                        args = ["/C", "v2.dll", plain] if earlier == "copy" else ["/D", plain]
                        self.assertEqual(self.run_pinfile(*args).status, EXIT_QUEUED)
                listed = self.pending("list").stdout.decode().splitlines()[0][len("1. "):]
                if earlier.endswith("8.3 name"):  # the list keeps the name as it was queued
                    self.assertIn("~", listed)
                args = ["/D", name] if earlier == "copy" else ["/C", "n1.dll", name]
                with held(target) if queued else contextlib.nullcontext():
                    result = self.run_pinfile(*args)
                if queued:  # its own new operation stays queued
                    self.assertOutput(result, [QUEUED_COPY], EXIT_QUEUED)
                else:
                    self.assertOutput(result, [DELETED if earlier == "copy" else COPIED], EXIT_DONE)
                self.assertEqual(self.last_stderr_lines(), ["Отменено: " + listed])
            restart()
            with self.subTest(earlier=earlier, alias=alias, after="restart"):
                if expected is None:
                    self.assertFalse(os.path.exists(target))
                else:
                    self.assertEqual(self.work.read("real/longtargetname.dll"), expected)
                self.assertEqual(os.listdir(os.path.join(self.work.path, "real")),
                                 [] if expected is None else ["longtargetname.dll"])
                # This boot's only run is a list: it still settles the restart's records, so
                # the next case (with M: elsewhere) is not judged by them.
                self.assertEqual(self.pending("list").stdout.decode().splitlines(), [EMPTY])

    def test_a_staged_file_that_is_gone_or_changed_is_marked_and_can_be_cancelled(self):
        # (what happens to the staged file, its mark, the prefix of the target's name)
        missing, changed = "(промежуточный файл отсутствует)", "(промежуточный файл изменён)"
        for change, mark, prefix in [("deleted", missing, ""), ("overwritten", changed, ""),
                                     ("deleted", missing, "\\\\?\\"), ("overwritten", changed, "\\\\.\\")]:
            self.work = Workspace()
            self.addCleanup(self.work.close)
            restart()  # start from an empty list
            with self.subTest(change=change, prefix=prefix), one_boot(self.work.path):
                self.work.file("new.dll", b"new")
                target = self.work.file("t.dll", b"old")
                with held(target):
                    name = prefix + self.path("t.dll") if prefix else "t.dll"
                    self.assertOutput(self.run_pinfile("/C", "new.dll", name), [QUEUED_COPY],
                                      EXIT_QUEUED)
                staged = self.staged_files()[0]
                line = replace_line(native_path(target), self.path(staged))
                self.assertOutput(self.pending("list"), numbered([line]), 0)
                if change == "deleted":
                    os.remove(os.path.join(self.work.path, staged))
                else:
                    self.work.file(staged, b"someone else's bytes")
                self.assertOutput(self.pending("list"), numbered([line + " " + mark]), 0)
                self.assertOutput(self.pending("cancel", "1"), ["Отменено: " + line], 0)
                self.assertOutput(self.pending("list"), [EMPTY], 0)
            restart()
            with self.subTest(change=change, prefix=prefix, after="restart"):
                self.assertEqual(self.work.read("t.dll"), b"old")
                # What someone else put there is not pinfile's to delete.
                self.assertEqual(self.staged_files(), [] if change == "deleted" else [staged])

    def test_a_deletion_queued_through_any_spelling_is_pinfiles_until_it_is_cancelled(self):
        # The record follows the file's one normal name: another program's deletion of the
        # file, queued after pinfile's was cancelled, is not pinfile's.
        for prefix in ("\\\\?\\", "\\\\.\\"):
            restart()  # start from an empty list
            with self.subTest(prefix=prefix), one_boot(self.work.path):
                victim = native_path(self.work.file("victim.dll", b"x"))
                with held(self.work.path + "/victim.dll"):
                    self.assertOutput(self.run_pinfile("/D", prefix + victim), [QUEUED_DELETE], EXIT_QUEUED)
                self.assertEqual(self.made_by_pinfile(), ([True], True))
                self.assertOutput(self.pending("cancel", prefix + victim), ["Отменено: " + delete_line(victim)],
                                  EXIT_DONE)
                self.registry(victim)
                self.assertEqual(self.made_by_pinfile(), ([False], False))

    def made_by_pinfile(self):
        document = json.loads(self.pending("list", "--json").stdout)
        return [o["made_by_pinfile"] for o in document["operations"]], document["restart_required"]

    def test_a_run_killed_or_powered_off_while_it_stages_leaves_nothing(self):
        # A kill ends pinfile alone; a power loss also ends Wine's server before pinfile's
        # handles are closed. Another program's look-alike in the folder stays either way.
        for stop in ("kill", "power loss"):
            self.work = Workspace()
            self.addCleanup(self.work.close)
            restart()  # start from an empty list
            with self.subTest(stop=stop):
                with open(self.work.file("big.dll"), "r+b") as big:
                    big.truncate(512 << 20)  # long enough to be caught while it is copied
                self.work.file("new.dll", b"new")
                self.work.file("TMP1234.tmp", b"another program's")
                target = self.work.file("t.dll", b"old")
                with held(target):
                    run = subprocess.Popen(command(EXE, ["/C", "big.dll", "t.dll"]), cwd=self.work.path,
                                           env=self.pinfile_env(), stdout=subprocess.PIPE)
                    staged = self.wait_for_staged_bytes(run, ignore="TMP1234.tmp")
                    run.send_signal(signal.SIGSTOP)  # where it is: still copying
                    self.assertLess(os.path.getsize(os.path.join(self.work.path, staged)), 512 << 20)
                    if stop == "kill":
                        run.kill()
                        run.wait(timeout=TIMEOUT)
                        self.assertEqual(self.staged_files(), ["TMP1234.tmp"])
                    else:
                        self.assertTrue(power_loss(run), "no Wine server of this prefix found")
                        self.assertIn(staged, self.staged_files())  # as the power loss left it
                run.stdout.close()
                self.assertOutput(self.run_pinfile("/C", "new.dll", "other.dll"), [COPIED], EXIT_DONE)
                self.assertEqual(self.staged_files(), ["TMP1234.tmp"])
                self.assertOutput(self.pending("list"), [EMPTY], 0)

    def wait_for_staged_bytes(self, run, ignore):
        """The staged file of the run once the copy into it has begun."""
        for _ in range(6000):
            found = [name for name in self.staged_files() if name != ignore
                     and os.path.getsize(os.path.join(self.work.path, name)) > 0]
            if found:
                return found[0]
            self.assertIsNone(run.poll(), "the run ended before it was seen staging")
            time.sleep(0.01)
        self.fail("no staged file seen")

    def test_every_form_the_system_writes_is_listed_as_a_plain_path(self):
        # (the strings of one operation, the line listed for it), value by value in the order
        # the restart carries them out: the first value, then the second.
        replace = replace_line("C:\\t.dll", "C:\\s.dll")
        first = [
            (["*1\\??\\C:\\a.dll", ""], delete_line("C:\\a.dll")),
            (["\\??\\UNC\\srv\\share\\x.dll", ""], delete_line("\\\\srv\\share\\x.dll")),
            (["\\??\\C:\\s.dll", "!\\??\\C:\\t.dll"], replace),
            (["\\??\\C:\\s.dll", "!@\\??\\C:\\t.dll"], replace),
            (["\\??\\C:\\s.dll", "@!*2\\??\\C:\\t.dll"], replace),
            (["\\??\\C:\\s.dll", "@\\??\\C:\\t.dll"], 'Переместить "C:\\s.dll" в "C:\\t.dll"'),
            (["\\\\?\\C:\\p.dll", ""], delete_line("C:\\p.dll")),
        ]
        not_understood = [["\\??\\C:\\s.dll", "!"], ["\\??\\UNKNOWN\\form", ""], ["*\\??\\C:\\a.dll", ""],
                          ["!\\??\\C:\\a.dll", ""], ["\\??\\C:\\s.dll", "!!\\??\\C:\\t.dll"],
                          ["C:\\plain.dll", ""], ["\\??\\UNC\\srv", ""]]
        second = [(pair, 'Запись "%s" "%s" (не распознано)' % tuple(pair)) for pair in not_understood]
        second.append((["*1\\??\\C:\\lone.dll"], delete_line("C:\\lone.dll")))  # its target is the closing NUL
        restart()  # start from an empty list
        for value in self.VALUES:
            self.addCleanup(self.registry, "--write", value)
        with one_boot(self.work.path):
            for value, entries in zip(self.VALUES, (first, second)):
                strings = [string for pair, _ in entries for string in pair]
                self.registry("--write", value, self.multi_string(strings).hex())
            expected = [line for _, line in first + second]
            self.assertOutput(self.pending("list"), numbered(expected), 0)
            # What is not understood can still be cancelled; the list numbers anew each time.
            for round_ in range(2):
                with self.subTest(cancel=round_):
                    self.assertOutput(self.pending("cancel", str(len(first) + 1)),
                                      ["Отменено: " + expected[len(first)]], 0)
                    del expected[len(first)]
            self.assertOutput(self.pending("list"), numbered(expected), 0)

    def test_the_last_restart_tells_what_it_did_not_carry_out(self):
        # (what is done before the restart: nothing, or the staged file of t2.dll deleted and
        # t1.dll and v.dll held across it; the not carried out operations' reasons)
        cases = [(False, []), (True, [("целевой файл остался прежним", "target_unchanged"),
                                      ("промежуточный файл отсутствовал", "staged_file_missing"),
                                      ("файл остался на месте", "target_still_present")])]
        restart()  # start from an empty list
        new = self.work.file("new.dll", b"new")
        for spoil, reasons in cases:
            with self.subTest(spoil=spoil), contextlib.ExitStack() as boot:
                boot.enter_context(one_boot(self.work.path))
                files = [self.work.file(name, b"old") for name in ("t1.dll", "t2.dll", "v.dll")]
                lines, operations = [], []
                for target in files[:2]:
                    with held(target):
                        self.assertEqual(self.run_pinfile("/C", new, target).status, EXIT_QUEUED)
                    staged = [name for name in self.staged_files() if self.path(name) not in
                              [o.get("source") for o in operations]][0]
                    lines.append(replace_line(native_path(target), self.path(staged)))
                    operations.append({"kind": "replace", "target": native_path(target),
                                       "source": self.path(staged)})
                with held(files[2]):
                    self.assertEqual(self.run_pinfile("/D", files[2]).status, EXIT_QUEUED)
                lines.append(delete_line(native_path(files[2])))
                operations.append({"kind": "delete", "target": native_path(files[2])})
                if spoil:
                    os.remove(os.path.join(self.work.path, operations[1]["source"].split("\\")[-1]))
                    for held_file in (files[0], files[2]):
                        boot.enter_context(held(held_file))
                    subprocess.run(["wineboot", "-r"], env=environment(), timeout=TIMEOUT, check=True,
                                   capture_output=True)
            restart()
            with self.subTest(spoil=spoil, after="restart"), one_boot(self.work.path):
                missed = [dict(operation, why=why) for operation, (_, why) in zip(operations, reasons)]
                self.assertEqual(json.loads(self.pending("list", "--json").stdout)["last_restart"],
                                 {"carried_out": len(files) - len(missed), "not_carried_out": missed})
                self.assertOutput(self.pending("list"), [
                    "Не выполнено при последней перезагрузке: %s (%s)" % (line, reason)
                    for line, (reason, _) in zip(lines, reasons)] + [EMPTY], 0)
                self.assertEqual(os.path.exists(files[2]), spoil)
            for name in self.staged_files():
                os.remove(os.path.join(self.work.path, name))
        restart()  # a restart with nothing of pinfile's
        with one_boot(self.work.path):
            self.assertEqual(json.loads(self.pending("list", "--json").stdout)["last_restart"],
                             {"carried_out": 0, "not_carried_out": []})

    def test_cancel_withdraws_one_operation_with_the_staged_file_pinfile_made(self):
        restart()  # start from an empty list
        self.work.file("new.dll", b"new")
        target = self.work.file("loaded.dll", b"old")
        self.work.file("other.dll", b"y")
        os.mkdir(os.path.join(self.work.path, "sub"))
        foreign = self.work.file(os.path.join("sub", "TMP1a.tmp"), b"another program's")
        with one_boot(self.work.path):
            with held(target):
                self.assertOutput(self.run_pinfile("/C", "new.dll", "loaded.dll"), [QUEUED_COPY],
                                  EXIT_QUEUED)
            staged = self.path(self.staged_files()[0])
            self.registry(self.path("other.dll"))
            # A look-alike of a staged file beside its target, queued by another program.
            self.write_second_value([self.internal("sub\\TMP1a.tmp"), "!" + self.internal("sub\\target2.dll")])
            operations = [replace_line(native_path(target), staged), delete_line(self.path("other.dll")),
                          replace_line(self.path("sub\\target2.dll"), native_path(foreign))]
            self.assertOutput(self.pending("list"), numbered(operations), 0)

            # The second cancellation numbers the list as it is after the first.
            for number, cancelled, left in [(1, 0, [1, 2]), (2, 2, [1])]:
                with self.subTest(cancel=number):
                    self.assertOutput(self.pending("cancel", str(number)),
                                      ["Отменено: " + operations[cancelled]], 0)
                    self.assertOutput(self.pending("list"), numbered([operations[i] for i in left]), 0)
            self.assertEqual(self.staged_files(), [])
            self.assertTrue(os.path.exists(foreign))
            for number in ("2", "0"):
                with self.subTest(cancel=number):
                    self.assertOutput(self.pending("cancel", number),
                                      ["Операции с номером %s в очереди нет." % number], EXIT_FAILED)
        restart()
        self.assertFalse(os.path.exists(os.path.join(self.work.path, "other.dll")))
        self.assertEqual(self.work.read("loaded.dll"), b"old")
        self.assertEqual(self.staged_files(), [])


@unittest.skipUnless(WINDOWS, "code pages are Windows'")
class CodePageTests(PendingCase):
    def in_console(self, code_page, program, *args):
        """Runs the program in a console of the code page (Wine gives one only to a terminal),
        its output redirected to files; what it wrote on each."""
        self.work.file("run.cmd", b'@chcp %1 >nul\r\n@"%PINFILE_RUN%" %2 %3 %4 > out.txt 2> err.txt\r\n')
        master, slave = pty.openpty()
        try:
            subprocess.run(["wine", "cmd", "/c", "run.cmd", str(code_page)] + list(args), cwd=self.work.path,
                           env=environment({"PINFILE_RUN": native_path(program)}), stdin=slave, stdout=slave,
                           stderr=slave, timeout=TIMEOUT, check=False)
        finally:
            os.close(slave)
            os.close(master)
        return self.work.read("out.txt"), self.work.read("err.txt")

    def test_a_line_that_the_code_page_cannot_hold_is_written_in_utf8_never_as_another_name(self):
        self.work.file("new.dll", b"new")
        names = ["Библиотека.dll", "Müller_库.dll"]
        lines = [delete_line(self.path(name)) for name in names]
        for code_page in (866, 1251):
            # An empty list to begin with, and no outcome of earlier tests' restarts: a run that
            # takes the lock settles their records, and the next restart has nothing to tell.
            restart()
            self.pending("list")
            restart()
            encoding = "cp%d" % code_page
            with self.subTest(code_page=code_page), one_boot(self.work.path):
                for name in names:
                    self.work.file(name, b"old")
                    with held(os.path.join(self.work.path, name)):
                        self.assertEqual(self.run_pinfile("/D", name).status, EXIT_QUEUED)
                    # A list is written in one encoding: the code page while it holds every line.
                    shown = numbered(lines[:names.index(name) + 1])
                    self.assertEqual(self.in_console(code_page, os.environ["PINFILE_PENDING_EXE"], "list"),
                                     (encode_lines(shown).decode().encode(encoding)
                                      if name == names[0] else encode_lines(shown), b""))
                # pinfile's own lines too, each in the encoding that holds it.
                self.assertEqual(self.in_console(code_page, EXE, "/C", "new.dll", names[1]),
                                 (encode_lines([COPIED]).decode().encode(encoding),
                                  encode_lines(["Отменено: " + lines[1]])))
                self.assertEqual(self.pending("cancel", "1").status, 0)

    def path(self, name):
        return native_path(os.path.join(self.work.path, name))


if __name__ == "__main__":
    unittest.main()


class HeldTests(PendingCase):
    def test_held_tells_whether_a_copy_now_would_wait_for_the_restart(self):
        free, busy = "Файл не занят.", "Файл занят другим процессом."
        target = self.work.file("x.dll", b"v1")
        # (how the file is held, the name asked about, the line, the status)
        cases = [(None, "x.dll", free, EXIT_DONE), ("flock", "x.dll", busy, EXIT_QUEUED),
                 (None, "new.dll", free, EXIT_DONE)]
        if not WINDOWS:
            os.symlink("x.dll", os.path.join(self.work.path, "link.dll"))
            cases += [("lockf", "x.dll", busy, EXIT_QUEUED), ("flock", "link.dll", busy, EXIT_QUEUED)]
        for how, name, line, status in cases:
            with self.subTest(how=how, name=name):
                with held(target, how) if how else contextlib.nullcontext():
                    self.assertOutput(self.pending("held", name), [line], status)
        # A name in a folder that is not there cannot be asked about, as a copy cannot make it.
        self.assertFailureReport(self.pending("held", os.path.join("none", "x.dll")),
                                 "Не удалось проверить файл.", errno.ENOENT if not WINDOWS else 3)
