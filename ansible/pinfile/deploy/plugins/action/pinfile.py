# -*- coding: utf-8 -*-
# Copyright: pinfile developers
# MIT License (see LICENSE in the pinfile repository)
"""Action plugin of pinfile.deploy.pinfile: brings a controller's file to the host, as
ansible.builtin.copy does, then lets the module put it into place."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type  # pylint: disable=invalid-name

import os

from ansible.errors import AnsibleError
from ansible.module_utils.common.text.converters import to_text
from ansible.plugins.action import ActionBase
from ansible.utils.hashing import checksum as local_checksum


class ActionModule(ActionBase):
    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        if args.get("state", "present") != "present" or args.get("remote_src"):
            result.update(self._execute_module(module_args=args, task_vars=task_vars))
            return result
        try:
            source = self._find_needle("files", args.get("src"))
        except AnsibleError as error:
            return dict(result, failed=True, msg=to_text(error))
        # The module compares checksums before it runs anything; in check mode nothing is sent.
        args["checksum"] = local_checksum(source)
        if not self._play_context.check_mode:
            remote = self._connection._shell.join_path(  # pylint: disable=protected-access
                self._connection._shell.tmpdir, os.path.basename(source))  # pylint: disable=protected-access
            self._transfer_file(source, remote)
            self._fixup_perms2((self._connection._shell.tmpdir, remote))  # pylint: disable=protected-access
            args["src"] = remote
        else:
            args["src"] = source
        args["remote_src"] = True
        try:
            result.update(self._execute_module(module_args=args, task_vars=task_vars))
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)  # pylint: disable=protected-access
        return result
