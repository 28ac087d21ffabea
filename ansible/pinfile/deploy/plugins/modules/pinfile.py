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
      - A symbolic link at C(dest) is written through by C(state=present), as pinfile writes
        through it; C(state=absent) removes the link itself, as M(ansible.builtin.file) does,
        and leaves the file it leads to.
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
  description: The file the task acted on, named as the task gave it (a link is not resolved).
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
    decide, pending_for, result_of_run)


def system_folder():
    # pinfile's own test seam places the system folder under a test root.
    return os.environ.get("PINFILE_TEST_ROOT", "") + "/usr/local/lib"


def read_queue(module, pending):
    rc, out, err = module.run_command([pending, "list", "--json"])
    if rc != 0:
        module.fail_json(msg=err.strip() or out.strip(), rc=rc, stdout=out, stderr=err)
    return json.loads(out)


def describe(module, path, waiting):
    if waiting:
        return dict(path=path, state="pending " + waiting[-1]["kind"],
                    checksum=module.sha1(path) if os.path.isfile(path) else None)
    exists = os.path.isfile(path)
    return dict(path=path, state="file" if exists else "absent",
                checksum=module.sha1(path) if exists else None)


def queue_name(dest, state):
    """The name by which pinfile's queue knows dest: a copy writes through links, so the file
    they lead to; a deletion removes a link itself, so the link in its resolved folder."""
    if state == "present":
        return os.path.realpath(dest)
    absolute = os.path.abspath(dest)
    return os.path.join(os.path.realpath(os.path.dirname(absolute)), os.path.basename(absolute))


def plan(module, params, dest, queue):
    waiting = pending_for(queue, queue_name(dest, params["state"]))
    if params["state"] == "absent" and os.path.islink(dest):
        # A link is removed itself: it is there even when it leads nowhere.
        dest_checksum = "link"
    else:
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

    queue = read_queue(module, pending)
    waiting, (changed, run, waits_for_dest) = plan(module, params, dest, queue)
    before = describe(module, dest, waiting)
    result = dict(changed=changed, dest=dest, queued=waits_for_dest, withdrawn=[],
                  reboot_required=bool(queue.get("restart_required")))
    if params["state"] == "present":
        result["checksum"] = params["checksum"]
    if run:
        rc, out, err = act(module, params, dest, waiting)
        result.update(result_of_run(rc, out, err))
        # A queued operation's status is not 0, and is no failure: said so explicitly.
        if result["failed"]:
            module.fail_json(**result)
        queue = read_queue(module, pending)
        result["reboot_required"] = bool(queue.get("restart_required"))
        waiting = pending_for(queue, queue_name(dest, params["state"]))
    result["pending"] = waiting
    if module._diff:  # pylint: disable=protected-access
        after = describe(module, dest, waiting) if not module.check_mode else dict(
            path=dest, state="file" if params["state"] == "present" else "absent",
            checksum=params.get("checksum") if params["state"] == "present" else None)
        result["diff"] = dict(before=before, after=after)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
