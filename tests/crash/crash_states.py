"""Crash-state test of the POSIX build: every on-disk state that a power loss may leave at any
instant of a run, as POSIX allows, is put on disk and booted (apply, list, apply, then a later
run into the folder); the promises must hold in each.

A run is recorded with strace. The file operations it makes are replayed on a model of the
folders that matter (the work folder and the journal's), and after each operation the states a
crash may leave are built from the model:
- an fsync of a file makes its writes and size durable, not its name; an fsync of a folder
  makes its entries durable (names created, linked, renamed or removed in it);
- every operation not yet made durable may or may not have reached the disk. All subsets are
  tried when at most six are open; beyond that the subsets that keep the open operations in
  order up to a point (prefixes) and those that drop exactly one (an operation dropped takes
  along the later ones on the same file or name);
- renames are atomic, and an append to the journal that is not yet durable may also be torn at
  any byte;
- pinfile's mark (an extended attribute set on a file before it has a name) is on disk whenever
  a name of the file is, as journalling file systems keep metadata changes in order.
Each state is put on disk in place. Files are written afresh, so the identities that a journal
record holds of its staged file are brought up to date (inode, birth time, file system) where
the state still holds that file, as they would be had the file never been written again.

Run as root, with the built programs in PINFILE_EXE and PINFILE_PENDING_EXE.
"""

import ctypes
import fcntl
import hashlib
import itertools
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

EXE, PENDING = os.environ["PINFILE_EXE"], os.environ["PINFILE_PENDING_EXE"]
TRACED = ("openat,open,close,write,pwrite64,ftruncate,fsync,fdatasync,rename,renameat,renameat2,"
          "unlink,unlinkat,mkdir,linkat,copy_file_range,ioctl,fsetxattr")
MARK = "trusted.pinfile"
ALL_SUBSETS_UP_TO = 6
COPIED = "Файл успешно скопирован."
DELETED = "Файл успешно удалён."
NO_PROMISE = object()
QUEUED = ("Файл успешно поставлен в очередь на копирование.", "Файл успешно поставлен в очередь на удаление.")

HEX = r'((?:\\x[0-9a-f]{2})*)'
FD = re.compile(r'(\d+|AT_FDCWD)<' + HEX + r'>')
STRING = re.compile(r'"' + HEX + r'"')
CALL = re.compile(r'^(\w+)\((.*)\) = (-?\d+)')


def unhex(text):
    return bytes.fromhex(text.replace("\\x", "")).decode("utf-8", "surrogateescape")


# ---- the model: names to inodes, inodes to bytes ----

class State:
    def __init__(self):
        self.names, self.data, self.dirs = {}, {}, set()

    def copy(self):
        other = State()
        other.names, other.data, other.dirs = dict(self.names), dict(self.data), set(self.dirs)
        return other


def write_at(data, offset, chunk):
    data = data.ljust(offset, b"\0")
    return data[:offset] + chunk + data[offset + len(chunk):]


class Op:
    """One change: to an inode's bytes (data) or to the entries of folders (entry). key holds
    what an fsync must cover to make it durable: the inode, or every folder it changes."""

    def __init__(self, kind, key, apply, journal_bytes=None):
        self.kind, self.key, self.apply, self.journal_bytes = kind, frozenset(key), apply, journal_bytes
        self.waiting = set(self.key)
        self.durable_at = None  # the number of operations done when it became durable
        self.index = None


class Recording:
    """Replays a strace log on the model; ops in order, the sync points, and what was answered."""

    def __init__(self, roots, journal):
        self.roots, self.journal = roots, journal
        self.start, self.marks = State(), {}
        for root in roots:
            for folder, dirs, files in os.walk(root):
                self.start.dirs.add(folder)
                for name in files:
                    path = os.path.join(folder, name)
                    inode = ("start", os.lstat(path).st_ino)
                    self.start.names[path] = inode
                    with open(path, "rb") as handle:
                        self.start.data[inode] = handle.read()
                    if MARK in os.listxattr(path):
                        self.marks[inode] = os.getxattr(path, MARK)
        self.live = self.start.copy()
        self.ops, self.answers, self.fds, self.made = [], [], {}, 0
        self.ever = dict(self.start.names)  # every inode each name has held: staged files by name

    def watched(self, path):
        return any(path == root or path.startswith(root + "/") for root in self.roots)

    def add(self, op):
        op.apply(self.live)
        op.index = len(self.ops)
        self.ops.append(op)
        self.ever.update(self.live.names)

    def path_of(self, fd_text, name):
        if name.startswith("/"):
            return os.path.normpath(name)
        folder = next((unhex(m.group(2)) for m in FD.finditer(fd_text)), None)
        return os.path.normpath(os.path.join(folder, name))

    def entry(self, dirs, change):
        self.add(Op("entry", dirs, change))

    def data(self, inode, change, journal_bytes=None):
        self.add(Op("data", [inode], lambda s: s.data.__setitem__(inode, change(s.data.get(inode, b""))),
                    journal_bytes))

    def sync(self, target):
        # The flush is a step of its own: a crash may come just before it.
        flush = Op("sync", [], lambda s: None)
        self.add(flush)
        flush.durable_at = len(self.ops)
        for op in self.ops:
            if op.durable_at is None and target in op.waiting:
                op.waiting.discard(target)
                if not op.waiting:
                    op.durable_at = len(self.ops)

    def replay(self, log):
        for line in log.splitlines():
            match = CALL.match(line)
            if match and int(match.group(3)) >= 0:
                self.call(match.group(1), match.group(2), int(match.group(3)), line)

    def call(self, name, args, result, line):
        fds = [(m.group(1), unhex(m.group(2))) for m in FD.finditer(args)]
        strings = [unhex(m.group(1)) for m in STRING.finditer(args)]
        if name in ("open", "openat"):
            self.opened(args, result, line, strings[0] if strings else "")
        elif name == "close":
            self.fds.pop(fds[0][0], None)
        elif name == "write" and fds and fds[0][0] == "1":
            self.answers.append((len(self.ops), bytes.fromhex(STRING.search(args).group(1).replace("\\x", ""))))
        elif name in ("pwrite64", "write") and self.fds.get(fds[0][0]):
            inode, chunk = self.fds[fds[0][0]][1], bytes.fromhex(STRING.search(args).group(1).replace("\\x", ""))
            offset = int(args.rsplit(",", 1)[1]) if name == "pwrite64" else len(self.live.data[inode])
            journal = chunk if fds[0][1] == self.journal else None
            self.data(inode, lambda d, o=offset, c=chunk[:result]: write_at(d, o, c), journal)
        elif name == "ftruncate" and self.fds.get(fds[0][0]):
            size = int(args.rsplit(",", 1)[1])
            self.data(self.fds[fds[0][0]][1], lambda d: d[:size].ljust(size, b"\0"))
        elif name == "copy_file_range" and self.fds.get(fds[1][0]):
            source = self.fds.get(fds[0][0])
            offsets = [int(n) for n in re.findall(r'\[(\d+)\]', args)]
            chunk = self.live.data[source[1]][offsets[0]:offsets[0] + result] if source else b""
            self.data(self.fds[fds[1][0]][1], lambda d, o=offsets[1], c=chunk: write_at(d, o, c))
        elif name == "ioctl" and "FICLONE" in args and self.fds.get(fds[0][0]):
            chunk = self.live.data[self.fds[args.rsplit(",", 1)[1].strip()][1]]
            self.data(self.fds[fds[0][0]][1], lambda d: chunk)
        elif name in ("fsync", "fdatasync") and self.fds.get(fds[0][0]):
            kind, key = self.fds[fds[0][0]]
            self.sync(key)
        elif name in ("rename", "renameat", "renameat2"):
            old = self.path_of(args.split(",")[0] if fds and name != "rename" else "", strings[0])
            new = self.path_of(args.split(",")[2] if name != "rename" else "", strings[1])
            if self.watched(new):
                self.entry({os.path.dirname(old), os.path.dirname(new)}, lambda s, o=old, n=new: rename(s, o, n))
        elif name in ("unlink", "unlinkat"):
            path = self.path_of(args.split(",")[0] if name == "unlinkat" else "", strings[0])
            if self.watched(path):
                self.entry({os.path.dirname(path)}, lambda s, p=path: s.names.pop(p, None))
        elif name == "mkdir" and self.watched(strings[0]):
            self.entry({os.path.dirname(strings[0])}, lambda s, p=strings[0]: s.dirs.add(p))
        elif name == "linkat":
            self.linked(args, strings)
        elif name == "fsetxattr" and strings[0] == MARK and self.fds.get(fds[0][0]):
            self.marks[self.fds[fds[0][0]][1]] = bytes.fromhex(STRING.findall(args)[1].replace("\\x", ""))

    def opened(self, args, result, line, name):
        path = unhex(FD.findall(line.split(" = ", 1)[1])[0][1]) if " = " in line else ""
        deleted = line.rstrip().endswith("(deleted)")
        if deleted:
            path = path.rsplit("/", 1)[0]
        if not self.watched(path):
            return
        fd = str(result)
        if "O_DIRECTORY" in args or path in self.live.dirs and not deleted:
            self.fds[fd] = ("dir", path)
        elif "O_TMPFILE" in args:
            self.made += 1
            inode = ("made", self.made)
            self.live.data[inode] = b""
            self.fds[fd] = ("file", inode)
        elif path in self.live.names:
            self.fds[fd] = ("file", self.live.names[path])
            if "O_TRUNC" in args:
                self.data(self.live.names[path], lambda d: b"")
        else:
            self.made += 1
            inode = ("made", self.made)
            self.entry({os.path.dirname(path)}, lambda s, p=path, i=inode: create(s, p, i))
            self.fds[fd] = ("file", inode)

    def linked(self, args, strings):
        # An unnamed file linked in by its descriptor, or through its name in /proc.
        source = None
        if "AT_EMPTY_PATH" in args:
            source = self.fds.get(FD.match(args).group(1))
        elif strings[0].startswith("/proc/self/fd/"):
            source = self.fds.get(strings[0].rsplit("/", 1)[1])
        if source:
            path = self.path_of(args.split(",")[2], strings[1])
            if self.watched(path):
                self.entry({os.path.dirname(path)}, lambda s, p=path, i=source[1]: create(s, p, i))


def create(state, path, inode):
    state.names[path] = inode
    state.data.setdefault(inode, b"")


def rename(state, old, new):
    if old in state.names:
        state.names[new] = state.names.pop(old)
    elif old in state.dirs:
        state.dirs.add(new)


# ---- the states a crash may leave ----

def subsets(open_ops):
    if len(open_ops) <= ALL_SUBSETS_UP_TO:
        for size in range(len(open_ops) + 1):
            yield from itertools.combinations(open_ops, size)
        return
    for end in range(len(open_ops) + 1):
        yield tuple(open_ops[:end])
    for dropped in open_ops:
        yield tuple(op for op in open_ops if op is not dropped and not (op.index > dropped.index and op.key & dropped.key))


def crash_states(recording):
    """Every (crash point, persisted state) pair, torn appends included."""
    for point in range(len(recording.ops) + 1):
        done = recording.ops[:point]
        open_ops = [op for op in done if op.durable_at is None or op.durable_at > point]
        for kept in subsets(open_ops):
            yield point, build(recording, done, set(map(id, kept)) | {id(op) for op in done if op not in open_ops})
        for op in open_ops:
            if op.journal_bytes:
                for cut in range(1, len(op.journal_bytes)):
                    yield point, build(recording, done, {id(o) for o in done if o is not op}, torn=(op, cut))


def build(recording, done, kept, torn=None):
    state = recording.start.copy()
    for op in done:
        if id(op) in kept:
            op.apply(state)
        elif torn and op is torn[0]:
            inode = next(iter(op.key))
            offset = len(state.data.get(inode, b""))
            state.data[inode] = write_at(state.data.get(inode, b""), offset, op.journal_bytes[:torn[1]])
    return state


# ---- putting a state on disk ----

STATX_BTIME, AT_SYMLINK_NOFOLLOW = 0x800, 0x100
libc = ctypes.CDLL(None, use_errno=True)


def identity(path):
    """What the program records of a file: device, volume, inode, birth time."""
    buffer = ctypes.create_string_buffer(256)
    if libc.statx(-100, path.encode(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, buffer) != 0:
        raise OSError(ctypes.get_errno(), path)
    mask, = struct.unpack_from("<I", buffer, 0)
    inode, = struct.unpack_from("<Q", buffer, 32)
    born = struct.unpack_from("<qI", buffer, 80) if mask & STATX_BTIME else (0, 0)
    volume = 0
    with open(path, "rb") as handle:
        answer = bytearray(17)
        try:
            fcntl.ioctl(handle, 0x80111500, answer)  # FS_IOC_GETFSUUID
            for i, byte in enumerate(answer[1:1 + answer[0]]):
                volume ^= byte << (8 * (i % 8))
        except OSError:
            pass
    return os.lstat(path).st_dev, volume, inode, born


def put_on_disk(recording, state):
    for root in recording.roots:
        for name in os.listdir(root):
            path = os.path.join(root, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
    for folder in sorted(state.dirs, key=len):
        os.makedirs(folder, mode=0o700, exist_ok=True)
    placed = {}
    for path, inode in sorted(state.names.items()):
        if not os.path.isdir(os.path.dirname(path)):
            continue
        if inode in placed:
            os.link(placed[inode], path)
            continue
        with open(path, "wb") as handle:
            handle.write(state.data.get(inode, b""))
        os.chmod(path, 0o600 if path == recording.journal else 0o644)
        if inode in recording.marks:
            os.setxattr(path, MARK, recording.marks[inode])
        placed[inode] = path
    if os.path.exists(recording.journal):
        patch_journal(recording, placed)


def patch_journal(recording, placed):
    with open(recording.journal, "rb") as handle:
        data = bytearray(handle.read())
    offset = 0
    while offset + 14 <= len(data) and data[offset:offset + 4] == b"PFQ4":
        length, = struct.unpack_from("<I", data, offset + 10)
        end = offset + 14 + length
        if end + 4 > len(data) or zlib.crc32(data[offset + 9:end]) != struct.unpack_from("<I", data, end)[0]:
            break
        names = bytes(data[offset + 14:end]).split(b"\0", 2)
        # The staged file's place: device, boot, volume, subvolume, inode, birth (52 bytes); the
        # boot and subvolume stay as recorded.
        staged_at = offset + 14 + len(names[0]) + len(names[1]) + 2 + 52
        inode = recording.ever.get(names[0].decode("utf-8", "surrogateescape"))
        if inode in placed:
            device, volume, number, born = identity(placed[inode])
            struct.pack_into("<Q", data, staged_at, device)
            struct.pack_into("<Q", data, staged_at + 16, volume)
            struct.pack_into("<QqI", data, staged_at + 32, number, *born)
            seconds, nanoseconds = struct.unpack_from("<qI", data, staged_at + 52 + 12)
            os.utime(placed[inode], ns=(0, seconds * 10**9 + nanoseconds))
            struct.pack_into("<I", data, end, zlib.crc32(data[offset + 9:end]))
        offset = end + 4
    with open(recording.journal, "wb") as handle:
        handle.write(data)


# ---- the scenarios ----

class Scenario:
    def __init__(self, name, prepare, traced, targets, pending=False, inject=None):
        self.name, self.prepare, self.traced, self.targets = name, prepare, traced, targets
        self.pending, self.inject = pending, inject


def run(args, root, work, program=EXE):
    return subprocess.run([program] + args, cwd=work, env=dict(os.environ, PINFILE_TEST_ROOT=root, LANG="C.UTF-8"),
                          capture_output=True, timeout=60)


def held_run(args, root, work, held, traced=None):
    handles = []
    for name in held:
        handle = open(os.path.join(work, name), "rb+")
        fcntl.flock(handle, fcntl.LOCK_EX)
        handles.append(handle)
    try:
        if traced is None:
            return run(args, root, work)
        return subprocess.run(traced + [EXE] + args, cwd=work, capture_output=True, timeout=60,
                              env=dict(os.environ, PINFILE_TEST_ROOT=root, LANG="C.UTF-8"))
    finally:
        for handle in handles:
            handle.close()


def write(work, name, content):
    with open(os.path.join(work, name), "wb") as handle:
        handle.write(content)


def check(scenario, recording, point, root, work):
    """The promises, in the state put on disk: a list of what broke."""
    answered = [text.decode("utf-8", "replace").strip() for index, text in recording.answers if index <= point]
    boot = [run(["apply"], root, work, PENDING), run(["list"], root, work, PENDING)]
    snapshot = tree(work, root)
    boot.append(run(["apply"], root, work, PENDING))
    broken = []
    if tree(work, root) != snapshot:
        broken.append("a second apply changed something")
    listed = boot[1].stdout.decode("utf-8", "replace")
    # A crash never puts a foreign file in place: nothing the boot finds is to be refused.
    if "Отклонено" in boot[0].stdout.decode("utf-8", "replace"):
        broken.append("refused: " + boot[0].stdout.decode("utf-8", "replace").strip())
    promised = scenario.pending or any(a in (COPIED, DELETED) or a in QUEUED for a in answered)
    failed = bool(answered) and not promised
    for name, allowed, final in scenario.targets:
        path = os.path.join(work, name)
        now = open(path, "rb").read() if os.path.exists(path) else None
        if now not in allowed:
            broken.append("%s is %r" % (name, now if now is None else now[:20]))
        # Copied, queued, or queued before the boot: done now, or still waiting in the list.
        if final is not NO_PROMISE and promised and now != final and name not in listed:
            broken.append("%s neither done nor listed" % name)
        if failed and now != allowed[0]:
            broken.append("%s changed after a failure answer" % name)
    later = run(["/C", "src", "later.so"], root, work)
    if later.returncode != 0:
        broken.append("a later run failed: %r" % later.stdout)
    journal = open(recording.journal, "rb").read() if os.path.exists(recording.journal) else b""
    for name in os.listdir(work):
        if name.startswith((".TMP", ".pinfile-", "TMP")) and os.path.join(work, name).encode() not in journal:
            broken.append("left behind: " + name)
    return broken


def tree(*folders):
    digest = hashlib.sha256()
    for folder in folders:
        for base, dirs, files in sorted(os.walk(folder)):
            for name in sorted(files):
                path = os.path.join(base, name)
                # apply's account of its own run, which a second run rewrites with what it did.
                if "/run/" in path or path.endswith("/var/lib/pinfile/last-restart"):
                    continue
                digest.update(path.encode())
                digest.update(open(path, "rb").read())
    return digest.hexdigest()


def explore(scenario):
    base = tempfile.mkdtemp(prefix="pinfile-crash-")
    root, work = os.path.join(base, "root"), os.path.join(base, "work")
    os.makedirs(os.path.join(root, "var", "lib"))
    os.mkdir(work)
    try:
        held = scenario.prepare(root, work) or []
        journal = os.path.join(root, "var", "lib", "pinfile", "pending")
        recording = Recording([work, os.path.join(root, "var", "lib")], journal)
        log = os.path.join(base, "trace")
        traced = ["strace", "-qq", "-y", "-xx", "-s", "1000000", "-o", log, "-e", "trace=" + TRACED]
        traced += ["-e", "inject=" + scenario.inject] if scenario.inject else []
        if scenario.pending:
            subprocess.run(traced + [PENDING] + scenario.traced, cwd=work, capture_output=True, timeout=60,
                           env=dict(os.environ, PINFILE_TEST_ROOT=root, LANG="C.UTF-8"))
        else:
            held_run(scenario.traced, root, work, held, traced)
        with open(log) as handle:
            recording.replay(handle.read())
        seen, checked, violations = set(), 0, []
        for point, state in crash_states(recording):
            key = (tuple(sorted((p, state.data.get(i, b"")) for p, i in state.names.items())),
                   tuple(sorted(state.dirs)), tuple(i for i, t in recording.answers if i <= point))
            if key in seen:
                continue
            seen.add(key)
            put_on_disk(recording, state)
            checked += 1
            for broken in check(scenario, recording, point, root, work):
                violations.append("after operation %d: %s" % (point, broken))
        return checked, violations
    finally:
        shutil.rmtree(base, ignore_errors=True)


def queue(root, work, args, held):
    done = held_run(args, root, work, held)
    assert done.returncode == 3, done.stdout


def scenarios():
    def files(work, *names):
        for name in names:
            write(work, name, b"old " + name.encode())
        write(work, "src", b"new")
        write(work, "src1", b"first")

    def two_records(root, work):
        files(work, "t.so", "x.so", "y.so")
        queue(root, work, ["/C", "src1", "t.so"], ["t.so"])
        queue(root, work, ["/D", "x.so"], ["x.so"])

    def four(root, work):
        files(work, "a.so", "b.so", "c.so", "d.so")
        for name in ("a.so", "b.so"):
            queue(root, work, ["/C", "src", name], [name])
        for name in ("c.so", "d.so"):
            queue(root, work, ["/D", name], [name])

    def one_failing(root, work):
        files(work, "a.so", "c.so")
        queue(root, work, ["/C", "src", "a.so"], ["a.so"])
        queue(root, work, ["/D", "c.so"], ["c.so"])
        os.remove(os.path.join(work, "a.so"))
        os.mkdir(os.path.join(work, "a.so"))

    def old(name):
        return b"old " + name.encode()

    return [
        Scenario("immediate copy", lambda r, w: files(w, "t.so"), ["/C", "src", "t.so"],
                 [("t.so", [old("t.so"), b"new"], b"new")]),
        Scenario("immediate deletion", lambda r, w: files(w, "t.so"), ["/D", "t.so"],
                 [("t.so", [old("t.so"), None], None)]),
        Scenario("queued copy into a journal of two records", lambda r, w: two_records(r, w) or ["t.so"],
                 ["/C", "src", "t.so"], [("t.so", [old("t.so"), b"first", b"new"], b"new")]),
        Scenario("queued deletion into a journal of two records", lambda r, w: two_records(r, w) or ["y.so"],
                 ["/D", "y.so"], [("y.so", [old("y.so"), None], None)]),
        Scenario("apply of two replacements and two deletions", four, ["apply"],
                 [("a.so", [old("a.so"), b"new"], b"new"), ("b.so", [old("b.so"), b"new"], b"new"),
                  ("c.so", [old("c.so"), None], None), ("d.so", [old("d.so"), None], None)], pending=True),
        Scenario("apply where one operation fails", one_failing, ["apply"],
                 [("c.so", [old("c.so"), None], None)], pending=True),
        Scenario("failed append", lambda r, w: two_records(r, w) or ["y.so"], ["/D", "y.so"],
                 [("y.so", [old("y.so"), None], NO_PROMISE)], inject="fsync:error=EIO:when=1"),
        Scenario("first queued operation, no journal folder", lambda r, w: files(w, "t.so") or ["t.so"],
                 ["/C", "src", "t.so"], [("t.so", [old("t.so"), b"new"], b"new")]),
    ]


def main():
    if os.geteuid() != 0 or not shutil.which("strace"):
        print("skipped: the queue belongs to root, and the runs are recorded with strace")
        return 77
    failed = False
    for scenario in scenarios():
        checked, violations = explore(scenario)
        print("%-50s %5d states, %d violations" % (scenario.name, checked, len(violations)))
        for violation in violations[:10]:
            print("    " + violation)
        failed = failed or bool(violations) or checked == 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
