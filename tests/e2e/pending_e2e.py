"""End-to-end tests of pinfile-pending: the restart queue as a whole, as an administrator and
the boot see it (see harness.py for how the build under test is run)."""

import os
import unittest

from harness import *  # noqa: F401,F403  (the harness is this suite's vocabulary)

EMPTY = "Очередь операций на перезагрузку пуста."


def replace_line(target, staged):
    return 'Заменить "%s" файлом "%s"' % (target, staged)


def delete_line(name):
    return 'Удалить "%s"' % name


def numbered(lines):
    return ["%d. %s" % (number, line) for number, line in enumerate(lines, 1)]


class PendingCase(Case):
    def pending(self, *args):
        return self.run_pinfile(*args, program=os.environ["PINFILE_PENDING_EXE"])


class PendingUsageTests(PendingCase):
    def test_help_and_usage_errors(self):
        help_text = self.pending("--help")
        self.assertEqual(help_text.status, 0)
        self.assertTrue(help_text.stdout.startswith(encode_lines(["Использование:", ""])))
        for args in [[], ["lists"], ["list", "extra"], ["LIST"]]:
            with self.subTest(args=args):
                self.assertOutput(self.pending(*args), help_text.stdout.decode().splitlines(), 2)


@unittest.skipIf(WINDOWS, "the journal is the POSIX build's restart queue")
@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "the queue belongs to root")
class JournalTests(PendingCase):
    def queue_replacement(self, name, old, new):
        self.work.file("new-" + name, new)
        target = self.work.file(name, old)
        with held(target):
            self.assertOutput(self.run_pinfile("/C", "new-" + name, name), [QUEUED_COPY], EXIT_QUEUED)
        staged = [n for n in self.staged_files() if n not in self.known_staged]
        self.known_staged.update(staged)
        return target, os.path.join(self.work.path, staged[0])

    def queue_deletion(self, name):
        victim = self.work.file(name, b"doomed")
        with held(victim):
            self.assertOutput(self.run_pinfile("/D", name), [QUEUED_DELETE], EXIT_QUEUED)
        return victim

    def setUp(self):
        super().setUp()
        self.known_staged = set()

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

    def test_a_damaged_record_is_skipped_and_the_others_carried_out(self):
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
        self.assertOutput(self.pending("apply"),
                          ["Выполнено: " + delete_line(names[0]), "Пропущено. " + damaged,
                           "Выполнено: " + delete_line(names[2])], EXIT_FAILED)
        self.assertEqual(self.work.names(), ["middle.so"])

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

    def test_a_record_with_a_relative_name_is_refused(self):
        self.work.file("relative.so", b"x")
        victim = self.work.file("absolute.so", b"x")
        os.makedirs(os.path.dirname(journal_path(self.root)), mode=0o700)
        with open(journal_path(self.root), "wb") as handle:
            handle.write(encode_record(b"D", b"relative.so") + encode_record(b"D", victim.encode()))
        os.chmod(journal_path(self.root), 0o600)
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


@unittest.skipUnless(WINDOWS, "the system's own list exists only on Windows")
class SystemListTests(PendingCase):
    def test_everything_the_system_will_do_is_listed_until_the_restart(self):
        restart()  # start from an empty list
        self.work.file("new.dll", b"new")
        target = self.work.file("loaded.dll", b"old")
        victim = self.work.file("victim.dll", b"x")
        other = self.work.file("other.dll", b"y")
        with held(target):
            self.assertOutput(self.run_pinfile("/C", "new.dll", "loaded.dll"), [QUEUED_COPY], EXIT_QUEUED)
        with held(victim):
            self.assertOutput(self.run_pinfile("/D", "victim.dll"), [QUEUED_DELETE], EXIT_QUEUED)
        queued = subprocess.run(command(os.environ["PINFILE_QUEUE_MOVE"], [native_path(other)]),
                                env=environment(), capture_output=True, timeout=TIMEOUT)
        self.assertEqual(queued.returncode, 0, queued.stderr)

        staged = native_path(os.path.join(self.work.path, self.staged_files()[0]))
        expected = [replace_line(native_path(target), staged), delete_line(native_path(victim)),
                    delete_line(native_path(other))]
        self.assertOutput(self.pending("list"), numbered(expected), 0)

        restart()
        self.assertOutput(self.pending("list"), [EMPTY], 0)
        self.assertEqual(self.work.names(), ["loaded.dll", "new.dll"])
        self.assertEqual(self.work.read("loaded.dll"), b"new")


if __name__ == "__main__":
    unittest.main()
