"""Ends a rollout's report when the playbook ends, however its plays ended.

A play stopped by its batch rule runs no later play, so the run's report is
merged and its end and totals written here, in the process that runs
Ansible: from the playbook's statistics callback, or, when the playbook was
stopped (Ctrl-C, SIGTERM), as the process exits.  The report's directory
comes from the fact that the role's start task sets.  The playbook's
arguments go to the start task through the environment, which every worker
inherits, with the extra variables by name only (a value may be a
password).  A run killed outright ends nowhere: its report was written
ahead, and `python3 -m fleet_report finish RUN_DIR` merges it by hand.
"""
import atexit
import json
import os
import signal
import sys

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = """
    name: tarvo_run
    type: aggregate
    short_description: ends a TARVO rollout's report
    description: Merges the run's report, writes its end and totals and prints them.
    requirements: [enabled in ansible.cfg (callbacks_enabled)]
"""

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "roles",
                                "tarvo_rollout", "files"))
# pylint: disable=wrong-import-position
# (policy too: imported once here, every worker forked from this process has it)
from fleet_report import policy, rows, storage  # noqa: E402,F401 pylint: disable=unused-import


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "tarvo_run"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super().__init__()
        self.run_dir = None
        self.pid = os.getpid()

    def v2_playbook_on_start(self, playbook):
        os.environ["TARVO_RUN_ARGS"] = json.dumps(storage.run_arguments(sys.argv[1:]))
        atexit.register(self.finish)
        # SIGTERM ends the playbook as Ctrl-C does: through the exit handlers.
        if signal.getsignal(signal.SIGTERM) in (signal.SIG_DFL, None):
            signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(143))

    def v2_runner_on_ok(self, result):
        facts = result._result.get("ansible_facts") or {}
        if facts.get("_tarvo_run_dir"):
            self.run_dir = facts["_tarvo_run_dir"]

    def v2_runner_on_failed(self, result, ignore_errors=False):
        # The role's argument check runs before the role's own task, which
        # writes the host's record: write it here.
        if self.run_dir and result._task.action.endswith("validate_argument_spec"):
            host = result._host.get_name()
            ports = result._task_fields.get("vars", {}).get("tarvo_ports") if hasattr(
                result, "_task_fields") else None
            try:
                record = storage.new_record(self.run_dir, host, ports if isinstance(
                    ports, list) else self.roster_ports(host))
                record.update(state=rows.DONE, error="%s: %s" % (
                    result._task.get_name(), str(result._result.get("msg", ""))[:2000]))
                storage.save_host(self.run_dir, record)
            except (OSError, ValueError):
                pass

    def roster_ports(self, host):
        try:
            roster = storage.read_json(os.path.join(self.run_dir, "roster.json"))
        except (OSError, ValueError):
            return [1, 2]
        return next((p for h, p in roster["hosts"] if h == host), [1, 2])

    def v2_playbook_on_stats(self, stats):
        self.finish()

    def finish(self):
        if not self.run_dir or os.getpid() != self.pid:
            return
        run, self.run_dir = self.run_dir, None
        try:
            for line in storage.finish(run):
                self._display.display(rows.visible(line))
        except (OSError, ValueError) as e:
            self._display.warning("the report %s could not be merged: %s" % (run, e))
        try:
            os.remove(os.path.join(run, ".installer.run"))
        except OSError:
            pass
