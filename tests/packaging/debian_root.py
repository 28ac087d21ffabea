"""The .deb in a Debian 12 root, as an administrator uses it: installed with dpkg in a chroot
that has no /proc, pinfile run there, the package upgraded, removed and purged, and the root
booted with systemd-nspawn to carry out the queue.

The root is made once with debootstrap (minbase, with systemd) and kept as a tarball beside
this build's other folders; each test unpacks a fresh copy of it. Run one class:
    debian_root.py --tarball T --cpack C --config CPackConfig.cmake WithoutProc
Exits 77 when every test skipped (no root, no debootstrap, no mirror, no container).
"""

import argparse
import contextlib
import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None
PACKAGES = {}  # version -> path of the .deb built for this run
BUILT = None  # the version that this build sets
PACKAGE_FOLDER = None
UNIT = "pinfile-pending.service"
QUEUED_COPY = "Файл успешно поставлен в очередь на копирование.\n"
QUEUED_DELETE = "Файл успешно поставлен в очередь на удаление.\n"


def run(command, **kwargs):
    kwargs.setdefault("timeout", 600)
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def checked(command, **kwargs):
    result = run(command, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed ({result.returncode}):\n"
                             f"{result.stdout}{result.stderr}")
    return result


def make_tarball():
    """The Debian root as a tarball, made with debootstrap when it is not there yet; runs of
    the tests side by side wait for the one that makes it."""
    if os.geteuid() != 0:
        raise unittest.SkipTest("needs root: debootstrap, chroot and dpkg in the root")
    if os.path.exists(ARGS.tarball):
        return
    folder = os.path.dirname(ARGS.tarball)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, ".lock"), "w", encoding="utf-8") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(ARGS.tarball):
            return
        if shutil.which("debootstrap") is None:
            raise unittest.SkipTest("debootstrap is missing (scripts/packages.sh installs it)")
        work = tempfile.mkdtemp(prefix="debootstrap-", dir=folder)
        try:
            result = run(["debootstrap", "--variant=minbase", "--include=systemd,systemd-sysv,dbus",
                          "bookworm", work, "http://deb.debian.org/debian"], timeout=1800)
            if result.returncode != 0:
                raise unittest.SkipTest("debootstrap could not make the Debian root (no mirror?): "
                                        + (result.stdout + result.stderr)[-600:])
            for name in os.listdir(os.path.join(work, "var/cache/apt/archives")):
                if name.endswith(".deb"):
                    os.unlink(os.path.join(work, "var/cache/apt/archives", name))
            partial = ARGS.tarball + ".part"
            checked(["tar", "--numeric-owner", "-C", work, "-cf", partial, "."])
            os.rename(partial, ARGS.tarball)
        finally:
            shutil.rmtree(work, ignore_errors=True)


def build_packages():
    """The package as this build makes it, and the same package with a higher version."""
    global BUILT, PACKAGE_FOLDER
    if PACKAGES:
        return
    PACKAGE_FOLDER = work = tempfile.mkdtemp(prefix="pinfile-debs-",
                                             dir=os.path.dirname(ARGS.tarball))
    checked([ARGS.cpack, "-G", "DEB", "--config", ARGS.config, "-B", work])
    (deb,) = [os.path.join(work, name) for name in os.listdir(work) if name.endswith(".deb")]
    version = checked(["dpkg-deb", "-f", deb, "Version"]).stdout.strip()
    PACKAGES[version] = deb
    BUILT = version
    unpacked = os.path.join(work, "unpacked")
    checked(["dpkg-deb", "-R", deb, unpacked])
    control = os.path.join(unpacked, "DEBIAN/control")
    with open(control, encoding="utf-8") as file:
        text = file.read()
    with open(control, "w", encoding="utf-8") as file:
        file.write(text.replace(f"Version: {version}\n", f"Version: {version}+1\n"))
    upgrade = os.path.join(work, "upgrade.deb")
    checked(["dpkg-deb", "--root-owner-group", "-b", unpacked, upgrade])
    PACKAGES[version + "+1"] = upgrade


class Root:
    """A fresh copy of the Debian root, without /proc, removed afterwards."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="root-", dir=os.path.dirname(ARGS.tarball))
        checked(["tar", "--numeric-owner", "-C", self.path, "-xpf", ARGS.tarball])

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)
        # systemd-nspawn's lock beside the root it booted.
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(os.path.dirname(self.path),
                                   f".#{os.path.basename(self.path)}.lck"))

    def file(self, name):
        return os.path.join(self.path, name.lstrip("/"))

    def write(self, name, text):
        os.makedirs(os.path.dirname(self.file(name)), exist_ok=True)
        with open(self.file(name), "w", encoding="utf-8") as file:
            file.write(text)

    def read(self, name):
        with open(self.file(name), encoding="utf-8") as file:
            return file.read()

    def chroot(self, *command):
        return run(["chroot", self.path, *command], env={
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"})

    def held(self, names, *command):
        """Runs the command in the root while flock(1) holds each of the names."""
        for name in names:
            command = ("flock", name, *command)
        return self.chroot(*command)

    def dpkg(self, *arguments):
        return self.chroot("dpkg", *arguments)

    def install(self, version):
        shutil.copy(PACKAGES[version], self.file("/tmp/pinfile.deb"))
        return self.dpkg("-i", "/tmp/pinfile.deb")

    def staged_files(self, folder):
        return sorted(name for name in os.listdir(self.file(folder)) if name.startswith(".TMP"))


class InRoot(unittest.TestCase):
    """Each test in a fresh root with the package installed."""

    @classmethod
    def setUpClass(cls):
        make_tarball()
        build_packages()

    def setUp(self):
        self.root = Root()
        self.addCleanup(self.root.remove)
        self.assertEqual(os.listdir(self.root.file("/proc")), [], "the root has no /proc")
        self.version = BUILT
        installed = self.root.install(self.version)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.root.write("/root/new.so", "new\n")
        for name in ("lib.so", "old.so"):
            self.root.write(f"/srv/app/{name}", "old\n")

    def queue_replacement_and_deletion(self):
        result = self.root.held(["/srv/app/lib.so", "/srv/app/old.so"], "sh", "-c",
                                "pinfile /C /root/new.so /srv/app/lib.so;"
                                " pinfile /D /srv/app/old.so")
        self.assertEqual(result.stdout, QUEUED_COPY + QUEUED_DELETE, result.stderr)
        (staged,) = self.root.staged_files("/srv/app")
        return staged

    def listed(self):
        result = self.root.chroot("pinfile-pending", "list")
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout


class WithoutProc(InRoot):
    """pinfile in a chroot without /proc (image builds, rescue shells) works as cp does."""

    def test_commands(self):
        os.setxattr(self.root.file("/srv/app/lib.so"), "user.origin", b"vendor")
        cases = [  # name, held names, command, output, status
            ("copy over an unheld file", [], ["/C", "/root/new.so", "/srv/app/lib.so"],
             "Файл успешно скопирован.\n", 0),
            ("copy to a new name", [], ["/C", "/root/new.so", "/srv/app/fresh.so"],
             "Файл успешно скопирован.\n", 0),
            ("queued copy", ["/srv/app/held.so"], ["/C", "/root/new.so", "/srv/app/held.so"],
             QUEUED_COPY, 3),
            ("queued deletion", ["/srv/app/old.so"], ["/D", "/srv/app/old.so"], QUEUED_DELETE, 3),
        ]
        self.root.write("/srv/app/held.so", "old\n")
        for name, held, arguments, output, status in cases:
            with self.subTest(name):
                result = self.root.held(held, "pinfile", *arguments)
                self.assertEqual((result.stdout, result.stderr, result.returncode),
                                 (output, "", status))
        self.assertEqual(self.root.read("/srv/app/lib.so"), "new\n")
        self.assertEqual(os.getxattr(self.root.file("/srv/app/lib.so"), "user.origin"), b"vendor")
        self.assertEqual(self.root.read("/srv/app/fresh.so"), "new\n")
        (staged,) = self.root.staged_files("/srv/app")
        # The journal's identity is made without /proc too, so the staged file carries the mark
        # by which a later run may prove a leftover pinfile's.
        self.assertEqual(os.getxattr(self.root.file(f"/srv/app/{staged}"), "trusted.pinfile"),
                         self.root.read("/var/lib/pinfile/id").encode())
        self.assertEqual(self.listed(),
                         f'1. Заменить "/srv/app/held.so" файлом "/srv/app/{staged}"\n'
                         '2. Удалить "/srv/app/old.so"\n')
        applied = self.root.chroot("pinfile-pending", "apply")
        self.assertEqual(applied.returncode, 0, applied.stdout + applied.stderr)
        self.assertEqual(self.root.read("/srv/app/held.so"), "new\n")
        self.assertFalse(os.path.lexists(self.root.file("/srv/app/old.so")))
        self.assertEqual(self.root.staged_files("/srv/app"), [])


class PackageLifeCycle(InRoot):
    """Install, upgrade, remove, install again and purge with operations waiting."""

    def unit_enabled(self):
        return os.path.islink(self.root.file(f"/etc/systemd/system/sysinit.target.wants/{UNIT}"))

    def test_life_cycle(self):
        self.assertTrue(self.unit_enabled())
        staged = self.queue_replacement_and_deletion()
        waiting = self.listed()
        announced = "operations queued earlier wait in /var/lib/pinfile/pending"

        upgraded = self.root.install(self.version + "+1")
        self.assertEqual(upgraded.returncode, 0, upgraded.stderr)
        self.assertIn(announced, upgraded.stderr)
        self.assertEqual(self.listed(), waiting, "an upgrade keeps the queue")
        self.assertTrue(self.unit_enabled())

        removed = self.root.dpkg("-r", "pinfile")
        self.assertEqual(removed.returncode, 0, removed.stderr)
        for told in (f"/srv/app/{staged}", "pinfile-pending cancel",
                     "installing the package again carries them out"):
            self.assertIn(told, removed.stderr)
        self.assertTrue(os.path.exists(self.root.file("/var/lib/pinfile/pending")))
        self.assertEqual(self.root.staged_files("/srv/app"), [staged])
        kept = self.root.chroot("/var/lib/pinfile/pinfile-pending.purge", "list")
        self.assertEqual(kept.stdout, waiting, "a copy of the program waits for the purge")

        again = self.root.install(self.version + "+1")
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn(announced, again.stderr)
        self.assertEqual(self.listed(), waiting, "a reinstall finds the queue as it was")

        purged = self.root.dpkg("-P", "pinfile")
        self.assertEqual(purged.returncode, 0, purged.stderr)
        self.assertIn(f'Отменено: Заменить "/srv/app/lib.so" файлом "/srv/app/{staged}"\n'
                      'Отменено: Удалить "/srv/app/old.so"\n', purged.stderr)
        self.assertFalse(os.path.lexists(self.root.file("/var/lib/pinfile")))
        self.assertEqual(self.root.staged_files("/srv/app"), [])
        self.assertEqual([self.root.read(f"/srv/app/{name}") for name in ("lib.so", "old.so")],
                         ["old\n", "old\n"], "nothing carried out")
        self.assertFalse(self.unit_enabled())

        fresh = self.root.install(self.version)
        self.assertEqual(fresh.returncode, 0, fresh.stderr)
        self.assertNotIn(announced, fresh.stderr)
        self.assertEqual(self.listed(), "Очередь операций на перезагрузку пуста.\n",
                         "nothing comes back")


# One journal file, in /run: the log's order is the order in which journald received it, not
# a merge of the runtime and the persistent file.
VOLATILE_JOURNAL = "[Journal]\nStorage=volatile\n"
CHECK_UNIT = """[Unit]
Description=Record what the boot left, and power off
DefaultDependencies=no
After=basic.target

SuccessAction=poweroff
FailureAction=poweroff

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'journalctl -b --no-pager -o cat > /root/boot.log'
ExecStart=/bin/sh -c 'cat /srv/app/lib.so > /root/seen'

[Install]
WantedBy=basic.target
"""


@contextlib.contextmanager
def nspawn_run_folder():
    """systemd-nspawn keeps its state in /run/systemd/nspawn, which must be a tmpfs: where /run
    is not one, a tmpfs is mounted there for the boot."""
    folder = "/run/systemd/nspawn"
    if checked(["stat", "-f", "-c", "%T", "/run"]).stdout.strip() == "tmpfs" or \
            run(["mountpoint", "-q", folder]).returncode == 0:
        yield
        return
    os.makedirs(folder, exist_ok=True)
    checked(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", folder])
    try:
        yield
    finally:
        run(["umount", folder])


def boot_container(root):
    """Boots the root until it powers itself off; its console output. One that does not is
    asked to shut down (nspawn's SIGTERM), then killed."""
    command = ["systemd-nspawn", "-q", "--keep-unit", "--register=no", "-D", root, "-b"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True) as nspawn:
        try:
            return nspawn.communicate(timeout=300)[0]
        except subprocess.TimeoutExpired as expired:
            nspawn.terminate()
            try:
                output = nspawn.communicate(timeout=60)[0]
            except subprocess.TimeoutExpired:
                nspawn.kill()
                output = nspawn.communicate()[0]
            raise AssertionError(f"the container did not power off:\n{output[-3000:]}") \
                from expired


class SystemdBoot(InRoot):
    """The root booted with systemd-nspawn: the unit carries the queue out early in boot."""

    def boot(self):
        if shutil.which("systemd-nspawn") is None:
            self.skipTest("systemd-nspawn is missing (package systemd-container)")
        self.root.write("/etc/systemd/system/pinfile-check.service", CHECK_UNIT)
        os.makedirs(self.root.file("/etc/systemd/system/basic.target.wants"), exist_ok=True)
        os.symlink("/etc/systemd/system/pinfile-check.service",
                   self.root.file("/etc/systemd/system/basic.target.wants/pinfile-check.service"))
        self.root.write("/etc/systemd/journald.conf.d/volatile.conf", VOLATILE_JOURNAL)
        with nspawn_run_folder():
            # No system bus on the host: --register=no and --keep-unit.
            console = boot_container(self.root.path)
        if not console.startswith("systemd "):
            self.skipTest(f"this machine cannot boot a container: {console[-600:]}")
        self.assertTrue(os.path.exists(self.root.file("/root/boot.log")),
                        f"the check unit did not run:\n{console[-3000:]}")
        return self.root.read("/root/boot.log")

    def assertInOrder(self, log, patterns):
        at = 0
        for pattern in patterns:
            found = re.compile(pattern, re.M).search(log, at)
            self.assertIsNotNone(found, f"{pattern!r} after offset {at} in:\n{log}")
            at = found.end()

    def test_queue_carried_out_between_local_fs_and_sysinit(self):
        staged = self.queue_replacement_and_deletion()
        log = self.boot()
        self.assertInOrder(log, [
            r"^Reached target local-fs\.target", r"^Starting pinfile-pending\.service",
            rf'^Выполнено: Заменить "/srv/app/lib\.so" файлом "/srv/app/{re.escape(staged)}"$',
            r'^Выполнено: Удалить "/srv/app/old\.so"$', r"^Finished pinfile-pending\.service",
            r"^Reached target sysinit\.target", r"^Reached target basic\.target",
            r"^Starting pinfile-check\.service"])
        self.assertEqual(self.root.read("/root/seen"), "new\n", "the check unit saw the new file")
        self.assertEqual(self.root.read("/srv/app/lib.so"), "new\n")
        self.assertFalse(os.path.lexists(self.root.file("/srv/app/old.so")))
        self.assertEqual(self.root.staged_files("/srv/app"), [])
        self.assertNotIn("pending", os.listdir(self.root.file("/var/lib/pinfile")), "no journal left")

    def test_failed_operation_waits_with_the_boot_error(self):
        staged = self.queue_replacement_and_deletion()
        os.unlink(self.root.file("/srv/app/lib.so"))
        os.mkdir(self.root.file("/srv/app/lib.so"))
        failed = (f'Заменить "/srv/app/lib.so" файлом "/srv/app/{staged}"'
                  f'{{}}Ошибка 21: Is a directory')
        log = self.boot()
        self.assertInOrder(log, [re.escape("Не выполнено: " + failed.format(". ")),
                                 r'^Выполнено: Удалить "/srv/app/old\.so"$',
                                 r"^Reached target sysinit\.target"])
        self.assertEqual(self.listed(), "1. " + failed.format(" (не выполнено: ") + ")\n")
        self.assertEqual(self.root.staged_files("/srv/app"), [staged])


def tearDownModule():
    if PACKAGE_FOLDER:
        shutil.rmtree(PACKAGE_FOLDER, ignore_errors=True)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--tarball", required=True, help="where the Debian root is kept")
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="the build's CPackConfig.cmake")
    ARGS, rest = parser.parse_known_args()
    program = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    result = program.result
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
