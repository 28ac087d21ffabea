#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: pinfile developers
# MIT License (see LICENSE in the pinfile repository)
"""Ansible module: the restart queue of a host as data."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

DOCUMENTATION = r'''
---
module: pending_info
short_description: The operations that wait for the next restart of a host
version_added: "1.0.0"
description:
  - Reads the restart queue with C(pinfile-pending list --json) and returns it as data.
  - C(reboot_required) counts pinfile's own operations only, so that entries that other
    software left in the system's list never make a host look as if it waited for a restart.
  - A user who may not read the queue (it belongs to root once anything was queued) gets
    C(queue_readable=false) and no operations, not a failure.
options:
  executable:
    description:
      - The pinfile-pending program on the host.
    type: path
    default: pinfile-pending
  path:
    description:
      - Only the operations on these files (one path or a list). A file to be replaced is named
        as the copy reaches it (through links); a file to be deleted as the link or file itself.
    type: list
    elements: path
  made_by_pinfile_only:
    description:
      - Only the operations that pinfile queued, not those that other software left in the
        system's list (on Windows).
    type: bool
    default: false
extends_documentation_fragment:
  - action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    platforms: posix
author:
  - pinfile developers (@pinfile)
'''

EXAMPLES = r'''
- name: Which hosts wait for a restart, and why
  pinfile.deploy.pending_info:
  register: queue

- name: Say so
  ansible.builtin.debug:
    msg: "{{ queue.operations | selectattr('made_by_pinfile') | map(attribute='target') | list }}"
  when: queue.reboot_required
'''

RETURN = r'''
reboot_required:
  description: Whether any operation of pinfile's waits for the next restart on the host,
    whatever C(path) selects.
  returned: always
  type: bool
queue_readable:
  description: Whether this user may read the queue.
  returned: always
  type: bool
pinfile_operations:
  description: How many of the waiting operations on the host pinfile queued, whatever C(path)
    selects.
  returned: always
  type: int
operations:
  description: The waiting operations that C(path) and C(made_by_pinfile_only) select, as
    C(pinfile-pending list --json) gives them, in the order the restart will carry them out.
  returned: always
  type: list
  elements: dict
  sample: [{"number": 1, "kind": "replace", "target": "/usr/local/lib/libdemo.so.2",
            "source": "/usr/local/lib/.TMPa8Kq2z.pinfile", "made_by_pinfile": true,
            "state": "waiting"}]
last_restart:
  description: What the last restart did with the operations that pinfile had queued for it,
    as C(pinfile-pending list --json) gives it; kept until the next restart. Whatever C(path)
    selects; empty when this user may not read the queue.
  returned: always
  type: dict
  sample: {"carried_out": 1, "not_carried_out": [{"kind": "replace", "target": "/usr/local/lib/libdemo.so.2",
           "source": "/usr/local/lib/.TMPa8Kq2z.pinfile", "why": "failed",
           "error": {"code": 21, "text": "Is a directory"}}]}
schema_version:
  description: The version of the list's schema.
  returned: always
  type: int
'''

import json
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.pinfile.deploy.plugins.module_utils.pinfile_rules import (
    queue_unreadable, result_of_run, select_operations)

# What an answer without last_restart (an older pinfile-pending, a queue this user may not read)
# stands for.
NOTHING_MISSED = dict(carried_out=0, not_carried_out=[])


def queue_names(paths):
    """Each path as the queue may hold it: the file a copy reaches, and the name itself in its
    resolved folder, which a deletion removes."""
    names = set()
    for path in paths:
        absolute = os.path.abspath(path)
        names.add(os.path.realpath(absolute))
        names.add(os.path.join(os.path.realpath(os.path.dirname(absolute)), os.path.basename(absolute)))
    return names


def main():
    module = AnsibleModule(argument_spec=dict(executable=dict(type="path", default="pinfile-pending"),
                                              path=dict(type="list", elements="path"),
                                              made_by_pinfile_only=dict(type="bool", default=False)),
                           supports_check_mode=True)
    executable = module.params["executable"]
    if "/" not in executable:
        executable = module.get_bin_path(executable, required=True)
    rc, out, err = module.run_command([executable, "list", "--json"])
    if rc != 0 and queue_unreadable(rc, out, err):
        module.exit_json(changed=False, queue_readable=False, reboot_required=False, pinfile_operations=0,
                         operations=[], schema_version=None, last_restart=NOTHING_MISSED, stderr=err)
    if rc != 0:
        module.fail_json(**result_of_run(rc, out, err))
    document = json.loads(out)
    ours = select_operations(document, made_by_pinfile_only=True)
    paths = module.params["path"]
    operations = select_operations(document, queue_names(paths) if paths is not None else None,
                                   module.params["made_by_pinfile_only"])
    module.exit_json(changed=False, queue_readable=True, reboot_required=bool(ours), pinfile_operations=len(ours),
                     operations=operations, schema_version=document.get("version"),
                     last_restart=document.get("last_restart", NOTHING_MISSED))


if __name__ == "__main__":
    main()
