"""Runs the built program as a user would, natively or under Wine, and reads what it left.

The build under test comes from the environment: PINFILE_BUILD is "native" or "windows",
PINFILE_EXE the program; for Windows also PINFILE_HOLD_OPEN (the helper that keeps a file
open without sharing) and WINEPREFIX (made afresh for the test run; one is made here when it
is missing).
"""

import contextlib
import types
import errno
import fcntl
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zlib
from dataclasses import dataclass

BUILD = os.environ.get("PINFILE_BUILD", "native")
EXE = os.environ.get("PINFILE_EXE", "")
WINDOWS = BUILD == "windows"
TIMEOUT = 120

USAGE_TAIL = [
    "",
    "Параметры:",
    "",
    "    SourceFileName - имя исходного файла.",
    "    TargetFileName - имя целевого файла. Если опущен - файл копируется ",
    "                     в системный каталог (System или System32) под тем же ",
    "                     именем. При копировании файла нельзя указывать здесь ",
    "                     каталог - только полное имя файла.",
    "    /C - копировать файл.",
    "    /D - удалить файл. TargetFileName указывать не нужно.",
]
USAGE = ["Использование:", "", "    pinfile[.EXE] [/C|/D] SourceFileName [TargetFileName]"] + USAGE_TAIL

COPIED = "Файл успешно скопирован."
DELETED = "Файл успешно удалён."
NOT_FOUND = "Файл не найден."
COINCIDE = "Файлы совпадают. Так делать не стоит!"
QUEUED_COPY = "Файл успешно поставлен в очередь на копирование."
QUEUED_DELETE = "Файл успешно поставлен в очередь на удаление."
COPY_FAILED = "Не удалось скопировать файл."
DELETE_FAILED = "Не удалось удалить файл."
QUEUE_COPY_FAILED = "Файл не удалось поставить в очередь на копирование."
STAGING_FAILED = "Не удалось скопировать исходный файл во временный каталог."
QUEUE_DELETE_FAILED = "Файл не удалось поставить в очередь на удаление."
NT_ONLY = "Эта программа работает только в Windows NT."

EXIT_DONE, EXIT_FAILED, EXIT_USAGE, EXIT_RUNTIME = 0, 1, 2, 70
# 3010 on Windows ("success, restart required"); a POSIX parent sees it modulo 256.
EXIT_QUEUED = 3010 % 256 if WINDOWS else 3


@dataclass
class Run:
    stdout: bytes
    stderr: bytes
    status: int


def encode_lines(lines):
    """The exact bytes the program writes for these lines."""
    newline = "\r\n" if WINDOWS else "\n"
    return "".join(line + newline for line in lines).encode("utf-8")


def _wine_env():
    env = dict(os.environ, WINEDEBUG="-all", LANG="C.UTF-8")
    if "WINEPREFIX" not in env:  # a prefix of its own only when the run brings none
        env["WINEPREFIX"] = _own_wine_prefix()
    return env


_made_prefix = []


def _own_wine_prefix():
    if not _made_prefix:
        prefix = os.path.join(tempfile.mkdtemp(prefix="pinfile-wine-"), "prefix")
        subprocess.run(["wineboot", "-i"], env=dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all"),
                       check=True, capture_output=True, timeout=300)
        _made_prefix.append(prefix)
    return _made_prefix[0]


def environment(extra=None):
    env = _wine_env() if WINDOWS else dict(os.environ, LANG="C.UTF-8")
    env.update(extra or {})
    return env


def command(program, args):
    return (["wine", program] if WINDOWS else [program]) + list(args)


def run(args, cwd, env=None, stdout=subprocess.PIPE, preexec_fn=None, program=None):
    """Runs pinfile (or another program of the build) with the arguments in the folder; the
    whole output and exit status."""
    done = subprocess.run(command(program or EXE, args), cwd=cwd, env=environment(env), stdout=stdout,
                          stderr=subprocess.PIPE, timeout=TIMEOUT, preexec_fn=preexec_fn,
                          check=False)
    return Run(done.stdout or b"", done.stderr, done.returncode)


def native_path(path):
    """How the program under test spells a path of this machine."""
    if not WINDOWS:
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_prefix():
    return environment()["WINEPREFIX"]


def system_folder(test_root):
    """The folder the two-argument copy writes to, made ready for the test."""
    if WINDOWS:
        return os.path.join(wine_prefix(), "drive_c", "windows", "system32")
    folder = os.path.join(test_root, "usr", "local", "lib")
    os.makedirs(folder, exist_ok=True)
    return folder


def error_line_pattern(code):
    """The error line for a code: the platform's own description, exact where it can be known."""
    if WINDOWS:
        return re.compile(("Ошибка %d: .+" % code).encode("utf-8"))
    return re.compile(re.escape(("Ошибка %d: %s" % (code, os.strerror(code))).encode("utf-8")))


# ---- files in use ----

@contextlib.contextmanager
def held(path, how="flock", env=None, preexec_fn=None, holder=None):
    """Keeps the file in use by another process for the duration of the block. Under Wine `how`
    may be "map": the file is mapped, with sharing, as a loaded library is; `holder` is a copy
    of the helper to run instead of the built one."""
    if WINDOWS:
        args = {"map": ["--map"], "mutex": ["--mutex"], "event": ["--event"]}.get(how, [])
        name = path if how in ("mutex", "event") else native_path(path)
        helper = subprocess.Popen(command(holder or os.environ["PINFILE_HOLD_OPEN"], args + [name]),
                                  env=environment(env), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  preexec_fn=preexec_fn)
        try:
            if helper.stdout.readline().strip() != b"ready":
                raise RuntimeError("the helper could not hold %s" % path)
            yield
        finally:
            helper.stdin.close()
            helper.wait(timeout=TIMEOUT)
            helper.stdout.close()
        return
    with open(path, "rb+") as handle:
        if how == "flock":
            fcntl.flock(handle, fcntl.LOCK_EX)
        else:
            fcntl.lockf(handle, fcntl.LOCK_EX)
        yield


@contextlib.contextmanager
def another_run(test_root):
    """Holds the lock that keeps runs of pinfile apart, as a run that does not end would."""
    if WINDOWS:
        with held("Global\\pinfile-run", how="mutex"):
            yield
        return
    lock = os.path.join(test_root, "run", "pinfile.lock")
    os.makedirs(os.path.dirname(lock), exist_ok=True)
    with open(os.open(lock, os.O_RDWR | os.O_CREAT, 0o600), "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


@contextlib.contextmanager
def one_boot(folder):
    """Keeps the restart queue in place across the steps of a test. Under Wine the queue is
    carried out when the last Wine process ends, so an unrelated file stays held meanwhile."""
    if not WINDOWS:
        yield
        return
    keeper = os.path.join(folder, "keep-wine-alive")
    with open(keeper, "wb"):
        pass
    with held(keeper):
        yield


UNPRIVILEGED = 65534  # nobody


def as_unprivileged():
    os.setgroups([])
    os.setgid(UNPRIVILEGED)
    os.setuid(UNPRIVILEGED)


def give_away(path):
    """Hands a folder and everything in it to the unprivileged user."""
    for folder, _, files in os.walk(path):
        for name in [folder] + [os.path.join(folder, f) for f in files]:
            os.chown(name, UNPRIVILEGED, UNPRIVILEGED)


def unprivileged_wine_prefix():
    """A throwaway Wine prefix of the unprivileged user (Wine runs only in a prefix of its own
    user), with the environment to run in it; or the reason it cannot be had here."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        return None, None, "needs root to run Wine as another user"
    home = tempfile.mkdtemp(prefix="pinfile-wine-user-")
    os.chmod(home, 0o755)
    os.chown(home, UNPRIVILEGED, UNPRIVILEGED)
    env = {"HOME": home, "WINEPREFIX": os.path.join(home, "prefix"), "USER": "nobody"}
    done = subprocess.run(["wineboot", "-i"], env=environment(env), preexec_fn=as_unprivileged,
                          capture_output=True, timeout=300, check=False)
    if done.returncode != 0:
        shutil.rmtree(home, ignore_errors=True)
        return None, None, "wineboot as an unprivileged user failed: %r" % done.stderr[-300:]
    return home, env, None


def end_wine(env, preexec_fn=None):
    """Ends every Wine process of the prefix, and its server."""
    subprocess.run(["wineserver", "-k"], env=environment(env), preexec_fn=preexec_fn, timeout=TIMEOUT,
                   check=False, capture_output=True)


def restart():
    """Plays the next restart for the Windows build: the system carries out its list."""
    env = environment()
    subprocess.run(["wineserver", "-w"], env=env, timeout=TIMEOUT, check=False)
    subprocess.run(["wineboot", "-r"], env=env, timeout=TIMEOUT, check=True, capture_output=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=TIMEOUT, check=False)


def power_loss(process):
    """Ends this prefix's Wine machine as a power loss would, with the process stopped where
    it is: the server writes the registry and exits without closing any handle (so nothing
    is deleted on close), then every Wine process of the prefix is killed. True when the
    prefix's server was found."""
    process.send_signal(signal.SIGSTOP)
    prefix = wine_prefix()
    folder = "server-%x-%x" % (os.stat(prefix).st_dev, os.stat(prefix).st_ino)
    wine = [pid for pid in map(int, filter(str.isdigit, os.listdir("/proc")))
            if os.path.basename(_read_proc(pid, "exe")).startswith("wine")]
    servers = [pid for pid in wine if os.path.basename(_read_proc(pid, "cwd")) == folder]
    clients = [pid for pid in wine if pid not in servers
               and ("WINEPREFIX=" + prefix).encode() in _read_proc(pid, "environ").split(b"\0")]
    for pid in servers:
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + TIMEOUT
        while _read_proc(pid, "cwd") and time.monotonic() < deadline:
            time.sleep(0.01)
    for pid in clients + [process.pid]:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)
    process.wait(timeout=TIMEOUT)
    return len(servers) == 1


def _read_proc(pid, entry):
    """A link or a file of the process, or empty when it is gone."""
    try:
        if entry == "environ":
            with open("/proc/%d/environ" % pid, "rb") as handle:
                return handle.read()
        return os.readlink("/proc/%d/%s" % (pid, entry))
    except OSError:
        return b"" if entry == "environ" else ""


def pending_renames():
    """The Windows system's list of operations for the next restart, as text."""
    done = subprocess.run(
        ["wine", "reg", "query", r"HKLM\System\CurrentControlSet\Control\Session Manager",
         "/v", "PendingFileRenameOperations"],
        env=environment(), capture_output=True, timeout=TIMEOUT, check=False)
    return done.stdout.decode("utf-8", "replace") if done.returncode == 0 else ""


# ---- the POSIX restart journal ----

def journal_path(test_root):
    return os.path.join(test_root, "var", "lib", "pinfile", "pending")


# folder: device, boot, volume, subvolume, inode, birth; staged: the same, owner, size, time;
# target owner, group, mode; flags. The target's access ACL follows.
PLACE_SIZE = 52
IDENTITY_SIZE = PLACE_SIZE + PLACE_SIZE + 24 + 12 + 4


def encode_record(kind, first, second=b""):
    """One journal record as versions without identities wrote it, written independently of the
    program's own writer."""
    names = first + b"\0" + second + b"\0"
    body = kind + len(names).to_bytes(4, "little") + names
    return b"PFQ1" + body + zlib.crc32(body).to_bytes(4, "little")


def record_size(first, second=b"", acl=b""):
    """The size of a record as the program writes it now."""
    return 4 + 1 + 4 + 1 + 4 + len(first) + len(second) + 2 + IDENTITY_SIZE + len(acl) + 4


def read_journal_entries(test_root):
    """Every record of the journal under the test root: (state, kind, first, second)."""
    path = journal_path(test_root)
    if not os.path.exists(path):
        return []
    with open(path, "rb") as handle:
        data = handle.read()
    records = []
    offset = 0
    while offset < len(data):
        if data[offset:offset + 4] != b"PFQ4":
            raise AssertionError("no record at offset %d" % offset)
        state = data[offset + 4:offset + 5]
        length = int.from_bytes(data[offset + 10:offset + 14], "little")
        body = data[offset + 14:offset + 14 + length]
        check = int.from_bytes(data[offset + 14 + length:offset + 18 + length], "little")
        if zlib.crc32(data[offset + 9:offset + 14 + length]) != check:
            raise AssertionError("bad check sum at offset %d" % offset)
        first, second, identities = body.split(b"\0", 2)
        assert len(identities) >= IDENTITY_SIZE, "identity block after the names"
        records.append((state, data[offset + 9:offset + 10], first, second))
        offset += 18 + length
    return records


def as_if_written_in_an_earlier_boot(test_root):
    """Gives every record of the journal another boot than this one, as a restart would find it:
    device numbers seen then no longer count."""
    with open(journal_path(test_root), "rb") as handle:
        data = bytearray(handle.read())
    offset = 0
    while offset < len(data):
        length = int.from_bytes(data[offset + 10:offset + 14], "little")
        first, second, _ = bytes(data[offset + 14:offset + 14 + length]).split(b"\0", 2)
        identities = offset + 14 + len(first) + len(second) + 2
        for boot in (identities + 8, identities + PLACE_SIZE + 8):
            data[boot] ^= 1
        check = zlib.crc32(data[offset + 9:offset + 14 + length])
        data[offset + 14 + length:offset + 18 + length] = check.to_bytes(4, "little")
        offset += 18 + length
    with open(journal_path(test_root), "wb") as handle:
        handle.write(data)


def read_journal(test_root):
    """The operations that the journal under the test root still holds for the next boot:
    (kind, first, second) byte strings."""
    return [entry[1:] for entry in read_journal_entries(test_root) if entry[0] in (b"P", b"F")]


def posix_test_root():
    """A folder standing in for the machine's root for the journal and the system folder."""
    root = tempfile.mkdtemp(prefix="pinfile-root-")
    os.makedirs(os.path.join(root, "var", "lib"))
    return root


class Workspace:
    """A fresh folder for one test, removed afterwards."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="pinfile-e2e-")

    def file(self, name, content=b""):
        path = os.path.join(self.path, name)
        with open(path, "wb") as handle:
            handle.write(content)
        return path

    def read(self, name):
        with open(os.path.join(self.path, name), "rb") as handle:
            return handle.read()

    def names(self):
        return sorted(os.listdir(self.path))

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Case(unittest.TestCase):
    def setUp(self):
        self.work = Workspace()
        self.addCleanup(self.work.close)
        self.root = posix_test_root()
        self.addCleanup(shutil.rmtree, self.root, True)

    def run_pinfile(self, *args, **kwargs):
        env = dict(kwargs.pop("env", {}))
        if not WINDOWS:
            env.setdefault("PINFILE_TEST_ROOT", self.root)
        self.last_run = run(list(args), cwd=self.work.path, env=env, **kwargs)
        return self.last_run

    def pinfile_env(self):
        return environment({} if WINDOWS else {"PINFILE_TEST_ROOT": self.root})

    def last_stderr_lines(self):
        return self.last_run.stderr.decode("utf-8").splitlines()

    def assertOutput(self, result, lines, status):
        self.assertEqual(result.stdout, encode_lines(lines), result.stderr)
        self.assertEqual(result.status, status, result.stderr)

    def assertFailureReport(self, result, message, code):
        """The three-line report: the message, an empty line, the error line for the code."""
        head = encode_lines([message, ""])
        self.assertTrue(result.stdout.startswith(head), result.stdout)
        tail = result.stdout[len(head):]
        newline = b"\r\n" if WINDOWS else b"\n"
        self.assertTrue(tail.endswith(newline) and tail.count(b"\n") == 1, tail)
        self.assertRegex(tail[:-len(newline)], error_line_pattern(code))
        self.assertEqual(result.status, EXIT_FAILED)

    def assertNothingQueuedFor(self, path):
        if WINDOWS:
            self.assertNotIn(native_path(path), pending_renames())
        else:
            self.assertEqual(read_journal(self.root), [])

    def staged_files(self, folder=None):
        folder = folder or self.work.path
        return [name for name in os.listdir(folder) if name.startswith(("TMP", ".TMP", ".pinfile"))]


# The harness's own vocabulary; each suite imports the modules it uses itself.
__all__ = [name for name, value in dict(globals()).items()
           if not name.startswith("_") and not isinstance(value, types.ModuleType)
           and getattr(value, "__module__", __name__) in (__name__, None)]
