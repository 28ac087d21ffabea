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
  - Where an option has the name of one of M(ansible.builtin.copy)'s, it has its meaning. Two
    differences are on purpose. A symbolic link at C(dest) is written through, as pinfile
    writes through it (M(ansible.builtin.copy) replaces the link by a file unless C(follow=true)).
    A file in use is not replaced at once but at the next restart, with the C(mode), C(owner)
    and C(group) that the task gives.
  - Idempotent. A task whose C(dest) already holds the bytes of C(src), or for which a waiting
    replacement already holds them, changes nothing and does not run pinfile; the file is
    sent from the controller only when its checksum differs from the one on the host.
  - For Linux hosts that have pinfile installed. For Windows hosts see the collection's
    C(docs/windows.md).
options:
  src:
    description:
      - The file to put into place. A path on the controller, found and transferred as
        M(ansible.builtin.copy) does; with C(remote_src=true) a path on the host.
      - A folder is refused, as pinfile puts one file into place.
      - Required when C(state=present).
    type: path
  remote_src:
    description:
      - Whether C(src) is already on the host.
      - Vault-encrypted files are decrypted only when C(remote_src=false).
    type: bool
    default: false
  dest:
    description:
      - The file to replace or remove, on the host.
      - When C(dest) is a folder, or ends with C(/), the file goes inside it under the name of
        C(src), as with M(ansible.builtin.copy).
      - Defaults to the system folder (C(/usr/local/lib)) under the name of C(src), as pinfile's
        own default.
      - A symbolic link at C(dest) is written through by C(state=present), as pinfile writes
        through it; C(state=absent) removes the link itself, as M(ansible.builtin.file) does,
        and leaves the file it leads to.
      - Required when C(state=absent).
    type: path
  state:
    description:
      - C(present) puts C(src) at C(dest); C(absent) removes C(dest).
      - With C(present), a replacement that waits for the restart is withdrawn when C(dest)
        already holds the bytes of C(src); with C(absent), one that waits for a C(dest) that is
        gone.
    type: str
    choices: [present, absent]
    default: present
  force:
    description:
      - If C(true), C(dest) is replaced when its contents differ from C(src).
      - If C(false), an existing C(dest) is left alone.
    type: bool
    default: true
  backup:
    description:
      - Keep a copy of the old C(dest), under the name M(ansible.builtin.copy) gives it, before
        it is replaced (at once or at the restart). The backup is a copy, never a second link.
    type: bool
    default: false
  mode:
    description:
      - The permissions of C(dest), as with M(ansible.builtin.copy), including C(preserve) (the
        mode of C(src)).
      - Without C(mode), a new C(dest) gets the system's default for a new file (0666 less the
        C(umask)), and an existing one keeps its mode.
      - For a replacement that waits for the restart, C(mode), C(owner) and C(group) are given
        to the file in place now and carried by the queued operation to the new file, which
        has them after the restart.
    type: raw
  checksum:
    description:
      - The SHA-1 checksum that C(src) must have; the task fails, and changes nothing, when
        it does not match. Without it, the file that reaches the host is checked against the
        controller's.
    type: str
  executable:
    description:
      - The pinfile program on the host; C(pinfile-pending) is taken from the same folder.
    type: path
    default: pinfile
extends_documentation_fragment:
  - decrypt
  - files
  - validate
  - action_common_attributes
  - action_common_attributes.files
  - action_common_attributes.flow
attributes:
  action:
    support: full
  async:
    support: none
  bypass_host_loop:
    support: none
  check_mode:
    support: full
    details: Predicts whether the operation would wait for the restart, with C(pinfile-pending held).
  diff_mode:
    support: full
  platform:
    platforms: posix
  safe_file_operations:
    support: full
  vault:
    support: full
notes:
  - Only root can queue an operation for the restart; run the task with C(become=true) where a
    file may be in use. A user who may not read the restart queue gets what pinfile does for
    them (the copy, or pinfile's failure), and C(queue_readable=false).
  - The restart carries the queue out with C(pinfile-pending apply) at boot.
  - C(unsafe_writes) has no effect; pinfile always replaces a file whole.
seealso:
  - module: pinfile.deploy.pending_info
  - module: ansible.builtin.copy
  - module: ansible.builtin.reboot
author:
  - pinfile developers (@pinfile)
'''

EXAMPLES = r'''
- name: Put the new library into place, also while programs have it loaded
  pinfile.deploy.pinfile:
    src: files/libdemo.so.2
    dest: /usr/local/lib/libdemo.so.2
    mode: "0644"
    backup: true
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
  description: The file the task acted on, named as the task gave it (a link is not resolved;
    a folder is completed with the name of C(src)).
  returned: always
  type: str
  sample: /usr/local/lib/libdemo.so.2
src:
  description: The source on the host (C(present)).
  returned: when state is present
  type: str
checksum:
  description: SHA-1 checksum of C(src) (C(present)).
  returned: when state is present
  type: str
  sample: 6e642bb8dd5c2e027bf21dd923337cbb4214f827
backup_file:
  description: The copy of the old C(dest), when C(backup=true) and it was replaced.
  returned: changed and a backup was made
  type: str
  sample: /usr/local/lib/libdemo.so.2.2741.2024-05-01@12:00:00~
queued:
  description: Whether this task's operation waits for the next restart (in check mode, would
    wait).
  returned: always
  type: bool
reboot_required:
  description: Whether any operation of pinfile's waits for the next restart on the host.
  returned: always
  type: bool
queue_readable:
  description: Whether this user may read the restart queue; when not, C(pending) is empty and
    C(reboot_required) tells only what this task queued.
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
msg:
  description: What happened, in English.
  returned: when pinfile ran, or the task failed
  type: str
error_code:
  description: The system error code in pinfile's failure report.
  returned: when pinfile failed with a system error
  type: int
rc:
  description: pinfile's exit status (when it ran).
  returned: when pinfile ran
  type: int
stdout:
  description: pinfile's standard output, its own lines (when it ran).
  returned: when pinfile ran
  type: str
stderr:
  description: pinfile's standard error (when it ran).
  returned: when pinfile ran
  type: str
'''

import json
import os
import stat

from ansible.module_utils.basic import AnsibleModule, DEFAULT_PERM
from ansible.module_utils.common.text.converters import to_text
from ansible_collections.pinfile.deploy.plugins.module_utils.pinfile_rules import (
    DONE, QUEUED, decide, holders_of, missed_replacements, pending_for, queue_unreadable,
    result_of_run)

# Ansible's default for the largest file a diff shows (MAX_FILE_SIZE_FOR_DIFF).
DIFF_LIMIT = 104448


def system_folder():
    # pinfile's own test seam places the system folder under a test root.
    return os.environ.get("PINFILE_TEST_ROOT", "") + "/usr/local/lib"


def read_queue(module, pending):
    """The queue, and whether this user may read it."""
    rc, out, err = module.run_command([pending, "list", "--json"])
    if rc == 0:
        return json.loads(out), True
    if queue_unreadable(rc, out, err):
        return {}, False
    module.fail_json(**result_of_run(rc, out, err))


def queue_name(dest, state):
    """The name by which pinfile's queue knows dest: a copy writes through links, so the file
    they lead to; a deletion removes a link itself, so the link in its resolved folder."""
    if state == "present":
        return os.path.realpath(dest)
    absolute = os.path.abspath(dest)
    return os.path.join(os.path.realpath(os.path.dirname(absolute)), os.path.basename(absolute))


def checked_source(module, params):
    """The checksum of the source, which must be a readable file and match the checksum that
    the task or the controller expects."""
    src = params["src"]
    if not src:
        module.fail_json(msg="src is required when state is present")
    if not params["remote_src"]:
        # Still on the controller: the action plugin has checked it and gives its checksum.
        actual = params["checksum"]
        if not actual:
            module.fail_json(msg="checksum is required when src is on the controller")
    else:
        if not os.path.exists(src):
            module.fail_json(msg="Source %s not found" % src)
        if os.path.isdir(src):
            module.fail_json(msg="Source %s is a directory: pinfile puts one file into place" % src)
        if not os.access(src, os.R_OK):
            module.fail_json(msg="Source %s not readable" % src)
        actual = module.sha1(src)
        if params["mode"] == "preserve":
            params["mode"] = "0%03o" % stat.S_IMODE(os.stat(src).st_mode)
    expected = params["checksum"]
    if expected and actual != expected:
        module.fail_json(msg="Copied file does not match the expected checksum. Transfer failed.",
                         checksum=actual, expected_checksum=expected)
    return actual


def destination(module, params):
    """dest as copy takes it: a folder (or a name ending in a slash) gets the source's name."""
    name = os.path.basename(params["src"])
    dest = params["dest"] or os.path.join(system_folder(), name)
    if dest.endswith(os.sep) or os.path.isdir(dest):
        dest = os.path.join(dest, name)
    if os.path.isdir(dest):
        module.fail_json(msg="Destination %s is a directory" % dest)
    folder = os.path.dirname(os.path.abspath(dest))
    if not os.path.isdir(folder):
        module.fail_json(msg="Destination directory %s does not exist" % folder)
    return dest


def attributes_would_change(module, file_args):
    """Whether mode, owner or group would change, asked of Ansible's own setters in their
    check mode."""
    check_mode = module.check_mode
    module.check_mode = True
    try:
        return module.set_fs_attributes_if_different(file_args, False)
    finally:
        module.check_mode = check_mode


def content_diff(dest, src):
    """The diff of two files on the host, in the form the action plugins of Ansible give."""
    diff = {}
    for side, path, short in (("before", dest, "dst"), ("after", src, "src")):
        if not os.path.isfile(path):
            diff[side] = u""
            continue
        if os.path.getsize(path) > DIFF_LIMIT:
            diff[short + "_larger"] = DIFF_LIMIT
            continue
        with open(path, "rb") as handle:
            data = handle.read()
        if b"\x00" in data:
            diff[short + "_binary"] = 1
        else:
            diff.update({side + "_header": path, side: to_text(data)})
    return diff


def would_wait(module, pending, name):
    """Whether pinfile would find the file in use now, by its own rule."""
    rc, out, err = module.run_command([pending, "held", name])
    if rc not in (0, QUEUED):
        module.fail_json(**result_of_run(rc, out, err))
    return rc == QUEUED


def validate(module, command, src):
    if "%s" not in command:
        module.fail_json(msg="validate must contain %%s: %s" % command)
    rc, out, err = module.run_command(command % src)
    if rc != 0:
        module.fail_json(msg="failed to validate", exit_status=rc, stdout=out, stderr=err)


def read_holders(module, pending, dest):
    """Who still runs the old version of dest, after a replacement made at once."""
    rc, out, err = module.run_command([pending, "holders", "--json", dest])
    if rc not in (0, 1):
        module.warn("pinfile-pending holders failed (exit %d): %s" % (rc, err.strip() or out.strip()))
    return holders_of(rc, out)


class Task(object):
    """One task on one file: what is there, what waits, and what to do."""

    def __init__(self, module, tools):
        self.module, self.params = module, module.params
        self.executable, self.pending = tools
        self.state = self.params["state"]
        if self.state == "present":
            self.src_checksum = checked_source(module, self.params)
            self.dest = destination(module, self.params)
            self.exists = os.path.exists(self.dest)
        else:
            self.src_checksum = None
            self.dest = self.params["dest"]
            if os.path.isdir(self.dest) and not os.path.islink(self.dest):
                module.fail_json(msg="Destination %s is a directory: pinfile removes files" % self.dest)
            # A link is removed itself: it is there even when it leads nowhere.
            self.exists = os.path.lexists(self.dest)
        self.queue, self.readable = read_queue(module, self.pending)
        self.warn_of_missed_replacements()
        self.waiting = pending_for(self.queue, queue_name(self.dest, self.state))
        self.file_args = module.load_file_common_arguments(self.params, path=os.path.realpath(self.dest))

    def warn_of_missed_replacements(self):
        # A replacement names the file that the copy reached, through links.
        dest = queue_name(self.dest, "present")
        for missed in missed_replacements(self.queue, dest):
            self.module.warn("The last restart did not carry out the replacement of %s by %s (%s)."
                             % (dest, missed.get("source"), missed.get("why")))

    def dest_checksum(self):
        if not self.exists:
            return None
        if self.state == "present" and os.path.isfile(self.dest):
            return self.module.sha1(self.dest)
        return "not a file of src's"

    def staged_checksum(self):
        last = self.waiting[-1] if self.waiting else None
        staged = last.get("source") if last and last.get("kind") == "replace" else None
        return self.module.sha1(staged) if staged and os.path.isfile(staged) else None

    def plan(self):
        attributes = self.state == "present" and self.exists and attributes_would_change(self.module, self.file_args)
        dest_checksum = self.dest_checksum()
        action, waits = decide(self.state, dest_checksum, self.src_checksum, self.waiting,
                               self.staged_checksum(), self.params["force"], attributes)
        content = action == "copy" and dest_checksum != self.src_checksum
        return action, waits, attributes, content

    def result(self, action, waits):
        result = dict(changed=action is not None, dest=self.dest, queued=waits, withdrawn=[],
                      reboot_required=bool(self.queue.get("restart_required")),
                      queue_readable=self.readable, processes=[], services=[], holders_complete=True)
        if self.state == "present":
            result.update(src=self.params["src"], checksum=self.src_checksum)
        return result

    def predict(self, action, result):
        """Check mode: what the run would do, changing nothing."""
        if action in ("copy", "delete") and not (action == "delete" and os.path.islink(self.dest)):
            waits = self.exists and would_wait(self.module, self.pending, self.dest)
            result.update(queued=waits, reboot_required=result["reboot_required"] or waits)
        if self.state == "present":
            result["changed"] = self.module.set_fs_attributes_if_different(self.file_args, result["changed"])
        return result

    def act(self, action, result, content):
        """Runs pinfile for the action, with what the task asks for before and after it."""
        params, module = self.params, self.module
        if content and params["backup"] and self.exists:
            result["backup_file"] = module.backup_local(self.dest)
        if content and params["validate"]:
            validate(module, params["validate"], params["src"])
        if self.state == "present" and self.exists:
            # Before the copy, so that a queued replacement carries them to the restart.
            result["changed"] = module.set_fs_attributes_if_different(self.file_args, result["changed"])
        if action == "copy":
            command = [self.executable, "/C", params["src"], self.dest]
        elif action == "delete":
            command = [self.executable, "/D", self.dest]
        else:
            command = [self.pending, "cancel", queue_name(self.dest, self.state)]
        rc, out, err = module.run_command(command)
        result.update(result_of_run(rc, out, err))
        if result["failed"]:
            module.fail_json(**result)
        if action == "copy" and not self.exists:
            self.finish_new_file()
        if action == "copy" and rc == DONE:
            result.update(read_holders(module, self.pending, queue_name(self.dest, self.state)))
        self.queue, self.readable = read_queue(module, self.pending)
        if self.readable:
            result["reboot_required"] = bool(self.queue.get("restart_required"))
        self.waiting = pending_for(self.queue, queue_name(self.dest, self.state))
        return result

    def finish_new_file(self):
        """A new file gets what copy gives it: the default permissions unless mode says
        otherwise, then the task's mode, owner and group."""
        path = self.file_args["path"]
        if self.params["mode"] is None:
            umask = os.umask(0)
            os.umask(umask)
            self.module.set_mode_if_different(path, DEFAULT_PERM & ~umask, False)
        self.module.set_fs_attributes_if_different(self.file_args, True)


def run(module, tools):
    task = Task(module, tools)
    action, waits, attributes, content = task.plan()
    result = task.result(action, waits)
    if not module.params["remote_src"] and action == "copy" and not module.check_mode:
        # The action plugin sends the file and runs the module again.
        module.exit_json(dest=task.dest, changed=False, _needs_source=True, _content_changes=content)
    if content and module._diff and module.params["remote_src"]:  # pylint: disable=protected-access
        result["diff"] = content_diff(task.dest, module.params["src"])
    elif task.state == "absent" and action is not None and module._diff:  # pylint: disable=protected-access
        result["diff"] = dict(before=dict(path=task.dest, state="file" if task.exists else "pending"),
                              after=dict(path=task.dest, state="absent"))
    result["_content_changes"] = content
    if module.check_mode:
        result = task.predict(action, result)
    elif action is not None:
        result = task.act(action, result, content)
    elif attributes:
        result["changed"] = module.set_fs_attributes_if_different(task.file_args, False)
    result["pending"] = task.waiting
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            src=dict(type="path"),
            remote_src=dict(type="bool", default=False),
            dest=dict(type="path"),
            state=dict(type="str", default="present", choices=["present", "absent"]),
            force=dict(type="bool", default=True),
            backup=dict(type="bool", default=False),
            validate=dict(type="str"),
            decrypt=dict(type="bool", default=True),
            executable=dict(type="path", default="pinfile"),
            checksum=dict(type="str", no_log=False),
        ),
        add_file_common_args=True,
        required_if=[("state", "absent", ["dest"])],
        supports_check_mode=True,
    )
    executable = module.params["executable"]
    if os.sep not in executable:
        executable = module.get_bin_path(executable, required=True)
    run(module, (executable, os.path.join(os.path.dirname(executable), "pinfile-pending")))


if __name__ == "__main__":
    main()
