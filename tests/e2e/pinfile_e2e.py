"""End-to-end tests of pinfile: each case is written once and runs on the build under test
(natively, or the Windows build under Wine); see harness.py."""

import contextlib
import errno
import mmap
import os
import shutil
import signal
import socket
import stat
import subprocess
import threading
import time
import unittest

from harness import *  # noqa: F401,F403  (the harness is this suite's vocabulary)


def bind_socket(path):
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(path)


def tool_output(*args):
    return subprocess.run(args, capture_output=True, check=True).stdout.decode()


# What a replaced target keeps: (kind, how the target is made so, how to see it afterwards,
# what is seen). Run as root, as administrators replace system files. The mode and the ACL let
# others write the target, which the staged file of a queued replacement must not while it waits.
METADATA = [
    ("owner, group and mode", lambda t: (os.chown(t, 65534, 65534), os.chmod(t, 0o662)),
     lambda t: (os.stat(t).st_uid, os.stat(t).st_gid, stat.S_IMODE(os.stat(t).st_mode)), (65534, 65534, 0o662)),
    ("set-id bits", lambda t: os.chmod(t, 0o6755), lambda t: stat.S_IMODE(os.stat(t).st_mode), 0o6755),
    ("ACL", lambda t: subprocess.run(["setfacl", "-m", "u:daemon:rw", t], check=True),
     lambda t: "user:daemon:rw-" in tool_output("getfacl", "-p", t), True),
    ("extended attribute", lambda t: os.setxattr(t, "user.x", b"kept"),
     lambda t: tool_output("getfattr", "--only-values", "-n", "user.x", t), "kept"),
    ("capability, which goes", lambda t: subprocess.run(["setcap", "cap_net_raw+ep", t], check=True),
     lambda t: "security.capability" in os.listxattr(t), False),
]


class UsageTests(Case):
    def test_every_rejected_command_line_gets_the_same_usage_text(self):
        self.work.file("a.dll", b"x")
        rejected = [[], ["/C"], ["a.dll"], ["/C", "a.dll", "b.dll", "c.dll"], ["a.dll", "/C"],
                    ["a.dll", "/C", "b.dll"], ["/D", "a.dll", "b.dll"], ["-C", "a.dll"],
                    ["/COPY", "a.dll"], ["/C:", "a.dll"], [" /C", "a.dll"], ["/C ", "a.dll"],
                    ["/X", "a.dll"]]
        for args in rejected:
            with self.subTest(args=args):
                self.assertOutput(self.run_pinfile(*args), USAGE, EXIT_USAGE)
        for asked in (["/?"], ["--help"]):  # asked for, the usage is no failure
            with self.subTest(args=asked):
                self.assertOutput(self.run_pinfile(*asked), USAGE, EXIT_DONE)
        self.assertEqual(self.work.names(), ["a.dll"])

    def test_a_closed_or_full_output_is_a_run_time_error_named_by_the_program(self):
        # On Windows a process with no standard output at all has nowhere to write, and its
        # exit status alone tells what was done.
        outputs = {"closed": lambda: os.close(1)}
        if not WINDOWS:  # Wine does not pass the full device's error through
            outputs["full"] = lambda: os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
        programs = [(EXE, [], b"pinfile", EXIT_USAGE),
                    (os.environ["PINFILE_PENDING_EXE"], ["--help"], b"pinfile-pending", EXIT_DONE)]
        for name, redirect in outputs.items():
            for program, args, own_name, outcome in programs:
                with self.subTest(output=name, program=own_name):
                    result = self.run_pinfile(*args, program=program, stdout=None, preexec_fn=redirect)
                    if WINDOWS:
                        self.assertEqual((result.status, result.stderr), (outcome, b""))
                        continue
                    self.assertEqual(result.status, EXIT_RUNTIME, result.stderr)
                    self.assertTrue(result.stderr.startswith(own_name + b": run-time error: "), result.stderr)
                    self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)

    @unittest.skipUnless(WINDOWS, "a detached process is Windows'")
    def test_a_detached_run_tells_by_its_exit_status_what_it_did(self):
        self.work.file("new.dll", b"new")
        target = self.work.file("t.dll", b"old")
        launcher = os.environ["PINFILE_QUEUE_MOVE"]
        line = '"%s" /C "%s" "%s"' % (native_path(EXE), self.path_of("new.dll"), self.path_of("t.dll"))
        restart()  # an empty list to begin with
        with one_boot(self.work.path):
            with held(target):
                started = run(["--detached", line], cwd=self.work.path, program=launcher)
            self.assertEqual(started.stdout.strip(), b"3010", started.stderr)
            listed = run(["list"], cwd=self.work.path, program=os.environ["PINFILE_PENDING_EXE"])
            self.assertIn(self.path_of("t.dll").encode(), listed.stdout)
        restart()
        self.assertEqual(self.work.read("t.dll"), b"new")

    def path_of(self, name):
        return native_path(os.path.join(self.work.path, name))



@contextlib.contextmanager
def spoilt_lock(test_root, make):
    """Puts something that may not serve as the POSIX run lock in its place for the block."""
    lock = os.path.join(test_root, "run", "pinfile.lock")
    os.makedirs(os.path.dirname(lock), exist_ok=True)
    make(lock)
    try:
        yield
    finally:
        (os.rmdir if os.path.isdir(lock) and not os.path.islink(lock) else os.remove)(lock)


def lock_file(mode, owner=0):
    def make(lock):
        os.close(os.open(lock, os.O_CREAT | os.O_WRONLY, mode))
        os.chmod(lock, mode)
        os.chown(lock, owner, owner)
    return make


@unittest.skipUnless(WINDOWS or os.geteuid() == 0, "only root's runs take the POSIX run lock")
class RunLockTests(Case):
    def test_a_run_that_waits_too_long_for_another_says_so_and_changes_nothing(self):
        self.work.file("new.dll", b"new")
        self.work.file("lib.dll", b"old")
        pending = os.environ["PINFILE_PENDING_EXE"]
        with another_run(self.root):
            for program, args in [(EXE, ["/C", "new.dll", "lib.dll"]), (pending, ["cancel", "1"])]:
                with self.subTest(args=args):
                    result = self.run_pinfile(*args, program=program, env={"PINFILE_TEST_RUN_WAIT": "1"})
                    self.assertEqual((result.stdout, result.status), (b"", EXIT_FAILED))
                    self.assertEqual(result.stderr.decode("utf-8").splitlines(), [
                        "Ожидание завершения другого запуска pinfile…",
                        "Другой запуск pinfile не завершился за 1 с. Ничего не сделано."])
            # A list only reads the queue as it stands: it never waits.
            for args in (["list"], ["list", "--json"]):
                with self.subTest(args=args):
                    result = self.run_pinfile(*args, program=pending, env={"PINFILE_TEST_RUN_WAIT": "1"})
                    self.assertEqual((result.stderr, result.status), (b"", EXIT_DONE))
        self.assertEqual(self.work.read("lib.dll"), b"old")

    def assertRefusedTurn(self, result, code):
        """Nothing done, and one line on standard error with the system's error."""
        self.assertEqual((result.stdout, result.status), (b"", EXIT_FAILED), result.stderr)
        head, tail = "Не удалось дождаться других запусков pinfile. ", " Ничего не сделано."
        lines = result.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(head) and lines[0].endswith(tail), lines)
        self.assertTrue(error_line_pattern(code).fullmatch(lines[0][len(head):-len(tail)].encode()), lines)

    def test_a_lock_that_may_not_be_used_is_told_and_nothing_is_done(self):
        self.work.file("new.dll", b"new")
        self.work.file("lib.dll", b"old")
        if WINDOWS:  # another kind of object holds the names
            cases = [("global name", [held("Global\\pinfile-run", how="event")], 6),
                     ("both names", [held("Global\\pinfile-run", how="event"), held("pinfile-run", how="event")], 6)]
        else:
            cases = [("another user's", [spoilt_lock(self.root, lock_file(0o600, UNPRIVILEGED))], errno.EACCES),
                     ("open to others", [spoilt_lock(self.root, lock_file(0o644))], errno.EACCES),
                     ("a folder", [spoilt_lock(self.root, os.mkdir)], errno.EISDIR),
                     ("a link", [spoilt_lock(self.root, lambda lock: os.symlink("/dev/null", lock))], errno.ELOOP)]
        for name, blocks, code in cases:
            with self.subTest(lock=name), contextlib.ExitStack() as stack:
                for block in blocks:
                    stack.enter_context(block)
                self.assertRefusedTurn(self.run_pinfile("/C", "new.dll", "lib.dll"), code)
        self.assertEqual(self.work.read("lib.dll"), b"old")

    @unittest.skipIf(WINDOWS, "a failing lock call is injected with strace")
    def test_a_lock_call_that_fails_for_another_reason_is_told_at_once(self):
        if not shutil.which("strace"):
            self.skipTest("needs strace to make the lock call fail")
        self.work.file("new.dll", b"new")
        self.work.file("lib.dll", b"old")
        inject = ["-qq", "-o", "/dev/null", "-e", "trace=flock", "-e", "inject=flock:error=ENOLCK:when=1"]
        result = self.run_pinfile(*(inject + [EXE, "/C", "new.dll", "lib.dll"]), program="strace")
        self.assertRefusedTurn(result, errno.ENOLCK)
        self.assertEqual(self.work.read("lib.dll"), b"old")


@unittest.skipUnless(WINDOWS, "the Windows 9x family exists only for the Windows build")
class HostTests(Case):
    KEY = r"HKCU\Software\Wine\AppDefaults\pinfile.exe"

    def set_version(self, version):
        args = ["add", self.KEY, "/v", "Version", "/d", version, "/f"] if version else \
            ["delete", self.KEY, "/f"]
        subprocess.run(["wine", "reg"] + args, env=environment(), check=True,
                       capture_output=True, timeout=TIMEOUT)

    def test_a_9x_host_gets_only_the_refusal_line(self):
        self.set_version("win98")
        self.addCleanup(self.set_version, None)
        source = self.work.file("a.dll", b"x")
        for args in [[], ["/C", "a.dll", "b.dll"], ["/D", "a.dll"], ["junk"]]:
            with self.subTest(args=args):
                self.assertOutput(self.run_pinfile(*args), [NT_ONLY], EXIT_FAILED)
        self.assertEqual(self.work.names(), ["a.dll"])
        self.assertTrue(os.path.exists(source))

PENDING_EMPTY = "Очередь операций на перезагрузку пуста."


def long_folder(base, length):
    """A folder name of exactly `length` characters below base (a Windows path), made of
    components short enough for the file system."""
    parts, size = [base], len(base)
    while size < length:
        part = min(200, length - size - 1)
        if part < 1:  # no room for a separator and a name: lengthen the one before
            parts[-1] += "e" * (length - size)
            break
        parts.append("d" * part)
        size += part + 1
    folder = "\\".join(parts)
    assert len(folder) == length, (len(folder), length)
    return folder


@unittest.skipUnless(WINDOWS, "names longer than MAX_PATH are a Windows matter")
class LongPathTests(Case):
    """Folders longer than the plain form of a name reaches, spelt with and without \\?\."""

    def pending(self, *args):
        return self.run_pinfile(*args, program=os.environ["PINFILE_PENDING_EXE"])

    def test_copy_and_delete_in_long_folders_held_and_not_held(self):
        restart()  # an empty list to begin with
        self.work.file("new.dll", b"new")
        base = native_path(self.work.path)
        for length in (250, 260, 300, 1000):
            folder = long_folder(base, length)
            local = os.path.join(self.work.path, *folder[len(base) + 1:].split("\\"))
            os.makedirs(local, exist_ok=True)
            for prefix in ("", "\\\\?\\"):
                for command_, is_held in [("/C", False), ("/C", True), ("/D", False), ("/D", True)]:
                    with self.subTest(length=length, prefix=prefix, command=command_, held=is_held):
                        self.check_one(local, prefix + folder + "\\t.dll", command_, is_held)

    def check_one(self, local, target, command_, is_held):
        path = os.path.join(local, "t.dll")
        with open(path, "wb") as handle:
            handle.write(b"old")
        args = ["/C", "new.dll", target] if command_ == "/C" else ["/D", target]
        with held(path) if is_held else contextlib.nullcontext():
            result = self.run_pinfile(*args)
        staged = self.staged_files(local)
        if not is_held:
            self.assertOutput(result, [COPIED if command_ == "/C" else DELETED], EXIT_DONE)
            self.assertEqual(sorted(os.listdir(local)), [] if command_ == "/D" else ["t.dll"])
            if command_ == "/C":
                self.assertEqual(self.work.read(path), b"new")
            return
        plain = native_path(path)
        if command_ == "/C":
            self.assertOutput(result, [QUEUED_COPY], EXIT_QUEUED)
            self.assertEqual(len(staged), 1, staged)
            self.assertEqual(self.work.read(os.path.join(local, staged[0])), b"new")
            line = 'Заменить "%s" файлом "%s"' % (plain, native_path(os.path.join(local, staged[0])))
        else:
            self.assertOutput(result, [QUEUED_DELETE], EXIT_QUEUED)
            self.assertEqual(staged, [])
            line = 'Удалить "%s"' % plain
        self.assertOutput(self.pending("list"), ["1. " + line], EXIT_DONE)
        # Withdrawn again, with the staged copy, so that each case starts from an empty list.
        self.assertOutput(self.pending("cancel", "1"), ["Отменено: " + line], EXIT_DONE)
        self.assertEqual(sorted(os.listdir(local)), ["t.dll"])
        self.assertEqual(self.work.read(path), b"old")


@unittest.skipUnless(WINDOWS, "FILE_ATTRIBUTE_READONLY of the Windows build")
class ReadOnlyTests(Case):
    """Access denied means "in use" only for a file that is not read-only: the restart could
    not change a read-only file either. Run as an unprivileged Wine user in a prefix of its own,
    because as root Wine ignores read-only when copying."""

    @classmethod
    def setUpClass(cls):
        cls.home, cls.env, reason = unprivileged_wine_prefix()
        if reason:
            raise unittest.SkipTest(reason)

    @classmethod
    def tearDownClass(cls):
        end_wine(cls.env, as_unprivileged)
        shutil.rmtree(cls.home, ignore_errors=True)

    def as_user(self, *args, program=None):
        return self.run_pinfile(*args, env=self.env, preexec_fn=as_unprivileged, program=program)

    def assertNothingQueued(self):
        listed = self.as_user("list", program=os.environ["PINFILE_PENDING_EXE"])
        self.assertOutput(listed, [PENDING_EMPTY], EXIT_DONE)

    def prepared(self, read_only):
        self.work.file("new.dll", b"new")
        target = self.work.file("t.dll", b"old")
        give_away(self.work.path)
        if read_only:
            os.chmod(target, 0o444)  # FILE_ATTRIBUTE_READONLY under Wine
        return target

    def test_a_read_only_target_is_refused_with_error_5_and_never_queued(self):
        for command_, message in [("/C", COPY_FAILED), ("/D", DELETE_FAILED)]:
            for is_held in (False, True):
                with self.subTest(command=command_, held=is_held):
                    target = self.prepared(read_only=True)
                    args = ["/C", "new.dll", "t.dll"] if command_ == "/C" else ["/D", "t.dll"]
                    with held(target, env=self.env, preexec_fn=as_unprivileged) if is_held \
                            else contextlib.nullcontext():
                        result = self.as_user(*args)
                    self.assertFailureReport(result, message, 5)
                    self.assertEqual(self.work.read("t.dll"), b"old")
                    self.assertEqual(self.staged_files(), [])
                    self.assertNothingQueued()

    def test_what_else_answers_access_denied_still_waits_for_the_restart(self):
        # (what keeps the file, the command, its answer); a mapped or running file is not
        # read-only, so it waits. Each case is withdrawn again by the next one's cancel.
        cases = [("map", ["/C", "new.dll", "t.dll"], QUEUED_COPY),
                 ("running", ["/D", "t.exe"], QUEUED_DELETE)]
        for how, args, answer in cases:
            with self.subTest(kept=how):
                target = self.prepared(read_only=False)
                if how == "running":
                    shutil.copy(os.environ["PINFILE_HOLD_OPEN"], os.path.join(self.work.path, "t.exe"))
                    give_away(self.work.path)
                    keeper = held(target, env=self.env, preexec_fn=as_unprivileged,
                                  holder=os.path.join(self.work.path, "t.exe"))
                else:
                    keeper = held(target, how="map", env=self.env, preexec_fn=as_unprivileged)
                with keeper:
                    result = self.as_user(*args)
                    self.assertOutput(result, [answer], EXIT_QUEUED)
                    cancelled = self.as_user("cancel", "1", program=os.environ["PINFILE_PENDING_EXE"])
                    self.assertEqual(cancelled.status, EXIT_DONE, cancelled.stdout)
                self.assertNothingQueued()

    def test_a_folder_the_user_cannot_write_is_refused_with_error_5(self):
        # A new target, and a held one whose staged copy cannot be made: the user lacks the
        # right, which the restart would lack too, so nothing waits for it.
        for name, message in [("fresh.dll", COPY_FAILED), ("t.dll", STAGING_FAILED)]:
            with self.subTest(target=name):
                target = self.prepared(read_only=False)
                os.chmod(self.work.path, 0o555)
                with held(target, env=self.env, preexec_fn=as_unprivileged):
                    result = self.as_user("/C", "new.dll", name)
                os.chmod(self.work.path, 0o755)
                self.assertFailureReport(result, message, 5)
                self.assertEqual(self.work.names(), ["new.dll", "t.dll"])
                self.assertNothingQueued()


class CopyTests(Case):
    @unittest.skipUnless(WINDOWS, "device names and sharing modes are Windows'")
    def test_a_device_or_an_unreadable_source_is_refused_and_nothing_is_written(self):
        self.work.file("new.dll", b"new")
        console_name = native_path(os.path.join(self.work.path, "con"))  # a device in any folder
        for name in ["aux.dll", "NUL", "COM1", "\\\\.\\NUL", console_name, "CONOUT$"]:
            for args, message in [(["/C", "new.dll", name], COPY_FAILED), (["/D", name], DELETE_FAILED)]:
                with self.subTest(args=args):
                    result = self.run_pinfile(*args)
                    if name.startswith("\\\\") and args[0] == "/D":
                        self.assertOutput(result, [NOT_FOUND], EXIT_FAILED)  # no entry answers
                    else:
                        self.assertFailureReport(result, message, 123)
        source = self.work.file("held.dll", b"held")
        self.work.file("t.dll", b"old")
        with held(source):  # the source's own failure, not the target's
            self.assertFailureReport(self.run_pinfile("/C", "held.dll", "t.dll"), COPY_FAILED, 32)
        self.assertEqual(self.work.names(), ["held.dll", "new.dll", "t.dll"])
        self.assertEqual(self.work.read("t.dll"), b"old")
        self.assertNothingQueuedFor(self.work.path)

    def test_copies_to_a_new_target_and_over_an_unlocked_one(self):
        self.work.file("new.dll", b"new contents")
        for existing in [None, b"old contents that were longer"]:
            with self.subTest(existing=existing):
                if existing is not None:
                    self.work.file("target.dll", existing)
                self.assertOutput(self.run_pinfile("/C", "new.dll", "target.dll"), [COPIED], EXIT_DONE)
                self.assertEqual(self.work.read("target.dll"), b"new contents")
                self.assertEqual(self.staged_files(), [])

    def test_names_in_any_script_arrive_intact(self):
        self.work.file("Библиотека.dll", "содержимое".encode())
        result = self.run_pinfile("/c", "Библиотека.dll", "Копия ё.dll")
        self.assertOutput(result, [COPIED], EXIT_DONE)
        self.assertEqual(self.work.read("Копия ё.dll"), "содержимое".encode())
        self.assertOutput(self.run_pinfile("/d", "Копия ё.dll"), [DELETED], EXIT_DONE)
        self.assertEqual(self.work.names(), ["Библиотека.dll"])

    @unittest.skipUnless(WINDOWS, "only a Windows program gets its command line as one text to split")
    def test_a_command_line_with_embedded_quotes_is_split_by_the_windows_rules(self):
        # A batch file hands the line to the program exactly as written, quotes and all.
        os.mkdir(os.path.join(self.work.path, "sub dir"))
        self.work.file(os.path.join("sub dir", "new.dll"), b"quoted")
        line = '@"%s" /C "sub dir\\\\"new.dll copy" "of"".dll\r\n' % native_path(EXE)
        self.work.file("run.bat", line.encode())
        result = run(["/c", "run.bat"], cwd=self.work.path, program="cmd")
        self.assertOutput(result, [COPIED], EXIT_DONE)
        self.assertEqual(self.work.read("copy of.dll"), b"quoted")

    def test_two_arguments_copy_into_the_system_folder(self):
        name = "pinfile-test-%d.dll" % os.getpid()
        self.work.file(name, b"library")
        target = os.path.join(system_folder(self.root), name)
        self.addCleanup(lambda: os.path.exists(target) and os.remove(target))
        self.assertOutput(self.run_pinfile("/C", name), [COPIED], EXIT_DONE)
        with open(target, "rb") as handle:
            self.assertEqual(handle.read(), b"library")

        # The same command on the copy that now lies there would copy the file onto itself.
        self.assertOutput(self.run_pinfile("/C", native_path(target)), [COINCIDE], EXIT_FAILED)

    def test_a_missing_source_is_reported(self):
        self.assertOutput(self.run_pinfile("/C", "missing.dll", "t.dll"), [NOT_FOUND], EXIT_FAILED)
        self.assertEqual(self.work.names(), [])

    def test_never_copies_a_file_onto_itself(self):
        self.work.file("a.dll", b"keep")
        spellings = [["a.dll", "a.dll"], ["a.dll", native_path(os.path.join(self.work.path, "a.dll"))],
                     ["a.dll", "." + ("\\" if WINDOWS else "/") + "a.dll"]]
        if WINDOWS:
            spellings.append(["a.dll", "A.DLL"])
        else:
            os.link(os.path.join(self.work.path, "a.dll"), os.path.join(self.work.path, "hard.dll"))
            os.symlink("a.dll", os.path.join(self.work.path, "soft.dll"))
            spellings += [["a.dll", "hard.dll"], ["soft.dll", "a.dll"]]
        for args in spellings:
            with self.subTest(args=args):
                self.assertOutput(self.run_pinfile("/C", *args), [COINCIDE], EXIT_FAILED)
                self.assertEqual(self.work.read("a.dll"), b"keep")

    @unittest.skipIf(WINDOWS, "Windows file names ignore letter case")
    def test_names_that_differ_in_case_are_two_files_on_posix(self):
        self.work.file("a.so", b"lower")
        self.assertOutput(self.run_pinfile("/C", "a.so", "A.so"), [COPIED], EXIT_DONE)
        self.assertEqual(self.work.read("A.so"), b"lower")

    def test_a_missing_target_folder_fails_at_once_and_queues_nothing(self):
        self.work.file("a.dll", b"x")
        target = os.path.join(self.work.path, "no-such-folder", "a.dll")
        result = self.run_pinfile("/C", "a.dll", native_path(target))
        self.assertFailureReport(result, COPY_FAILED, 3 if WINDOWS else errno.ENOENT)
        self.assertNothingQueuedFor(target)
        self.assertEqual(self.work.names(), ["a.dll"])

    def test_a_target_in_use_is_replaced_at_the_next_restart(self):
        self.work.file("new.dll", b"new")
        target = self.work.file("loaded.dll", b"old")
        with held(target):
            result = self.run_pinfile("/C", "new.dll", "loaded.dll")
        self.assertOutput(result, [QUEUED_COPY], EXIT_QUEUED)
        self.assertEqual(self.work.read("loaded.dll"), b"old")
        staged = self.staged_files()
        self.assertEqual(len(staged), 1, "the file is staged next to its target")
        self.assertEqual(self.work.read(staged[0]), b"new")
        if WINDOWS:
            restart()
            self.assertEqual(self.work.read("loaded.dll"), b"new")
            self.assertEqual(self.staged_files(), [])
        else:
            self.assertEqual(read_journal(self.root),
                             [(b"R", os.path.join(self.work.path, staged[0]).encode(), target.encode())])


@unittest.skipIf(WINDOWS, "what stands in for the Windows calls on POSIX")
class PosixCopyTests(Case):
    def test_both_kinds_of_advisory_lock_mean_in_use(self):
        self.work.file("new.so", b"new")
        target = self.work.file("lib.so", b"old")
        for how in ["flock", "lockf"]:
            with self.subTest(lock=how), held(target, how):
                self.assertOutput(self.run_pinfile("/C", "new.so", "lib.so"), [QUEUED_COPY], EXIT_QUEUED)
        # The second replacement takes the place of the first, staged file and all.
        (record,) = read_journal(self.root)
        self.assertEqual(record[0], b"R")
        self.assertEqual([os.path.join(self.work.path, name).encode() for name in self.staged_files()],
                         [record[1]])
        self.assertEqual(self.work.read("lib.so"), b"old")

    def test_a_process_that_maps_the_old_file_keeps_its_bytes(self):
        self.work.file("new.so", b"N" * 8192)
        target = self.work.file("lib.so", b"O" * 8192)
        with open(target, "rb") as handle, mmap.mmap(handle.fileno(), 0, prot=mmap.PROT_READ) as old:
            self.assertOutput(self.run_pinfile("/C", "new.so", "lib.so"), [COPIED], EXIT_DONE)
            self.assertEqual(old[:], b"O" * 8192)
        self.assertEqual(self.work.read("lib.so"), b"N" * 8192)

    def test_a_link_is_written_through_and_a_new_file_takes_the_source_permissions(self):
        source = self.work.file("tool", b"#!/bin/sh\n")
        os.chmod(source, 0o751)
        os.mkdir(os.path.join(self.work.path, "real"))
        existing = self.work.file("real/tool", b"old")
        os.chmod(existing, 0o640)
        # (link, the file it leads to, the mode that file has afterwards)
        for link, real, mode in [("link", existing, 0o640),
                                 ("dangling", os.path.join(self.work.path, "real", "new"), 0o751)]:
            with self.subTest(link=link):
                os.symlink(os.path.relpath(real, self.work.path), os.path.join(self.work.path, link))
                self.assertOutput(self.run_pinfile("/C", "tool", link), [COPIED], EXIT_DONE)
                self.assertTrue(os.path.islink(os.path.join(self.work.path, link)))
                with open(real, "rb") as handle:
                    self.assertEqual(handle.read(), b"#!/bin/sh\n")
                self.assertEqual(stat.S_IMODE(os.stat(real).st_mode), mode)
                self.assertEqual(self.staged_files(os.path.dirname(real)), [])
        # A link to a file in use is as much in use: the file it leads to waits for the restart.
        os.symlink("real/tool", os.path.join(self.work.path, "held"))
        with held(existing):
            self.assertOutput(self.run_pinfile("/C", "tool", "held"), [QUEUED_COPY], EXIT_QUEUED)
        self.assertEqual([entry[2] for entry in read_journal(self.root)], [existing.encode()])
        os.symlink("no-such-folder/x", os.path.join(self.work.path, "nowhere"))
        self.assertFailureReport(self.run_pinfile("/C", "tool", "nowhere"), COPY_FAILED, errno.ENOENT)

    def test_a_fifo_socket_or_device_is_never_replaced(self):
        self.work.file("new.so", b"new")
        make = {"fifo": lambda path: os.mkfifo(path),
                "socket": bind_socket}
        if os.geteuid() == 0:
            make["device"] = lambda path: os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        for kind, create in make.items():
            with self.subTest(kind=kind):
                path = os.path.join(self.work.path, kind)
                create(path)
                before = os.lstat(path)
                self.assertFailureReport(self.run_pinfile("/C", "new.so", kind), COPY_FAILED, errno.EINVAL)
                after = os.lstat(path)
                self.assertEqual((after.st_ino, after.st_mode), (before.st_ino, before.st_mode))
        self.assertNothingQueuedFor(self.work.path)
        self.assertEqual(self.staged_files(), [])

    def test_holes_stay_holes(self):
        source = self.work.file("sparse.so")
        with open(source, "r+b") as handle:
            handle.truncate(1 << 30)
            handle.seek(512 << 20)
            handle.write(b"x" * 4096)
        self.assertOutput(self.run_pinfile("/C", "sparse.so", "copy.so"), [COPIED], EXIT_DONE)
        copy = os.stat(os.path.join(self.work.path, "copy.so"))
        self.assertEqual(copy.st_size, 1 << 30)
        self.assertLessEqual(copy.st_blocks * 512, 1 << 20)
        with open(os.path.join(self.work.path, "copy.so"), "rb") as handle:
            handle.seek(512 << 20)
            self.assertEqual(handle.read(4097), b"x" * 4096 + b"\0")

    def test_only_a_regular_file_is_a_source(self):
        os.mkfifo(os.path.join(self.work.path, "fifo"))
        os.mkdir(os.path.join(self.work.path, "folder"))
        for source, code in [("fifo", errno.EINVAL), ("folder", errno.EISDIR), ("/dev/zero", errno.EINVAL)]:
            with self.subTest(source=source):
                self.assertFailureReport(self.run_pinfile("/C", source, "out"), COPY_FAILED, code)
        self.assertNotIn("out", self.work.names())

    def test_a_pseudo_file_is_copied_to_its_end_as_cat_reads_it(self):
        # procfs tells a size of 0, sysfs one of 4096: neither is what a read gives.
        for source in ["/proc/version", "/sys/class/net/lo/address"]:
            for busy in (False, True):
                with self.subTest(source=source, busy=busy):
                    if not os.path.exists(source):
                        self.skipTest("this machine has no %s" % source)
                    expected = subprocess.run(["cat", source], capture_output=True, check=True).stdout
                    target = self.work.file("t", b"old contents")
                    with held(target) if busy else contextlib.nullcontext():
                        result = self.run_pinfile("/C", source, "t")
                    self.assertOutput(result, [QUEUED_COPY if busy else COPIED],
                                      EXIT_QUEUED if busy else EXIT_DONE)
                    (copy,) = self.staged_files() if busy else ["t"]
                    self.assertEqual(self.work.read(copy), expected)

    def test_only_a_change_of_the_contents_during_the_copy_fails_it(self):
        probe = self.work.file("probe", b"x")
        if subprocess.run(["cp", "--reflink=always", probe, probe + ".clone"],
                          capture_output=True).returncode == 0:
            self.skipTest("this file system clones a file whole, with no window to change it in")
        if not shutil.which("strace"):
            self.skipTest("needs strace to hold the copy up")
        os.remove(probe)
        # (how the source changes, whether the target is held, the report)
        for change, busy, message in [
                ("truncated", False, COPY_FAILED),
                ("appended", True, STAGING_FAILED),
                ("metadata", False, None)]:  # the contents stay: the copy stands
            with self.subTest(change=change):
                source = self.work.file("big.so", b"n" * (8 << 20))
                target = self.work.file("lib.so", b"old")
                before = self.work.names()
                changer = threading.Timer(0.3, lambda: self.change_file(source, change))
                with held(target) if busy else contextlib.nullcontext():
                    changer.start()
                    result = self.run_pinfile("-qq", "-o", "/dev/null", "-e", "trace=copy_file_range",
                                              "-e", "inject=copy_file_range:delay_enter=1000000", EXE,
                                              "/C", "big.so", "lib.so", program="strace")
                    changer.join()
                if message is None:
                    self.assertOutput(result, [COPIED], EXIT_DONE)
                    self.assertEqual(self.work.read("lib.so"), b"n" * (8 << 20))
                    continue
                self.assertFailureReport(result, message, errno.EAGAIN)
                self.assertEqual(self.work.read("lib.so"), b"old")
                self.assertEqual(self.work.names(), before)
                self.assertNothingQueuedFor(target)

    @staticmethod
    def change_file(path, change):
        if change == "metadata":  # a new mode and a new hard link: the ctime moves
            os.chmod(path, 0o600)
            os.link(path, path + ".link")
            return
        with open(path, "r+b" if change == "truncated" else "ab") as handle:
            if change == "truncated":
                handle.truncate(1 << 20)
            else:
                handle.write(b"more lines of a log")

    def test_folders_deeper_than_path_max_work(self):
        components = ["d" * 200] * 24  # over 4,800 bytes below the work folder
        folder = os.open(self.work.path, os.O_RDONLY)
        for name in components:
            os.mkdir(name, dir_fd=folder)
            deeper = os.open(name, os.O_RDONLY, dir_fd=folder)
            os.close(folder)
            folder = deeper
        self.addCleanup(os.close, folder)
        for name, content in [("new.so", b"new"), ("lib.so", b"old")]:
            with open(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=folder), "wb") as handle:
                handle.write(content)

        def descend():
            for name in components:
                os.chdir(name)

        for args, lines in [(["/C", "new.so", "lib.so"], [COPIED]), (["/D", "lib.so"], [DELETED])]:
            with self.subTest(command=args[0]):
                result = run(args, cwd=self.work.path, env=self.pinfile_env(), preexec_fn=descend)
                self.assertOutput(result, lines, EXIT_DONE)
                self.assertEqual(result.stderr, b"")
            if args[0] == "/C":
                with open(os.open("lib.so", os.O_RDONLY, dir_fd=folder), "rb") as handle:
                    self.assertEqual(handle.read(), b"new")
        self.assertEqual(sorted(os.listdir(folder)), ["new.so"])

    def test_a_refused_scheduling_is_reported_and_leaves_no_staged_file(self):
        self.work.file("new.so", b"new")
        target = self.work.file("lib.so", b"old")
        os.rmdir(os.path.join(self.root, "var", "lib"))  # the journal's folder cannot be made
        with held(target):
            result = self.run_pinfile("/C", "new.so", "lib.so")
        self.assertFailureReport(result, QUEUE_COPY_FAILED, errno.ENOENT)
        self.assertEqual(self.work.names(), ["lib.so", "new.so"])
        self.assertEqual(self.work.read("lib.so"), b"old")


LIBRARY_SOURCE = r"""
#ifndef VERSION
#define VERSION "v1"
#endif
#ifdef PAD
static volatile int pad[PAD] = {1};
int padding(int i) { return pad[i % PAD] * 3 + i; }
#endif
const char* version(void) { return VERSION; }
int work(int x) { for (int i = 0; i < 100; ++i) x = x * 31 + i; return x; }
"""

PROGRAM_SOURCE = r"""
#include <stdio.h>
#include <unistd.h>
const char* version(void);
int work(int);
int main(int argc, char** argv) {
    printf("%s\n", version());
    fflush(stdout);
    int x = 0;
    while (argc > 1 && access(argv[1], F_OK) != 0) { x += work(x); version(); usleep(100); }
    return x == 12345;
}
"""


@unittest.skipIf(WINDOWS, "shared libraries of the POSIX build")
@unittest.skipUnless(shutil.which("cc"), "needs the system's C compiler to build a library")
class LoadedLibraryTests(Case):
    """Why pinfile and not cp: a program that has the library loaded keeps running."""

    def build(self):
        for name, source in [("lib.c", LIBRARY_SOURCE), ("demo.c", PROGRAM_SOURCE)]:
            self.work.file(name, source.encode())
        os.mkdir(os.path.join(self.work.path, "lib"))
        builds = [["-shared", "-fPIC", "-o", "lib/libdemo.so", "lib.c"],
                  ["-shared", "-fPIC", '-DVERSION="v2"', "-DPAD=4096", "-o", "libv2.so", "lib.c"],
                  ["-shared", "-fPIC", '-DVERSION="v3"', "-DPAD=8192", "-o", "libv3.so", "lib.c"],
                  ["-o", "demo", "demo.c", "-Llib", "-ldemo", "-Wl,-rpath,$ORIGIN/lib"]]
        for args in builds:
            subprocess.run(["cc", "-O2"] + args, cwd=self.work.path, check=True, capture_output=True)

    def running(self):
        """Starts the program, which runs until a file named stop appears; returns it once it
        has the library loaded and has printed its version."""
        program = subprocess.Popen([os.path.join(self.work.path, "demo"), "stop"], cwd=self.work.path,
                                   stdout=subprocess.PIPE)
        self.addCleanup(program.kill)
        return program, program.stdout.readline()

    def stop(self, program):
        self.work.file("stop")
        status = program.wait(timeout=TIMEOUT)
        program.stdout.close()
        os.remove(os.path.join(self.work.path, "stop"))
        return status

    def test_a_running_program_survives_pinfile_and_not_cp(self):
        self.build()
        program, version = self.running()
        self.assertEqual(version, b"v1\n")
        self.assertOutput(self.run_pinfile("/C", "libv2.so", "lib/libdemo.so"), [COPIED], EXIT_DONE)
        time.sleep(0.2)  # it goes on calling into the library it has loaded
        self.assertEqual(self.stop(program), 0)
        started = subprocess.run(["./demo"], cwd=self.work.path, capture_output=True, timeout=TIMEOUT)
        self.assertEqual(started.stdout, b"v2\n")

        program, version = self.running()
        shutil.copyfile(os.path.join(self.work.path, "libv3.so"), os.path.join(self.work.path, "lib/libdemo.so"))
        time.sleep(0.2)
        status = self.stop(program)
        if status not in (-signal.SIGSEGV, -signal.SIGBUS):
            self.skipTest("writing over the loaded library did not crash the program here (status %d)"
                          % status)


@unittest.skipIf(WINDOWS, "what stands in for the Windows calls on POSIX")
@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "needs root to give files away")
class PosixMetadataTests(Case):
    def test_a_replaced_target_keeps_what_it_was(self):
        self.work.file("new.so", b"new")
        for kind, setup, look, expected in METADATA:
            with self.subTest(kind=kind):
                target = self.work.file("target.so", b"old")
                try:
                    setup(target)
                except (OSError, subprocess.CalledProcessError, FileNotFoundError) as error:
                    self.skipTest("this machine cannot give a file its %s: %s" % (kind, error))
                self.assertOutput(self.run_pinfile("/C", "new.so", "target.so"), [COPIED], EXIT_DONE)
                self.assertEqual(self.work.read("target.so"), b"new")
                self.assertEqual(look(target), expected)
                os.remove(target)

    def test_other_hard_links_keep_the_old_contents(self):
        self.work.file("new.so", b"new")
        target = self.work.file("target.so", b"old")
        os.link(target, os.path.join(self.work.path, "other.so"))
        self.assertOutput(self.run_pinfile("/C", "new.so", "target.so"), [COPIED], EXIT_DONE)
        self.assertEqual((self.work.read("target.so"), self.work.read("other.so")), (b"new", b"old"))


@unittest.skipIf(WINDOWS, "what stands in for the Windows calls on POSIX")
@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "needs root to become another user")
class PosixUnprivilegedTests(Case):
    def test_only_root_can_queue_and_others_get_permission_denied(self):
        os.chmod(self.work.path, 0o777)
        self.work.file("new.so", b"new")
        self.work.file("lib.so", b"old")
        self.work.file("victim.so", b"x")
        nobody = lambda: (os.setgid(65534), os.setuid(65534))  # noqa: E731
        cases = [(["/C", "new.so", "lib.so"], QUEUE_COPY_FAILED, "lib.so"),
                 (["/D", "victim.so"], QUEUE_DELETE_FAILED, "victim.so")]
        for args, message, locked in cases:
            with self.subTest(args=args), held(os.path.join(self.work.path, locked)):
                result = self.run_pinfile(*args, preexec_fn=nobody)
                self.assertFailureReport(result, message, errno.EACCES)
        self.assertEqual(self.work.names(), ["lib.so", "new.so", "victim.so"])
        self.assertEqual(self.work.read("lib.so"), b"old")
        self.assertFalse(os.path.exists(journal_path(self.root)))


    def test_a_link_is_followed_only_where_the_kernel_would_follow_it(self):
        setting = "/proc/sys/fs/protected_symlinks"
        with open(setting) as handle:
            own = handle.read()

        def protect(value):
            with open(setting, "w") as handle:
                handle.write(value)

        try:
            protect(own)
        except OSError as error:
            self.skipTest("cannot set fs.protected_symlinks here: %s" % error)
        self.addCleanup(protect, own)
        os.chmod(self.work.path, 0o755)
        self.work.file("payload", b"payload")
        # (fs.protected_symlinks, the link's folder: owner and mode, the link's owner, what it
        # leads to, whether that is held, whether the link is followed)
        rows = [("1", 0, 0o1777, UNPRIVILEGED, "victim", False, False),
                ("1", 0, 0o1777, UNPRIVILEGED, "absent", False, False),
                ("1", 0, 0o1777, UNPRIVILEGED, "victim", True, False),
                ("1", 0, 0o1777, 0, "victim", False, True),
                ("1", UNPRIVILEGED, 0o1777, UNPRIVILEGED, "victim", False, True),
                ("1", 0, 0o0777, UNPRIVILEGED, "victim", False, True),
                ("0", 0, 0o1777, UNPRIVILEGED, "victim", False, True),
                ("1", 0, 0o1777, 0, "victim", True, True)]  # last: it leaves a record
        for number, (value, folder_owner, mode, owner, leads_to, busy, followed) in enumerate(rows):
            with self.subTest(row=number):
                protect(value)
                folder = os.path.join(self.work.path, "shared%d" % number)
                os.mkdir(folder)
                os.chmod(folder, mode)
                os.chown(folder, folder_owner, folder_owner)
                real = os.path.join(self.work.path, "%s%d" % (leads_to, number))
                if leads_to == "victim":
                    self.work.file(real, b"victim's")
                link = os.path.join(folder, "b.so")
                subprocess.run(["ln", "-s", real, link], check=True,
                               preexec_fn=as_unprivileged if owner else None)
                with held(real) if busy else contextlib.nullcontext():
                    result = self.run_pinfile("/C", "payload", link)
                if followed:
                    self.assertOutput(result, [QUEUED_COPY if busy else COPIED],
                                      EXIT_QUEUED if busy else EXIT_DONE)
                    self.assertEqual(self.work.read(real), b"victim's" if busy else b"payload")
                    if busy:
                        self.assertEqual(read_journal(self.root)[0][2], real.encode())
                    continue
                self.assertFailureReport(result, COPY_FAILED, errno.EACCES)
                if leads_to == "victim":
                    self.assertEqual(self.work.read(real), b"victim's")
                else:
                    self.assertFalse(os.path.exists(real))
                self.assertNothingQueuedFor(real)
                self.assertEqual(self.staged_files(), [])
                # The link itself is the user's to lose.
                self.assertOutput(self.run_pinfile("/D", link), [DELETED], EXIT_DONE)
                self.assertEqual(os.listdir(folder), [])


class DeleteTests(Case):
    def test_deletes_a_file_at_once(self):
        for switch in ["/D", "/d"]:
            with self.subTest(switch=switch):
                self.work.file("old.dll", b"x")
                self.assertOutput(self.run_pinfile(switch, "old.dll"), [DELETED], EXIT_DONE)
                self.assertEqual(self.work.names(), [])

    def test_a_missing_name_is_reported(self):
        self.assertOutput(self.run_pinfile("/D", "missing.dll"), [NOT_FOUND], EXIT_FAILED)

    def test_three_arguments_show_the_usage_and_delete_nothing(self):
        self.work.file("old.dll", b"x")
        self.assertOutput(self.run_pinfile("/D", "old.dll", "extra"), USAGE, EXIT_USAGE)
        self.assertEqual(self.work.names(), ["old.dll"])

    def test_a_file_in_use_is_deleted_at_the_next_restart(self):
        self.work.file("earlier.dll", b"earlier")
        victim = self.work.file("loaded.dll", b"x")
        if not WINDOWS:
            with held(os.path.join(self.work.path, "earlier.dll")):  # an earlier record
                self.run_pinfile("/D", "earlier.dll")
        with held(victim):
            result = self.run_pinfile("/D", "loaded.dll")
        self.assertOutput(result, [QUEUED_DELETE], EXIT_QUEUED)
        self.assertTrue(os.path.exists(victim))
        if WINDOWS:
            restart()
            self.assertFalse(os.path.exists(victim))
        else:
            self.assertEqual(read_journal(self.root),
                             [(b"D", os.path.join(self.work.path, "earlier.dll").encode(), b""),
                              (b"D", victim.encode(), b"")])

    def test_a_folder_is_never_deleted_or_queued(self):
        folder = os.path.join(self.work.path, "folder")
        os.mkdir(folder)
        result = self.run_pinfile("/D", "folder")
        self.assertFailureReport(result, DELETE_FAILED, 5 if WINDOWS else errno.EISDIR)
        self.assertTrue(os.path.isdir(folder))
        self.assertNothingQueuedFor(folder)

    def test_a_wildcard_is_not_a_file_to_queue(self):
        self.work.file("match.dat", b"x")
        result = self.run_pinfile("/D", "*.dat")
        if WINDOWS:
            self.assertFailureReport(result, DELETE_FAILED, 123)  # invalid name
            self.assertNothingQueuedFor(os.path.join(self.work.path, "*.dat"))
        else:
            self.assertOutput(result, [NOT_FOUND], EXIT_FAILED)  # no file has that name
        self.assertEqual(self.work.names(), ["match.dat"])

    @unittest.skipIf(WINDOWS, "symbolic links are a POSIX matter here")
    def test_a_link_goes_and_its_target_stays(self):
        self.work.file("real.so", b"x")
        os.symlink("real.so", os.path.join(self.work.path, "link.so"))
        self.assertOutput(self.run_pinfile("/D", "link.so"), [DELETED], EXIT_DONE)
        self.assertEqual(self.work.names(), ["real.so"])


if __name__ == "__main__":
    unittest.main()
