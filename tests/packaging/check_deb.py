"""Builds the Debian package with CPack from a finished build and checks what it installs.

The package is made in a temporary folder (cpack -B), unpacked with dpkg-deb -x and its
control part with dpkg-deb -e; nothing is installed on the machine. The maintainer scripts run
either with a PATH that holds only stand-ins, or with DPKG_ROOT naming a temporary folder as
dpkg's installation root, so they touch nothing here either.
"""

import argparse
import gzip
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

import unit_check

ARGS = None
PACKAGE = None  # path of the .deb
WORK = None  # temporary folder: the package, its unpacked data and control parts
MAINTAINER = "pinfile developers <maintainers@users.noreply.c-seed-0d4ab6fd.example>"


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)


def checked(*command, **kwargs):
    result = run(*command, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(command)} failed ({result.returncode}):\n"
                             f"{result.stdout}{result.stderr}")
    return result.stdout


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def setUpModule():
    global PACKAGE, WORK
    WORK = tempfile.mkdtemp(prefix="pinfile-deb-")
    out = os.path.join(WORK, "out")
    checked(ARGS.cpack, "-G", "DEB", "--config", ARGS.config, "-B", out)
    debs = [name for name in os.listdir(out) if name.endswith(".deb")]
    if len(debs) != 1:
        raise AssertionError(f"expected one .deb in {out}, found {debs}")
    PACKAGE = os.path.join(out, debs[0])
    checked("dpkg-deb", "-x", PACKAGE, os.path.join(WORK, "root"))
    checked("dpkg-deb", "-e", PACKAGE, os.path.join(WORK, "control"))


def tearDownModule():
    if WORK:
        shutil.rmtree(WORK, ignore_errors=True)


def root_path(relative):
    return os.path.join(WORK, "root", relative)


def man_page(source):
    return os.path.join(ARGS.man_dir, os.path.basename(source) + ".gz")


def unit_relative():
    return os.path.join(ARGS.unit_dir, os.path.basename(ARGS.unit))


class ControlFields(unittest.TestCase):
    def field(self, name):
        return checked("dpkg-deb", "-f", PACKAGE, name).strip()

    def test_file_name(self):
        arch = checked("dpkg", "--print-architecture").strip()
        version = self.field("Version")
        self.assertEqual(os.path.basename(PACKAGE), f"pinfile_{version}_{arch}.deb")

    def test_fields(self):
        self.assertEqual(self.field("Package"), "pinfile")
        self.assertEqual(self.field("Maintainer"), MAINTAINER)
        self.assertEqual(self.field("Section"), "admin")
        self.assertEqual(self.field("Architecture"),
                         checked("dpkg", "--print-architecture").strip())
        description = self.field("Description").splitlines()
        self.assertGreater(len(description), 1, "a summary line and a longer text")
        self.assertTrue(description[0].strip())

    def test_changelog_names_the_packaged_version(self):
        changelog = gzip.decompress(read_bytes(root_path(os.path.join(ARGS.doc_dir,
                                                                      "changelog.gz"))))
        self.assertTrue(changelog.startswith(f"pinfile ({self.field('Version')}) ".encode()),
                        changelog[:80])

    def test_depends_read_off_the_programs(self):
        if ARGS.shlibdeps != "ON":
            self.skipTest("dpkg-shlibdeps does not work on this machine")
        depends = [entry.strip().split()[0] for entry in self.field("Depends").split(",")]
        for library in ("libc6", "libstdc++6"):
            self.assertIn(library, depends)


class MaintainerScripts(unittest.TestCase):
    def test_listed_by_dpkg_deb(self):
        # dpkg-deb -I lists the control members as "SIZE bytes, N lines [*] NAME [#!INTERPRETER]",
        # the star marking an executable one.
        info = checked("dpkg-deb", "-I", PACKAGE)
        members = {}
        for line in info.splitlines():
            match = re.match(r"\s*\d+ bytes,\s+\d+ lines\s+(\*?)\s*(\S+)\s*(.*)$", line)
            if match:
                members[match.group(2)] = (match.group(1), match.group(3).strip())
        self.assertIn("control", members, info)
        scripts = {os.path.basename(script) for script in ARGS.maintainer_script}
        for name in scripts:
            self.assertEqual(members.get(name), ("*", "#!/bin/sh"), f"{name}:\n{info}")
        self.assertEqual(set(members) - {"control", "md5sums"}, scripts, info)

    def test_shipped_as_written_executable_and_parsable(self):
        for script in ARGS.maintainer_script:
            name = os.path.basename(script)
            with self.subTest(script=name):
                shipped = os.path.join(WORK, "control", name)
                self.assertEqual(read_bytes(shipped), read_bytes(script))
                self.assertEqual(stat.S_IMODE(os.stat(shipped).st_mode), 0o755)
                self.assertTrue(read_bytes(shipped).startswith(b"#!/bin/sh\n"))
                checked("sh", "-n", shipped)

    def run_scripts(self, calls, helper_status=None):
        """Runs (script, arguments...) as on a running system, but with only stand-in tools
        on PATH (no systemctl; a deb-systemd-helper that logs its arguments and exits with
        helper_status, unless that is None); returns the log."""
        with tempfile.TemporaryDirectory(prefix="pinfile-maint-") as folder:
            tools = os.path.join(folder, "bin")
            os.mkdir(tools)
            log = os.path.join(folder, "log")
            if helper_status is not None:
                helper = os.path.join(tools, "deb-systemd-helper")
                with open(helper, "w", encoding="utf-8") as file:
                    file.write(f'#!/bin/sh\necho "$*" >> "{log}"\nexit {helper_status}\n')
                os.chmod(helper, 0o755)
            for script, *arguments in calls:
                result = run("/bin/sh", os.path.join(WORK, "control", script), *arguments,
                             env={"PATH": tools, "DPKG_ROOT": folder}, cwd=folder)
                self.assertEqual(result.returncode, 0,
                                 f"{script} {' '.join(arguments)}: {result.stderr}")
            return read_bytes(log).decode().splitlines() if os.path.exists(log) else []

    def test_without_helper_or_systemctl_nothing_fails(self):
        calls = [("postinst", "configure", ""), ("postinst", "configure", "0.9"),
                 ("prerm", "upgrade", "1.1"), ("prerm", "remove"),
                 ("postrm", "remove"), ("postrm", "purge")]
        self.assertEqual(self.run_scripts(calls), [])

    def test_a_failing_helper_fails_no_script(self):
        unit = os.path.basename(ARGS.unit)
        calls = [("postinst", "configure", ""), ("prerm", "upgrade", "1.1"),
                 ("prerm", "remove"), ("postrm", "remove"), ("postrm", "purge")]
        self.assertEqual(self.run_scripts(calls, 1),
                         [f"unmask {unit}", f"--quiet was-enabled {unit}", f"update-state {unit}",
                          f"mask {unit}", f"purge {unit}", f"unmask {unit}"])

    def test_life_cycle_with_deb_systemd_helper(self):
        """The real deb-systemd-helper (init-system-helpers, essential in Debian) on a folder
        that dpkg would install into (DPKG_ROOT): install, upgrade, an administrator's disable,
        removal, installing again, purge."""
        self.assertIsNotNone(shutil.which("deb-systemd-helper"), "deb-systemd-helper missing")
        unit = os.path.basename(ARGS.unit)
        unpacked = os.path.join(WORK, "root")
        with tempfile.TemporaryDirectory(prefix="pinfile-dpkg-root-") as root:
            link = os.path.join(root, "etc/systemd/system/sysinit.target.wants", unit)
            mask = os.path.join(root, "etc/systemd/system", unit)
            state = os.path.join(root, "var/lib/pinfile")
            journal = os.path.join(state, "pending")
            records = os.path.join(root, "var/lib/systemd/deb-systemd-helper-enabled")

            def unpack():
                shutil.copytree(unpacked, root, symlinks=True, dirs_exist_ok=True)

            def remove_files():  # what dpkg does between prerm and postrm
                for folder, _, names in os.walk(unpacked):
                    for name in names:
                        os.unlink(os.path.join(root, os.path.relpath(folder, unpacked), name))

            def script(name, *arguments):
                env = dict(os.environ, DPKG_ROOT=root, DPKG_MAINTSCRIPT_PACKAGE="pinfile",
                           DPKG_MAINTSCRIPT_NAME=name)
                result = run("/bin/sh", os.path.join(WORK, "control", name), *arguments,
                             env=env, cwd=root)
                self.assertEqual(result.returncode, 0,
                                 f"{name} {' '.join(arguments)}: {result.stderr}")
                return result.stderr

            def enabled():
                return os.path.islink(link) and not os.path.lexists(mask)

            unpack()
            self.assertEqual(script("postinst", "configure", ""), "")
            self.assertTrue(enabled(), "enabled on the first installation")
            self.assertEqual(os.readlink(link), "/" + unit_relative())

            script("prerm", "upgrade", "1.1")
            unpack()
            script("postinst", "configure", "1.0.0")
            self.assertTrue(enabled(), "an upgrade keeps the unit enabled")

            os.unlink(link)  # what "systemctl disable" does
            script("prerm", "upgrade", "1.1")
            script("postinst", "configure", "1.0.0")
            self.assertFalse(os.path.lexists(link), "an upgrade keeps the administrator's disable")
            os.symlink("/" + unit_relative(), link)  # and "systemctl enable"

            os.makedirs(state)
            for name in (journal, os.path.join(state, "id")):
                with open(name, "wb"):
                    pass
            self.assertIn("still queued", script("prerm", "remove"))
            remove_files()
            script("postrm", "remove")
            self.assertEqual(os.readlink(mask), "/dev/null", "masked while removed")

            unpack()
            self.assertIn("wait in /var/lib/pinfile/pending", script("postinst", "configure",
                                                                     "1.0.0"))
            self.assertTrue(enabled(), "enabled again when installed again")

            script("prerm", "remove")
            remove_files()
            script("postrm", "remove")
            # This folder has no libraries for the kept pinfile-pending to run in a chroot.
            self.assertIn("could not be withdrawn", script("postrm", "purge"))
            self.assertFalse(os.path.lexists(link), "purge removes the unit's links")
            self.assertFalse(os.path.lexists(mask), "purge removes the mask")
            left = [os.path.join(folder, name) for folder, _, names in os.walk(records)
                    for name in names]
            self.assertEqual(left, [], "purge forgets the unit")
            self.assertTrue(os.path.exists(journal), "a queue that cannot be withdrawn stays")

            os.unlink(journal)
            with open(os.path.join(state, "last-restart"), "wb"):
                pass
            script("postrm", "purge")
            self.assertFalse(os.path.exists(state), "purge removes the state folder, all of it")


class Contents(unittest.TestCase):
    def expected_files(self):
        files = {os.path.join(ARGS.bin_dir, program) for program in ARGS.program}
        files |= {os.path.join(ARGS.doc_dir, os.path.basename(doc) + ".gz") for doc in ARGS.doc}
        files |= {os.path.join(ARGS.doc_dir, name) for name in ("copyright", "changelog.gz")}
        files |= {man_page(source) for source in ARGS.man_page}
        files.add(unit_relative())
        return files

    def test_exactly_the_expected_files(self):
        found = set()
        for folder, _, names in os.walk(os.path.join(WORK, "root")):
            for name in names:
                found.add(os.path.relpath(os.path.join(folder, name), os.path.join(WORK, "root")))
        self.assertEqual(found, self.expected_files())

    def test_programs_are_executables(self):
        for program in ARGS.program:
            with self.subTest(program=program):
                path = root_path(os.path.join(ARGS.bin_dir, program))
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o755)
                self.assertEqual(read_bytes(path)[:4], b"\x7fELF")

    def test_programs_hardened(self):
        # What dpkg-buildflags asks for: -z now, the stack protector and fortified calls.
        for program in ARGS.program:
            path = root_path(os.path.join(ARGS.bin_dir, program))
            dynamic = checked("readelf", "-d", "-W", path)
            symbols = checked("readelf", "--dyn-syms", "-W", path)
            with self.subTest(program=program):
                self.assertRegex(dynamic, r"FLAGS_1\)\s+Flags: NOW")
                self.assertIn("__stack_chk_fail", symbols)
                self.assertRegex(symbols, r"__\w+_chk@")

    def test_unit_documentation_is_installed(self):
        with open(ARGS.unit, encoding="utf-8") as unit:
            line = next(line for line in unit if line.startswith("Documentation="))
        for link in line.split("=", 1)[1].split():
            if link.startswith("file:"):
                self.assertTrue(os.path.isfile(root_path(link[len("file:/"):])), link)

    def test_programs_run(self):
        # The package's programs are stripped copies: they still start and answer.
        answers = {"pinfile": ([], 2), "pinfile-pending": (["--help"], 0)}
        with tempfile.TemporaryDirectory(prefix="pinfile-run-") as folder:
            for program in ARGS.program:
                arguments, status = answers[program]
                with self.subTest(program=program):
                    result = subprocess.run(
                        [root_path(os.path.join(ARGS.bin_dir, program)), *arguments],
                        capture_output=True, timeout=60, cwd=folder,
                        env=dict(os.environ, PINFILE_TEST_ROOT=folder, LANG="C.UTF-8"))
                    self.assertEqual(result.returncode, status, result.stderr)
                    self.assertIn("Использование:".encode(), result.stdout)

    def test_unit_and_copyright_as_written(self):
        sources = [ARGS.unit, ARGS.copyright]
        shipped = [unit_relative(), os.path.join(ARGS.doc_dir, "copyright")]
        for source, relative in zip(sources, shipped):
            with self.subTest(file=relative):
                path = root_path(relative)
                self.assertEqual(read_bytes(path), read_bytes(source))
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o644)

    def test_compressed_as_written(self):
        pairs = [(source, man_page(source)) for source in ARGS.man_page]
        pairs.append((ARGS.changelog, os.path.join(ARGS.doc_dir, "changelog.gz")))
        pairs += [(doc, os.path.join(ARGS.doc_dir, os.path.basename(doc) + ".gz"))
                  for doc in ARGS.doc]
        for source, relative in pairs:
            with self.subTest(file=relative):
                self.assertEqual(gzip.decompress(read_bytes(root_path(relative))), read_bytes(source))

    def test_man_pages_render_without_warnings(self):
        for source in ARGS.man_page:
            with self.subTest(page=os.path.basename(source)):
                page = gzip.decompress(read_bytes(root_path(man_page(source))))
                result = subprocess.run(["groff", "-ww", "-z", "-man"], input=page,
                                        capture_output=True, timeout=60)
                self.assertEqual((result.returncode, result.stderr), (0, b""))

    def test_lintian_finds_nothing(self):
        result = run("lintian", "--fail-on", "none", PACKAGE)
        tags = [line for line in result.stdout.splitlines() if re.match(r"[EW]: ", line)]
        self.assertEqual(tags, [], result.stdout + result.stderr)

    def test_unit_verifies_in_the_unpacked_tree(self):
        # Also proves that ExecStart= names the program where the package puts it.
        passed, report = unit_check.verify(ARGS.systemd_analyze, os.path.join(WORK, "root"),
                                           root_path(unit_relative()))
        self.assertTrue(passed, report)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="the build's CPackConfig.cmake")
    parser.add_argument("--bin-dir", required=True, help="e.g. usr/bin")
    parser.add_argument("--doc-dir", required=True, help="e.g. usr/share/doc/pinfile")
    parser.add_argument("--program", action="append", required=True)
    parser.add_argument("--doc", action="append", required=True)
    parser.add_argument("--shlibdeps", choices=["ON", "OFF"], required=True)
    parser.add_argument("--unit", required=True, help="the unit's source")
    parser.add_argument("--unit-dir", required=True, help="e.g. usr/lib/systemd/system")
    parser.add_argument("--systemd-analyze", required=True)
    parser.add_argument("--maintainer-script", action="append", required=True)
    parser.add_argument("--man-dir", required=True, help="e.g. usr/share/man/man8")
    parser.add_argument("--man-page", action="append", required=True, help="a page's source")
    parser.add_argument("--copyright", required=True, help="the copyright file's source")
    parser.add_argument("--changelog", required=True, help="the changelog's source")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
