# -*- coding: utf-8 -*-
# Copyright: pinfile developers
# MIT License (see LICENSE in the pinfile repository)
"""Action plugin of pinfile.deploy.pinfile: finds and decrypts a controller's file as
ansible.builtin.copy does, lets the module compare it with the host's by checksum, and sends it
only when the module needs it."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

import os
import stat

from ansible.errors import AnsibleError, AnsibleFileNotFound
from ansible.module_utils.common.text.converters import to_text
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase
from ansible.utils.hashing import checksum


class ActionModule(ActionBase):
    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        remote_src = boolean(args.get("remote_src", False), strict=False)
        if args.get("state", "present") != "present" or remote_src or not args.get("src"):
            return self.merged(result, self._execute_module(module_args=args, task_vars=task_vars))
        try:
            source = self._find_needle("files", args["src"])
        except AnsibleError as error:
            return dict(result, failed=True, msg=to_text(error))
        if os.path.isdir(source):
            return dict(result, failed=True, msg="Source %s is a directory: pinfile puts one file into place" % source)
        try:
            plain = self._loader.get_real_file(source, decrypt=boolean(args.get("decrypt", True), strict=False))
        except AnsibleFileNotFound as error:
            return dict(result, failed=True, msg="could not find src=%s, %s" % (source, to_text(error)))
        try:
            return self.merged(result, self.place(args, source, plain, task_vars))
        finally:
            self._loader.cleanup_tmp_file(plain)
            self._remove_tmp_path(self._connection._shell.tmpdir)  # pylint: disable=protected-access

    def place(self, args, source, plain, task_vars):
        """Runs the module with the controller's checksum first; sends the file and runs it
        again only when the module has to put the bytes into place."""
        if args.get("mode") == "preserve":
            args["mode"] = "0%03o" % stat.S_IMODE(os.stat(plain).st_mode)
        local = checksum(plain)
        if args.get("checksum") not in (None, local):
            return dict(failed=True, msg="Copied file does not match the expected checksum. Transfer failed.",
                        checksum=local, expected_checksum=args["checksum"])
        # The module compares this checksum with the host's files while src is on the controller.
        args.update(src=source, remote_src=False, checksum=local)
        answer = self._execute_module(module_args=args, task_vars=task_vars)
        # The diff is taken before anything changes, as copy takes it.
        diff = None
        if answer.pop("_content_changes", False) and self._play_context.diff:
            diff = self._get_diff_data(answer["dest"], plain, task_vars)
        if answer.pop("_needs_source", False):
            answer = self.sent(dict(args, dest=answer["dest"]), plain, task_vars)
        if diff is not None:
            answer["diff"] = diff
        return answer

    def sent(self, args, plain, task_vars):
        """Sends the file to the host and runs the module on it there."""
        shell = self._connection._shell  # pylint: disable=protected-access
        remote = shell.join_path(shell.tmpdir, "source")
        self._transfer_file(plain, remote)
        self._fixup_perms2((shell.tmpdir, remote), execute=False)
        args.update(src=remote, remote_src=True)
        answer = self._execute_module(module_args=args, task_vars=task_vars)
        answer.pop("_content_changes", None)
        return answer

    @staticmethod
    def merged(result, answer):
        answer.pop("_content_changes", None)
        result.update(answer)
        return result
