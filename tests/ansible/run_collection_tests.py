"""Tests of the Ansible collection: installs the built tarball into a throwaway collections
path, then runs the rules' unit tables, the sanity checks with ansible-test's own scripts and
configurations, the life-cycle play against this machine, and the fleet stand-in, whose time it
prints as a benchmark figure.

Usage: run_collection_tests.py TARBALL BIN_DIR   (as root: the queue belongs to root)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "..", "..", "ansible", "pinfile", "deploy")
SANITY = "/usr/lib/python3/dist-packages/ansible_test/_util/controller/sanity"
PYTHON = "/usr/bin/python3"  # Debian's, which has Ansible; a shim may shadow python3
MODULES = ["plugins/modules/pinfile.py", "plugins/modules/pending_info.py"]


class CollectionTests(unittest.TestCase):
    tarball = bin_dir = None

    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="pinfile-ansible-")
        cls.collections = os.path.join(cls.base, "collections")
        cls.run_tool(["ansible-galaxy", "collection", "install", cls.tarball, "-p", cls.collections])
        cls.installed = os.path.join(cls.collections, "ansible_collections", "pinfile", "deploy")
        cls.env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=cls.collections, ANSIBLE_NOCOLOR="1",
                       ANSIBLE_PYTHON_INTERPRETER=PYTHON, ANSIBLE_LOCALHOST_WARNING="0",
                       ANSIBLE_INVENTORY_UNPARSED_WARNING="0", LANG="C.UTF-8")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.base, ignore_errors=True)

    @classmethod
    def run_tool(cls, args, cwd=None, env=None, check=True):
        done = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=900)
        if check and done.returncode != 0:
            raise AssertionError("%s failed:\n%s\n%s" % (args, done.stdout[-3000:], done.stderr[-3000:]))
        return done

    def test_rules(self):
        done = self.run_tool([PYTHON, os.path.join(HERE, "test_rules.py"),
                              os.path.join(self.installed, "plugins", "module_utils")], check=False)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_sanity_with_ansible_tests_own_checks(self):
        ignored = {tuple(line.split("#")[0].split()) for line in
                   open(os.path.join(SOURCE, "tests", "sanity", "ignore-2.14.txt")) if line.strip()}
        # "--arg" is the script's own option that also checks each module's argument table
        # against its documentation (argparse takes the unambiguous start of the option).
        done = self.run_tool(
            [PYTHON, os.path.join(SANITY, "validate-modules", "validate.py"), "--format", "json", "--arg",
             "--collection", "ansible_collections/pinfile/deploy", "--collection-version", "1.0.0"] + MODULES,
            cwd=self.installed, env=dict(self.env, PYTHONPATH=self.collections), check=False)
        # It exits 0 whatever it finds: the findings are read from its report.
        findings = [(path, "validate-modules:" + error["code"])
                    for path, report in json.loads(done.stdout or "{}").items() for error in report["errors"]]
        self.assertTrue(done.stdout, done.stderr)
        self.assertEqual([f for f in findings if f not in ignored], [])
        python = [os.path.join(root, name) for root, _, names in os.walk(self.installed)
                  for name in names if name.endswith(".py")]
        with open(os.path.join(SANITY, "pep8", "current-ignore.txt")) as handle:
            pep8_ignore = ",".join(line.strip() for line in handle if line.strip())
        self.run_tool(["pycodestyle", "--max-line-length", "160", "--ignore", pep8_ignore] + python)
        self.run_tool(["pylint", "--rcfile", os.path.join(SANITY, "pylint", "config", "collection.cfg"),
                       "--disable", "import-error", "--score", "n"] + python,
                      env=dict(self.env, PYTHONPATH=self.collections))
        yaml = [os.path.join(root, name) for folder in (self.installed, HERE)
                for root, _, names in os.walk(folder) for name in names if name.endswith((".yml", ".yaml"))]
        self.run_tool(["yamllint", "-c", os.path.join(SANITY, "yamllint", "config", "default.yml")] + yaml)
        for module in ("pinfile", "pending_info"):
            shown = self.run_tool(["ansible-doc", "pinfile.deploy." + module], env=self.env)
            self.assertIn("RETURN VALUES", shown.stdout)

    def test_windows_pattern_passes_syntax_check(self):
        # ansible.windows is not at hand offline: its modules are stood in for, by name only.
        stubs = os.path.join(self.base, "stubs", "ansible_collections", "ansible", "windows", "plugins", "modules")
        os.makedirs(stubs, exist_ok=True)
        for name in ("win_stat", "win_command", "win_reboot", "win_copy", "win_service"):
            open(os.path.join(stubs, name + ".py"), "w").close()
        env = dict(self.env, ANSIBLE_COLLECTIONS_PATH=self.collections + ":" + os.path.join(self.base, "stubs"))
        playbook = os.path.join(self.installed, "docs", "windows-playbook.yml")
        self.run_tool(["ansible-playbook", "--syntax-check", "-i", "windows-host,", playbook], env=env)
        # The steps in their order: the transfer, the queue read before pinfile queues again,
        # pinfile's line in a failed task's msg.
        with open(playbook) as handle:
            steps = [(name, str(args)) for task in yaml.safe_load(handle)[0]["tasks"]
                     for name, args in task.items() if name.startswith("ansible.")]
        commands = [args for _, args in steps]
        self.assertEqual(steps[0][0], "ansible.windows.win_copy")
        self.assertLess(commands.index(next(c for c in commands if "list --json" in c)),
                        commands.index(next(c for c in commands if "pinfile.exe /C" in c)))
        self.assertIn("placed.stdout", dict(steps)["ansible.builtin.fail"])

    def test_life_cycle_on_this_machine(self):
        work, root = tempfile.mkdtemp(dir=self.base), tempfile.mkdtemp(dir=self.base)
        os.makedirs(os.path.join(root, "var", "lib"))
        for folder in (self.base, work, root):  # the play works as nobody too
            os.chmod(folder, 0o755)
        password = os.path.join(self.base, "vault-password")
        with open(password, "w") as handle:
            handle.write("lifecycle\n")
        done = self.run_tool(["ansible-playbook", "-i", "localhost,", os.path.join(HERE, "lifecycle.yml"),
                              "--vault-password-file", password, "-e", "vault_password_file=" + password,
                              "-e", "work=" + work, "-e", "root=" + root, "-e", "bin=" + self.bin_dir],
                             env=self.env, check=False)
        self.assertEqual(done.returncode, 0, done.stdout[-4000:])

    def test_fleet_stand_in(self):
        base = os.path.join(self.base, "fleet")
        hosts = ["host%02d" % n for n in range(20)]
        held = set(hosts[3::4])
        inventory = os.path.join(self.base, "fleet.ini")
        with open(inventory, "w") as handle:
            handle.write("[fleet]\n")
            for host in hosts:
                handle.write("%s ansible_connection=local%s\n" % (host, " held=true" if host in held else ""))
        for host in hosts:
            os.makedirs(os.path.join(base, host, "var", "lib"))
        started = time.monotonic()
        done = self.run_tool(["ansible-playbook", "-f", "10", "-i", inventory, os.path.join(HERE, "fleet.yml"),
                              "-e", "fleet_base=" + base, "-e", "bin=" + self.bin_dir], env=self.env, check=False)
        seconds = time.monotonic() - started
        self.assertEqual(done.returncode, 0, done.stdout[-4000:])
        self.assertIn("waiting for a restart: " + ", ".join(sorted(held)), done.stdout)
        print("\nfleet stand-in: 20 hosts, forks 10, 5 held: %.1f s" % seconds, file=sys.stderr)


if __name__ == "__main__":
    if os.geteuid() != 0 or not shutil.which("ansible-playbook"):
        print("skipped: needs root (the queue is root's) and ansible-core")
        sys.exit(77)
    os.umask(0o022)  # what a new file gets is compared with copy's, which follows the umask
    CollectionTests.tarball, CollectionTests.bin_dir = map(os.path.abspath, sys.argv[1:3])
    del sys.argv[1:3]
    unittest.main(verbosity=2)
