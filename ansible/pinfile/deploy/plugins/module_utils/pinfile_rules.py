# -*- coding: utf-8 -*-
# Copyright: pinfile developers
# MIT License (see LICENSE in the pinfile repository)
"""The rules of the pinfile modules, as pure functions: what pinfile's exit status and lines
mean to Ansible, and what a task has to do."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

import json
import re

DONE, QUEUED = 0, 3
# The start of the line pinfile writes for each waiting operation it takes back
# (WithdrawnLine in pinfile's output/QueueWording.cpp).
WITHDRAWN = u"Отменено: "
ERROR_LINE = re.compile(u"Ошибка (\\d+): (.*)$", re.MULTILINE)
# A user who may not read the queue: EPERM, EACCES.
NOT_PERMITTED = (1, 13)

# pinfile's lines (the first one of its answer) in English.
ENGLISH = {
    u"Файл успешно скопирован.": "The file was copied into place",
    u"Файл успешно поставлен в очередь на копирование.": "The file is in use: its replacement waits for the next restart",
    u"Файл успешно удалён.": "The file was deleted",
    u"Файл успешно поставлен в очередь на удаление.": "The file is in use: its deletion waits for the next restart",
    u"Файл не найден.": "File not found",
    u"Файлы совпадают. Так делать не стоит!": "Source and destination are the same file",
    u"Не удалось скопировать файл.": "Could not copy the file",
    u"Не удалось скопировать исходный файл во временный каталог.": "Could not stage the source beside the target for the restart",
    u"Не удалось получить имя временного файла.": "Could not find a free name for the staged file",
    u"Файл не удалось поставить в очередь на копирование.": "Could not queue the replacement for the restart",
    u"Не удалось удалить файл.": "Could not delete the file",
    u"Файл не удалось поставить в очередь на удаление.": "Could not queue the deletion for the restart",
    u"Использование:": "pinfile did not understand its command line",
    u"Не удалось прочитать очередь.": "Could not read the restart queue",
}


def error_code(text):
    """The system error code in pinfile's error line ("Ошибка N: ..."), or None."""
    found = ERROR_LINE.search(text)
    return int(found.group(1)) if found else None


def withdrawn_operations(text):
    """The operations that pinfile's lines in text say it took back from the queue, each as the
    line words it."""
    return [line[len(WITHDRAWN):] for line in text.splitlines() if line.startswith(WITHDRAWN)]


def in_english(rc, stdout, stderr):
    """What pinfile's answer says, in English: its line, and the system's error where it
    gave one."""
    lines = [line for line in (stdout + "\n" + stderr).splitlines() if line.strip()]
    first = lines[0] if lines else u""
    said = ENGLISH.get(first.split(u" Ошибка ")[0]) or ENGLISH.get(first)
    if said is None and withdrawn_operations(first) and rc == DONE:
        said = "Withdrew the waiting operations"
    elif said is None:
        # A line of the runtime's own is English already.
        said = first if first and all(ord(c) < 128 for c in first) else "pinfile ended with exit status %d" % rc
    found = ERROR_LINE.search(stdout + "\n" + stderr)
    if found:
        said += ": error %s (%s)" % (found.group(1), found.group(2))
    return said


def result_of_run(rc, stdout, stderr):
    """The module's result from one run of pinfile or pinfile-pending: changed and
    reboot_required for what it did, failed (with pinfile's own lines in stdout and stderr, and
    the system's code in error_code) for anything else."""
    result = dict(rc=rc, stdout=stdout, stderr=stderr,
                  withdrawn=withdrawn_operations(stdout + "\n" + stderr),
                  msg=in_english(rc, stdout, stderr))
    if rc in (DONE, QUEUED):
        result.update(changed=True, failed=False, queued=rc == QUEUED, reboot_required=rc == QUEUED)
    else:
        result.update(changed=False, failed=True, queued=False, reboot_required=False,
                      error_code=error_code(stdout + "\n" + stderr))
    return result


def holders_of(rc, stdout):
    """processes, services and holders_complete from `pinfile-pending holders --json`: exit 0
    is a complete answer, 1 an incomplete one (the document all the same); anything else is no
    answer, which names nobody and is incomplete."""
    if rc not in (0, 1) or not stdout.strip():
        return dict(processes=[], services=[], holders_complete=False)
    try:
        document = json.loads(stdout)
    except ValueError:
        return dict(processes=[], services=[], holders_complete=False)
    return dict(processes=document.get("processes", []), services=document.get("services", []),
                holders_complete=rc == 0 and bool(document.get("complete")))


def queue_unreadable(rc, stdout, stderr):
    """Whether `pinfile-pending list --json` failed only because this user may not read the
    queue, which is no failure of a task that pinfile can do without it."""
    return rc != DONE and error_code(stdout + "\n" + stderr) in NOT_PERMITTED


def pending_for(document, dest):
    """The waiting operations of pinfile's on dest, from `pinfile-pending list --json`."""
    return [operation for operation in document.get("operations", [])
            if operation.get("made_by_pinfile") and operation.get("target") == dest]


def missed_replacements(document, dest):
    """The replacements of dest that the last restart did not carry out, from
    `pinfile-pending list --json`."""
    last = document.get("last_restart") or {}
    return [operation for operation in last.get("not_carried_out", [])
            if operation.get("kind") == "replace" and operation.get("target") == dest]


def select_operations(document, names=None, made_by_pinfile_only=False):
    """The operations of the list whose target is one of names (all when names is None),
    of pinfile's own only when asked."""
    return [operation for operation in document.get("operations", [])
            if (names is None or operation.get("target") in names)
            and (operation.get("made_by_pinfile") or not made_by_pinfile_only)]


def decide(state, dest_checksum, src_checksum, pending, staged_checksum, force=True,
           attributes_change=False):
    """What a task has to do. dest_checksum is None when dest is missing; pending holds the
    waiting operations on dest, the last one deciding what the restart leaves; staged_checksum
    is the checksum of the last waiting replacement's staged file (None when there is none).
    attributes_change tells whether the task's mode, owner or group differ from the file's.
    Returns (action, waits): the action is None, "copy" (pinfile /C), "delete" (pinfile /D) or
    "withdraw" (take back what waits for dest, as nothing is to change); waits tells whether
    what already waits for dest is what the task wants."""
    last = pending[-1] if pending else None
    last_kind = last.get("kind") if last else None
    # An operation that a boot failed to carry out does not wait: pinfile runs again and
    # withdraws it.
    failed = last is not None and last.get("state") == "failed"
    if state == "absent":
        if last_kind == "delete" and not failed:
            return None, True
        if dest_checksum is not None:
            return "delete", False
        return ("withdraw" if last else None), False
    if not force and dest_checksum is not None:
        return None, False
    if last_kind == "replace" and not failed and staged_checksum == src_checksum:
        # The record carries the target's owner, group and mode to the restart: new ones are
        # queued anew.
        return ("copy", False) if attributes_change else (None, True)
    if dest_checksum == src_checksum and src_checksum is not None:
        # Back to what is in place: what waits would undo it, and a copy would queue a no-op.
        return ("withdraw" if last else None), False
    return "copy", False
