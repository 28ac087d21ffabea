#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: pinfile developers
# MIT License (see LICENSE in the pinfile repository)
"""Ansible module: puts a file into place with pinfile, or removes it."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

DOCUMENTATION = r'''
---
module: pinfile
short_description: Put a file into place, or remove it, also while it is in use
version_added: "1.0.0"
description:
  - Copies C(src) to C(dest) with C(pinfile /C), or deletes C(dest) with C(pinfile /D).
  - When the file is in use (another process holds a lock on it), pinfile queues the operation
    for the next restart. The task then reports C(changed) and C(reboot_required), and does not
    fail, so that M(ansible.builtin.reboot) can run when a restart is due.
  - Idempotent. A task whose C(dest) already holds the bytes of C(src), or for which a waiting
    replacement already holds them, changes nothing and does not run pinfile.
  - For Linux hosts that have pinfile installed. For Windows hosts see the collection's
    C(docs/windows.md).
options:
  src:
    description:
      - The file to put into place. A path on the controller, transferred as
        M(ansible.builtin.copy) does; with C(remote_src=true) a path on the host.
      - Required when C(state=present).
    type: path
  remote_src:
    description:
      - Whether C(src) is already on the host.
    type: bool
    default: false
  dest:
    description:
      - The file to replace or remove, on the host.
      - Defaults to the system folder (C(/usr/local/lib)) under the name of C(src), as pinfile's
        own default.
      - Required when C(state=absent).
    type: path
  state:
    description:
      - C(present) puts C(src) at C(dest); C(absent) removes C(dest).
    type: str
    choices: [present, absent]
    default: present
  executable:
    description:
      - The pinfile program on the host; C(pinfile-pending) is taken from the same folder.
    type: path
    default: pinfile
  checksum:
    description:
      - The SHA-1 checksum of C(src), when the controller has computed it already. The
        collection's action plugin sets it; a playbook need not.
    type: str
extends_documentation_fragment:
  - action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    platforms: posix
notes:
  - Only root can queue an operation for the restart; run the task with C(become=true).
  - The restart carries the queue out with C(pinfile-pending apply) at boot.
seealso:
  - module: pinfile.deploy.pending_info
  - module: ansible.builtin.reboot
author:
  - pinfile developers (@pinfile)
'''

EXAMPLES = r'''
- name: Put the new library into place, also while programs have it loaded
  pinfile.deploy.pinfile:
    src: files/libdemo.so.2
    dest: /usr/local/lib/libdemo.so.2
  become: true
  register: placed

- name: Restart the services that still run the old library
  ansible.builtin.systemd:
    name: "{{ item }}"
    state: restarted
  become: true
  loop: "{{ placed.services | select('match', '.*[.]service$') | list }}"

- name: Restart when the replacement waits for it
  ansible.builtin.reboot:
  become: true
  when: placed.reboot_required

- name: Remove an old library
  pinfile.deploy.pinfile:
    dest: /usr/local/lib/libdemo.so.1
    state: absent
  become: true
'''

RETURN = r'''
dest:
  description: The file the task acted on.
  returned: always
  type: str
  sample: /usr/local/lib/libdemo.so.2
checksum:
  description: SHA-1 checksum of C(src) (C(present)).
  returned: when state is present
  type: str
  sample: 6e642bb8dd5c2e027bf21dd923337cbb4214f827
queued:
  description: Whether this task's operation waits for the next restart.
  returned: always
  type: bool
reboot_required:
  description: Whether any operation of pinfile's waits for the next restart on the host.
  returned: always
  type: bool
withdrawn:
  description: Earlier waiting operations that the task withdrew, as pinfile words them.
  returned: always
  type: list
  elements: str
pending:
  description: What waits for C(dest) after the task, as C(pinfile-pending list --json) gives it.
  returned: always
  type: list
  elements: dict
processes:
  description:
    - After the task placed C(src) at once, the processes that still map or run the old version
      of C(dest) (or hold its lock), as C(pinfile-pending holders --json) gives them, each with
      C(pid), C(command), C(file), C(unit) (the systemd unit, or null) and C(why). Restart these,
      or their C(services), instead of the host.
    - Empty when the task placed nothing at once.
  returned: always
  type: list
  elements: dict
  sample: [{pid: 812, command: nginx, file: /usr/local/lib/libdemo.so.2, unit: nginx.service, why: old-version}]
services:
  description: The systemd units of C(processes), each once.
  returned: always
  type: list
  elements: str
  sample: [nginx.service]
holders_complete:
  description:
    - Whether C(processes) is the whole answer. False when some process could not be asked
      (pinfile-pending not run as root, for example), and a holder may then be missing.
  returned: always
  type: bool
rc:
  description: pinfile's exit status (when it ran).
  returned: when pinfile ran
  type: int
stdout:
  description: pinfile's standard output (when it ran).
  returned: when pinfile ran
  type: str
stderr:
  description: pinfile's standard error (when it ran).
  returned: when pinfile ran
  type: str
'''

import json
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.pinfile.deploy.plugins.module_utils.pinfile_rules import (
    DONE, decide, holders_of, pending_for, result_of_run)


def system_folder():
    # pinfile's own test seam places the system folder under a test root.
    return os.environ.get("PINFILE_TEST_ROOT", "") + "/usr/local/lib"


def read_queue(module, pending):
    rc, out, err = module.run_command([pending, "list", "--json"])
    if rc != 0:
        module.fail_json(msg=err.strip() or out.strip(), rc=rc, stdout=out, stderr=err)
    return json.loads(out)


def read_holders(module, pending, dest):
    """Who still runs the old version of dest, after a replacement made at once."""
    rc, out, err = module.run_command([pending, "holders", "--json", dest])
    if rc not in (0, 1):
        module.warn("pinfile-pending holders failed (exit %d): %s" % (rc, err.strip() or out.strip()))
    return holders_of(rc, out)


def describe(module, path, waiting):
    if waiting:
        return dict(path=path, state="pending " + waiting[-1]["kind"],
                    checksum=module.sha1(path) if os.path.isfile(path) else None)
    exists = os.path.isfile(path)
    return dict(path=path, state="file" if exists else "absent",
                checksum=module.sha1(path) if exists else None)


def plan(module, params, dest, queue):
    waiting = pending_for(queue, dest)
    dest_checksum = module.sha1(dest) if os.path.isfile(dest) else None
    last = waiting[-1] if waiting else None
    staged = last.get("source") if last and last.get("kind") == "replace" else None
    staged_checksum = module.sha1(staged) if staged and os.path.isfile(staged) else None
    src_checksum = params.get("checksum")
    return waiting, decide(params["state"], dest_checksum, src_checksum, waiting, staged_checksum,
                           module.check_mode)


def act(module, params, dest, waiting):
    executable = params["executable"]
    if params["state"] == "present":
        return module.run_command([executable, "/C", params["src"], dest])
    if not os.path.lexists(dest) and waiting:
        # Nothing to delete now, but a waiting replacement would bring the file back.
        pending = os.path.join(os.path.dirname(executable), "pinfile-pending")
        return module.run_command([pending, "cancel", str(waiting[-1]["number"])])
    return module.run_command([executable, "/D", dest])


def main():
    module = AnsibleModule(
        argument_spec=dict(
            src=dict(type="path"),
            remote_src=dict(type="bool", default=False),
            dest=dict(type="path"),
            state=dict(type="str", default="present", choices=["present", "absent"]),
            executable=dict(type="path", default="pinfile"),
            checksum=dict(type="str", no_log=False),
        ),
        required_if=[("state", "present", ["src"]), ("state", "absent", ["dest"])],
        supports_check_mode=True,
    )
    params = dict(module.params)
    if os.sep not in params["executable"]:
        params["executable"] = module.get_bin_path(params["executable"], required=True)
    pending = os.path.join(os.path.dirname(params["executable"]), "pinfile-pending")
    if params["state"] == "present":
        if not params["checksum"]:
            if not os.path.isfile(params["src"]):
                params["checksum"] = None
            else:
                params["checksum"] = module.sha1(params["src"])
    dest = params["dest"] or os.path.join(system_folder(), os.path.basename(params["src"]))
    dest = os.path.realpath(dest)

    queue = read_queue(module, pending)
    waiting, (changed, run, waits_for_dest) = plan(module, params, dest, queue)
    before = describe(module, dest, waiting)
    result = dict(changed=changed, dest=dest, queued=waits_for_dest, withdrawn=[],
                  reboot_required=bool(queue.get("restart_required")),
                  processes=[], services=[], holders_complete=True)
    if params["state"] == "present":
        result["checksum"] = params["checksum"]
    if run:
        rc, out, err = act(module, params, dest, waiting)
        result.update(result_of_run(rc, out, err))
        # A queued operation's status is not 0, and is no failure: said so explicitly.
        if result["failed"]:
            module.fail_json(**result)
        if params["state"] == "present" and rc == DONE:
            result.update(read_holders(module, pending, dest))
        queue = read_queue(module, pending)
        result["reboot_required"] = bool(queue.get("restart_required"))
        waiting = pending_for(queue, dest)
    result["pending"] = waiting
    if module._diff:  # pylint: disable=protected-access
        after = describe(module, dest, waiting) if not module.check_mode else dict(
            path=dest, state="file" if params["state"] == "present" else "absent",
            checksum=params.get("checksum") if params["state"] == "present" else None)
        result["diff"] = dict(before=before, after=after)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
