# -*- coding: utf-8 -*-
# Copyright: pinfile developers
# MIT License (see LICENSE in the pinfile repository)
"""The rules of the pinfile modules, as pure functions: what pinfile's exit status and lines
mean to Ansible, and whether a task has anything to do."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

DONE, QUEUED = 0, 3
WITHDRAWN = u"Отменено: "


def result_of_run(rc, stdout, stderr):
    """The module's result from one run of pinfile: changed and reboot_required for what it
    did, failed (with pinfile's own message) for anything else."""
    lines = [line for line in stdout.splitlines() if line.strip()]
    withdrawn = [line[len(WITHDRAWN):] for line in stderr.splitlines() if line.startswith(WITHDRAWN)]
    result = dict(rc=rc, stdout=stdout, stderr=stderr, withdrawn=withdrawn,
                  msg=lines[0] if lines else stderr.strip())
    if rc in (DONE, QUEUED):
        result.update(changed=True, failed=False, queued=rc == QUEUED, reboot_required=rc == QUEUED)
    else:
        result.update(changed=False, failed=True, queued=False, reboot_required=False)
        if len(lines) > 1:
            result["msg"] = u" ".join(lines)
    return result


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


def decide(state, dest_checksum, src_checksum, pending, staged_checksum, check_mode=False):
    """What a task has to do. dest_checksum is None when dest is missing; pending holds the
    waiting operations on dest, the last one deciding what the restart leaves; staged_checksum
    is the checksum of the last waiting replacement's staged file (None when there is none);
    src_checksum is None when the source cannot be read.
    Returns (changed, run, waits): whether the task changes anything, whether pinfile runs (never
    in check mode, which only predicts), and whether what already waits for dest is what the
    task wants."""
    last = pending[-1] if pending else None
    if state == "absent":
        changed = (last is None or last.get("kind") != "delete") and (
            dest_checksum is not None or last is not None)
        waits = last is not None and last.get("kind") == "delete"
    elif (last is not None and last.get("kind") == "replace" and last.get("state") != "failed"
          and staged_checksum == src_checksum):
        # A replacement that a boot failed to carry out does not wait: pinfile runs again and
        # withdraws it.
        changed, waits = False, True
    else:
        # A source that cannot be read runs pinfile too, which says why.
        changed = last is not None or src_checksum is None or dest_checksum != src_checksum
        waits = False
    return changed, changed and not check_mode, waits
