"""The pinfile modules' rules as tables: what pinfile's answer means to Ansible, when a task
has anything to do, and when the action plugin sends the file."""

import json
import os
import runpy
import sys
import tempfile
import unittest
from unittest import mock

UTILS = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1].endswith("module_utils") else "."
sys.path.insert(0, UTILS)
import pinfile_rules as rules  # noqa: E402  (found through the path given)

COPIED, QUEUED = "Файл успешно скопирован.\n", "Файл успешно поставлен в очередь на копирование.\n"
FAILED = "Файл не удалось поставить в очередь на копирование.\n\nОшибка 13: Permission denied\n"
UNREADABLE = "Не удалось прочитать очередь. Ошибка 13: Permission denied\n"


class ResultTests(unittest.TestCase):
    def test_exit_status_and_lines_to_the_module_result(self):
        # (rc, stdout, stderr, changed, failed, reboot_required, msg, withdrawn, error_code)
        withdrew = "Отменено: Удалить \"/x\"\n"
        cases = [
            (0, COPIED, "", True, False, False, "The file was copied into place", [], None),
            (0, COPIED, withdrew, True, False, False, "The file was copied into place", ['Удалить "/x"'], None),
            (0, withdrew, "", True, False, False, "Withdrew the waiting operations", ['Удалить "/x"'], None),
            (3, QUEUED, "", True, False, True,
             "The file is in use: its replacement waits for the next restart", [], None),
            (1, "Файл не найден.\n", "", False, True, False, "File not found", [], None),
            (1, FAILED, "", False, True, False,
             "Could not queue the replacement for the restart: error 13 (Permission denied)", [], 13),
            (1, "", UNREADABLE, False, True, False,
             "Could not read the restart queue: error 13 (Permission denied)", [], 13),
            (2, "Использование:\n", "", False, True, False, "pinfile did not understand its command line", [], None),
            (70, "", "pinfile: cannot write to standard output\n", False, True, False,
             "pinfile: cannot write to standard output", [], None),
        ]
        for rc, out, err, changed, failed, reboot, msg, withdrawn, code in cases:
            with self.subTest(rc=rc, out=out):
                result = rules.result_of_run(rc, out, err)
                self.assertEqual((result["changed"], result["failed"], result["reboot_required"],
                                  result["msg"], result["withdrawn"], result["rc"], result.get("error_code")),
                                 (changed, failed, reboot, msg, withdrawn, rc, code))
                self.assertEqual((result["stdout"], result["stderr"]), (out, err))

    def test_only_a_refused_user_reads_no_queue_without_failing(self):
        cases = [(1, UNREADABLE, True), (1, "Не удалось прочитать очередь. Ошибка 1: Operation not permitted", True),
                 (1, "Не удалось прочитать очередь. Ошибка 5: Input/output error", False),
                 (1, "Очередь \"/var/lib/pinfile/journal\" отклонена: её владелец не root.", False), (0, "", False)]
        for rc, err, unreadable in cases:
            with self.subTest(err=err):
                self.assertEqual(rules.queue_unreadable(rc, "", err), unreadable)


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
            (0, "cut short {", [], [], False),  # no document: no answer, not a traceback
        ]
        for rc, out, processes, services, complete in cases:
            with self.subTest(rc=rc, out=out):
                self.assertEqual(rules.holders_of(rc, out),
                                 dict(processes=processes, services=services, holders_complete=complete))


class DecisionTests(unittest.TestCase):
    def test_what_a_task_has_to_do(self):
        replace = {"kind": "replace", "target": "/t", "made_by_pinfile": True}
        delete = {"kind": "delete", "target": "/t", "made_by_pinfile": True}
        failed = dict(replace, state="failed", error={"code": 21, "text": "Is a directory"})
        failed_delete = dict(delete, state="failed", error={"code": 116, "text": "Stale file handle"})
        # (state, dest checksum, src checksum, waiting, staged checksum, force, attributes change,
        #  action, waits for dest)
        cases = [
            ("present", "a", "a", [], None, True, False, None, False),
            ("present", "a", "b", [], None, True, False, "copy", False),
            ("present", None, "b", [], None, True, False, "copy", False),
            ("present", "a", "b", [replace], "b", True, False, None, True),
            ("present", "a", "b", [replace], "b", True, True, "copy", False),
            ("present", "a", "b", [replace], "c", True, False, "copy", False),
            ("present", "a", "b", [failed], "b", True, False, "copy", False),  # pinfile runs again and withdraws it
            ("present", "a", "a", [replace], "c", True, False, "withdraw", False),
            ("present", "a", "a", [delete], None, True, False, "withdraw", False),
            ("present", "a", "b", [], None, False, False, None, False),
            ("present", None, "b", [], None, False, False, "copy", False),
            ("absent", None, None, [], None, True, False, None, False),
            ("absent", "a", None, [], None, True, False, "delete", False),
            ("absent", "a", None, [delete], None, True, False, None, True),
            ("absent", "a", None, [failed_delete], None, True, False, "delete", False),  # runs again
            ("absent", None, None, [replace], "c", True, False, "withdraw", False),
        ]
        for state, dest, src, waiting, staged, force, attributes, action, waits in cases:
            with self.subTest(state=state, dest=dest, src=src, waiting=waiting, staged=staged, force=force,
                              attributes=attributes):
                self.assertEqual(rules.decide(state, dest, src, waiting, staged, force, attributes), (action, waits))

    def test_operations_selected_by_target_and_maker(self):
        document = {"operations": [
            {"number": 1, "kind": "delete", "target": "/t", "made_by_pinfile": False},
            {"number": 2, "kind": "replace", "target": "/u", "made_by_pinfile": True},
            {"number": 3, "kind": "replace", "target": "/t", "made_by_pinfile": True}]}
        self.assertEqual([o["number"] for o in rules.pending_for(document, "/t")], [3])
        cases = [(None, False, [1, 2, 3]), (None, True, [2, 3]), ({"/t"}, False, [1, 3]), ({"/t"}, True, [3]),
                 ({"/v"}, False, [])]
        for names, ours, numbers in cases:
            with self.subTest(names=names, ours=ours):
                self.assertEqual([o["number"] for o in rules.select_operations(document, names, ours)], numbers)


class ActionPluginTests(unittest.TestCase):
    def test_the_file_is_sent_only_when_the_module_needs_it(self):
        path = os.path.join(os.path.dirname(os.path.abspath(UTILS)), "action", "pinfile.py")
        action_module = runpy.run_path(path, run_name="pinfile_action")["ActionModule"]
        with tempfile.NamedTemporaryFile() as source:
            # (the module's first answer, files sent)
            for first, sent in [({"changed": False, "dest": "/t"}, 0), ({"_needs_source": True, "dest": "/t"}, 1)]:
                with self.subTest(first=first):
                    task = mock.MagicMock(async_val=0, args={"src": source.name, "dest": "/t"})
                    loader = mock.MagicMock(**{"get_real_file.return_value": source.name})
                    plugin = action_module(task, mock.MagicMock(), mock.MagicMock(diff=False, check_mode=False),
                                           loader, None, None)
                    with mock.patch.multiple(plugin, _find_needle=mock.DEFAULT, _transfer_file=mock.DEFAULT,
                                             _fixup_perms2=mock.DEFAULT, _remove_tmp_path=mock.DEFAULT,
                                             _execute_module=mock.DEFAULT) as patched:
                        patched["_find_needle"].return_value = source.name
                        patched["_execute_module"].side_effect = [dict(first), {"changed": True, "dest": "/t"}]
                        result = plugin.run(task_vars={})
                    self.assertEqual(patched["_transfer_file"].call_count, sent)
                    self.assertNotIn("_needs_source", result)

    def test_a_replacement_of_dest_that_the_last_restart_missed_is_found(self):
        missed = [{"kind": "replace", "target": "/t", "source": "/s", "why": "failed"},
                  {"kind": "delete", "target": "/t", "why": "target_still_present"},
                  {"kind": "replace", "target": "/u", "source": "/v", "why": "target_unchanged"}]
        document = {"last_restart": {"carried_out": 0, "not_carried_out": missed}}
        self.assertEqual(rules.missed_replacements(document, "/t"), missed[:1])
        self.assertEqual(rules.missed_replacements({}, "/t"), [])


if __name__ == "__main__":
    unittest.main()
