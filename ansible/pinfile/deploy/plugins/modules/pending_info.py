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
options:
  executable:
    description:
      - The pinfile-pending program on the host.
    type: path
    default: pinfile-pending
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
  description: Whether any operation of pinfile's waits for the next restart.
  returned: always
  type: bool
pinfile_operations:
  description: How many of the waiting operations pinfile queued.
  returned: always
  type: int
operations:
  description: Every waiting operation, as C(pinfile-pending list --json) gives it, in the order
    the restart will carry them out.
  returned: always
  type: list
  elements: dict
  sample: [{"number": 1, "kind": "replace", "target": "/usr/local/lib/libdemo.so.2",
            "source": "/usr/local/lib/.TMPa8Kq2z.pinfile", "made_by_pinfile": true,
            "state": "waiting"}]
last_restart:
  description: What the last restart did with the operations that pinfile had queued for it,
    as C(pinfile-pending list --json) gives it; kept until the next restart.
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

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec=dict(executable=dict(type="path", default="pinfile-pending")),
                           supports_check_mode=True)
    executable = module.params["executable"]
    if "/" not in executable:
        executable = module.get_bin_path(executable, required=True)
    rc, out, err = module.run_command([executable, "list", "--json"])
    if rc != 0:
        module.fail_json(msg=err.strip() or out.strip(), rc=rc, stdout=out, stderr=err)
    document = json.loads(out)
    operations = document.get("operations", [])
    ours = [operation for operation in operations if operation.get("made_by_pinfile")]
    module.exit_json(changed=False, reboot_required=bool(ours), pinfile_operations=len(ours),
                     operations=operations, schema_version=document.get("version"),
                     last_restart=document.get("last_restart", dict(carried_out=0, not_carried_out=[])))


if __name__ == "__main__":
    main()
