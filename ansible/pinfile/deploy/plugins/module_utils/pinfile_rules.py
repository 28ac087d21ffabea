# -*- coding: utf-8 -*-
# Copyright: pinfile developers
# MIT License (see LICENSE in the pinfile repository)
"""The rules of the pinfile modules, as pure functions: what pinfile's exit status and lines
mean to Ansible, and whether a task has anything to do."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

import json

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


def holders_of(rc, stdout):
    """processes, services and holders_complete from `pinfile-pending holders --json`: exit 0
    is a complete answer, 1 an incomplete one (the document all the same); anything else is no
    answer, which names nobody and is incomplete."""
    if rc not in (0, 1) or not stdout.strip():
        return dict(processes=[], services=[], holders_complete=False)
    document = json.loads(stdout)
    return dict(processes=document.get("processes", []), services=document.get("services", []),
                holders_complete=rc == 0 and bool(document.get("complete")))


def pending_for(document, dest):
    """The waiting operations of pinfile's on dest, from `pinfile-pending list --json`."""
    return [operation for operation in document.get("operations", [])
            if operation.get("made_by_pinfile") and operation.get("target") == dest]


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
    elif last is not None and last.get("kind") == "replace" and staged_checksum == src_checksum:
        changed, waits = False, True
    else:
        # A source that cannot be read runs pinfile too, which says why.
        changed = last is not None or src_checksum is None or dest_checksum != src_checksum
        waits = False
    return changed, changed and not check_mode, waits
