"""Builds the Windows ZIP with CPack from a finished cross build and checks what it holds:
exactly the programs and the README, in one top-level folder, the programs as Windows
executables and the README as written.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

ARGS = None


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory(prefix="pinfile-zip-")
        result = subprocess.run(
            [ARGS.cpack, "-G", "ZIP", "--config", ARGS.config, "-B", cls.folder.name],
            capture_output=True, text=True, timeout=300)
        if result.returncode != 0:
            raise AssertionError(f"cpack failed ({result.returncode}):\n"
                                 f"{result.stdout}{result.stderr}")
        zips = [name for name in os.listdir(cls.folder.name) if name.endswith(".zip")]
        if len(zips) != 1:
            raise AssertionError(f"expected one .zip, found {zips}")
        cls.path = os.path.join(cls.folder.name, zips[0])
        cls.archive = zipfile.ZipFile(cls.path)

    @classmethod
    def tearDownClass(cls):
        cls.archive.close()
        cls.folder.cleanup()

    def files(self):
        return [info for info in self.archive.infolist() if not info.is_dir()]

    def test_name(self):
        self.assertRegex(os.path.basename(self.path), r"^pinfile-.+\.zip$")

    def test_exactly_the_programs_and_the_readme_in_one_folder(self):
        names = [info.filename for info in self.files()]
        folders = {name.split("/", 1)[0] for name in names}
        self.assertEqual(len(folders), 1, names)
        top = folders.pop()
        self.assertEqual(sorted(names),
                         sorted(f"{top}/{name}" for name in ARGS.program + ["README.md"]))

    def test_programs_are_windows_executables(self):
        by_name = {os.path.basename(info.filename): info for info in self.files()}
        for program in ARGS.program:
            with self.subTest(program=program):
                self.assertTrue(program.endswith(".exe"), program)
                self.assertIn(program, by_name)
                self.assertEqual(self.archive.read(by_name[program])[:2], b"MZ")

    def test_readme_as_written(self):
        readme = [info for info in self.files() if info.filename.endswith("/README.md")]
        self.assertEqual(len(readme), 1)
        with open(ARGS.readme, "rb") as source:
            self.assertEqual(self.archive.read(readme[0]), source.read())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="the build's CPackConfig.cmake")
    parser.add_argument("--readme", required=True)
    parser.add_argument("--program", action="append", required=True,
                        help="a program's file name, e.g. pinfile.exe")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
