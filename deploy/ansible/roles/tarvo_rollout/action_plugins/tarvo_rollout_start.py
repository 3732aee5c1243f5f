"""Starts a rollout's report, once for the play: every host of the play
(after --limit) gets its rows "not-reached", and the run's directory, and
the mark that frames each controller's answers in this run, become facts of
every host.  Run it with run_once, in a play of its own on the rollout's
hosts, before the rollout's batches."""
import json
import os
import secrets
import sys
import time

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "files"))
from fleet_report import storage  # noqa: E402 pylint: disable=wrong-import-position

DEFAULT_PORTS = [1, 2]


class ActionModule(ActionBase):
    _supports_check_mode = True
    _requires_connection = False
    TRANSFERS_FILES = False

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        for name in ("report_dir", "image", "version"):
            if not isinstance(args.get(name), str):
                raise AnsibleError("tarvo_rollout_start: %s must be text" % name)
        hostvars = task_vars["hostvars"]
        roster = []
        for host in task_vars.get("ansible_play_hosts_all", []):
            ports = hostvars.raw_get(host).get("tarvo_ports", args.get("ports") or DEFAULT_PORTS)
            if isinstance(ports, str):
                ports = self._templar.template(ports)
            roster.append([host, list(ports) if isinstance(ports, list) else DEFAULT_PORTS])
        run_id = "%s-%06x" % (time.strftime("%Y%m%dT%H%M%SZ", time.gmtime()), secrets.randbelow(1 << 24))
        arguments = os.environ.get("TARVO_RUN_ARGS")
        try:
            arguments = json.loads(arguments) if arguments else None
        except ValueError:
            arguments = None
        if not isinstance(arguments, dict):
            arguments = {"limit": task_vars.get("ansible_limit", "")}
        run = storage.start(args["report_dir"], run_id, self._play_context.check_mode, arguments,
                            args["image"], args["version"], roster)
        result["ansible_facts"] = {"_tarvo_run_dir": run,
                                   "_tarvo_mark": "tarvo-%016x" % secrets.randbits(64)}
        result["changed"] = False
        result["msg"] = run
        return result
