"""The pinfile modules' rules as tables: what pinfile's answer means to Ansible, and when a task
has anything to do."""

import json
import sys
import unittest

sys.path.insert(0, sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1].endswith("module_utils") else ".")
import pinfile_rules as rules  # noqa: E402  (found through the path given)

COPIED, QUEUED = "Файл успешно скопирован.\n", "Файл успешно поставлен в очередь на копирование.\n"
FAILED = "Файл не удалось поставить в очередь на копирование.\n\nОшибка 13: Permission denied\n"


class ResultTests(unittest.TestCase):
    def test_exit_status_and_lines_to_the_module_result(self):
        # (rc, stdout, stderr, changed, failed, reboot_required, msg, withdrawn)
        withdrew = "Отменено: Удалить \"/x\"\n"
        cases = [
            (0, COPIED, "", True, False, False, COPIED.strip(), []),
            (0, COPIED, withdrew, True, False, False, COPIED.strip(), ['Удалить "/x"']),
            (3, QUEUED, "", True, False, True, QUEUED.strip(), []),
            (1, "Файл не найден.\n", "", False, True, False, "Файл не найден.", []),
            (1, FAILED, "", False, True, False,
             "Файл не удалось поставить в очередь на копирование. Ошибка 13: Permission denied", []),
            (2, "Использование:\n", "", False, True, False, "Использование:", []),
            (70, "", "pinfile: cannot write to standard output\n", False, True, False,
             "pinfile: cannot write to standard output", []),
        ]
        for rc, out, err, changed, failed, reboot, msg, withdrawn in cases:
            with self.subTest(rc=rc, out=out):
                result = rules.result_of_run(rc, out, err)
                self.assertEqual((result["changed"], result["failed"], result["reboot_required"],
                                  result["msg"], result["withdrawn"], result["rc"]),
                                 (changed, failed, reboot, msg, withdrawn, rc))


class HoldersTests(unittest.TestCase):
    def test_the_holders_answer_to_the_module_result(self):
        user = {"pid": 7, "command": "nginx", "file": "/l", "unit": "nginx.service", "why": "old-version"}
        document = '{"complete":%s,"processes":[%s],"services":["nginx.service"]}'
        # (rc, stdout, processes, services, complete)
        cases = [
            (0, document % ("true", json.dumps(user)), [user], ["nginx.service"], True),
            (1, document % ("false", json.dumps(user)), [user], ["nginx.service"], False),
            (2, "Использование:\n", [], [], False),
            (70, "", [], [], False),
        ]
        for rc, out, processes, services, complete in cases:
            with self.subTest(rc=rc):
                self.assertEqual(rules.holders_of(rc, out),
                                 dict(processes=processes, services=services, holders_complete=complete))


class DecisionTests(unittest.TestCase):
    def test_what_a_task_has_to_do(self):
        replace = {"kind": "replace", "target": "/t", "made_by_pinfile": True}
        delete = {"kind": "delete", "target": "/t", "made_by_pinfile": True}
        # (state, dest checksum, src checksum, waiting, staged checksum, changed, waits for dest)
        cases = [
            ("present", "a", "a", [], None, False, False),
            ("present", "a", "b", [], None, True, False),
            ("present", None, "b", [], None, True, False),
            ("present", None, None, [], None, True, False),
            ("present", "a", "b", [replace], "b", False, True),
            ("present", "a", "b", [replace], "c", True, False),
            ("present", "a", "a", [replace], "c", True, False),
            ("present", "a", "a", [delete], None, True, False),
            ("absent", None, None, [], None, False, False),
            ("absent", "a", None, [], None, True, False),
            ("absent", "a", None, [delete], None, False, True),
            ("absent", None, None, [replace], "c", True, False),
        ]
        for state, dest, src, waiting, staged, changed, waits in cases:
            for check_mode in (False, True):
                with self.subTest(state=state, dest=dest, src=src, waiting=waiting, staged=staged,
                                  check_mode=check_mode):
                    # Check mode predicts the same change and runs nothing.
                    self.assertEqual(rules.decide(state, dest, src, waiting, staged, check_mode),
                                     (changed, changed and not check_mode, waits))

    def test_only_pinfiles_operations_on_dest_count(self):
        document = {"operations": [
            {"number": 1, "kind": "delete", "target": "/t", "made_by_pinfile": False},
            {"number": 2, "kind": "replace", "target": "/u", "made_by_pinfile": True},
            {"number": 3, "kind": "replace", "target": "/t", "made_by_pinfile": True}]}
        self.assertEqual([o["number"] for o in rules.pending_for(document, "/t")], [3])


if __name__ == "__main__":
    unittest.main()
