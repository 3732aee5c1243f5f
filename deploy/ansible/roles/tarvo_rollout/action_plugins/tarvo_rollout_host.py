"""Rolls a firmware image out to one controller, through its connection
only (raw commands: the controller needs no Python): asks it everything in
one round trip, plans, installs the package, the keys, the image and its
signature, updates the ports that need it, and writes the controller's
record into the run's report.  Every wait on the controller has a time
limit.  In check mode only read-only questions reach the controller and the
record is a plan."""
import contextlib
import hashlib
import os
import signal
import sys
import time

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase
from ansible.utils.display import Display

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "files"))
# pylint: disable=wrong-import-position
from fleet_report import policy, protocol, rows, storage  # noqa: E402
from fleet_report.protocol import q  # noqa: E402
from fleet_report.rows import Step  # noqa: E402

display = Display()

RANGES_MSG = ("tarvo_image and tarvo_image_version (\"0x%08X\", upper case) must be set; "
              "tarvo_ports a list of 1 and 2; tarvo_busy_retries 0..999, tarvo_busy_delay "
              "0..9999, tarvo_update_timeout 1..999999, tarvo_probe_timeout and "
              "tarvo_copy_timeout 1..99999 whole numbers; tarvo_max_offline a whole number or "
              "a share (\"10%\"); tarvo_root under 512 characters; tarvo_env a mapping of "
              "variable names; the run started by tasks_from start")


class StepTimeout(Exception):
    pass


class Lost(Exception):
    """The controller cannot be reached (any more)."""


@contextlib.contextmanager
def time_limit(seconds, what):
    """Raises StepTimeout in the middle of whatever waits longer than SECONDS."""
    def fire(signum, frame):
        raise StepTimeout("%s: no answer within %d s" % (what, seconds))
    old = signal.signal(signal.SIGALRM, fire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def end_children():
    """Ends what this worker started for a command that ran out of time (the
    SSH client or the local shell, and theirs)."""
    parents = {}
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open("/proc/%s/stat" % pid) as f:
                    parents.setdefault(int(f.read().rsplit(")", 1)[1].split()[1]), []).append(int(pid))
            except (OSError, IndexError, ValueError):
                pass
    todo, found = [os.getpid()], []
    while todo:
        for child in parents.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    for pid in found:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass


def whole(value, low, high):
    text = str(value)
    if not text.isdigit() or not low <= int(text) <= high:
        raise ValueError(text)
    return int(text)


def settings(args):
    """The role's variables, checked for what argument specs cannot check."""
    import re
    s = dict(args)
    try:
        if not s.get("image") or not re.match(r"^0x[0-9A-F]{8}$", str(s.get("version", ""))):
            raise ValueError("image")
        ports = s.get("ports")
        if not isinstance(ports, list) or not ports or any(str(p) not in ("1", "2") for p in ports):
            raise ValueError("ports")
        s["ports"] = [int(p) for p in ports]
        s["busy_retries"] = whole(s.get("busy_retries", 6), 0, 999)
        s["busy_delay"] = whole(s.get("busy_delay", 20), 0, 9999)
        s["update_timeout"] = whole(s.get("update_timeout", 900), 1, 999999)
        s["probe_timeout"] = whole(s.get("probe_timeout", 60), 1, 99999)
        s["copy_timeout"] = whole(s.get("copy_timeout", 600), 1, 99999)
        offline = str(s.get("max_offline", 0))
        if not re.match(r"^([0-9]{1,6}|[0-9]{1,3}(\.[0-9]+)?%)$", offline):
            raise ValueError("max_offline")
        s["max_offline"] = offline
        if not isinstance(s.get("root", ""), str) or len(s.get("root", "")) >= 512:
            raise ValueError("root")
        env = s.get("env") or {}
        if not isinstance(env, dict) or any(not re.match(r"^[A-Za-z_][A-Za-z0-9_]*$", str(k))
                                            for k in env):
            raise ValueError("env")
        s["env"] = env
        if not s.get("run_dir") or not s.get("mark"):
            raise ValueError("run")
    except (ValueError, TypeError):
        return None
    s["image_path"] = str(s["image"])
    s["trusted_keys"] = [os.path.realpath(str(k)) for k in s.get("trusted_keys") or []]
    s["allow_downgrade"] = bool(s.get("allow_downgrade"))
    s["package"] = str(s.get("package") or "")
    return s


class ActionModule(ActionBase):
    _supports_check_mode = True
    TRANSFERS_FILES = False

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        self.vars = task_vars
        self.host = task_vars["inventory_hostname"]
        s = settings(self._task.args)
        if s is None:
            return dict(result, failed=True, msg=RANGES_MSG)
        s["check"] = bool(self._play_context.check_mode)
        if s["package"] and not s.get("package_version"):
            s["package_version"] = storage.package_version(s["package"])
        s["package_version"] = s.get("package_version") or "" if s["package"] else ""
        self.s = s
        self.run_dir = s["run_dir"]
        self.paths = protocol.Paths(s["root"], s["env"], os.path.basename(s["image_path"]))
        tags = set(task_vars.get("ansible_run_tags") or ["all"])
        skip = set(task_vars.get("ansible_skip_tags") or [])
        self.allowed = {t: ("all" in tags or t in tags) and t not in skip
                        for t in ("package", "keys", "image", "update")}
        self.record = storage.new_record(self.run_dir, self.host, s["ports"])
        self.changed = False
        try:
            self.rollout()
        except Lost as e:
            return self.offline(result, str(e))
        except StepTimeout as e:
            self.record["error"] = protocol.clean(str(e), 2 * protocol.FIELD_MAX)
        self.record["state"] = rows.DONE
        storage.save_host(self.run_dir, self.record)
        said = rows.visible(rows.summary(self.record, rows.port_rows(self.record)))
        return dict(result, changed=self.changed, failed=said.startswith("failed"), msg=said)

    # -- the controller's work, in order

    def rollout(self):
        s, record = self.s, self.record
        decision = self.ask_and_plan()
        if s["check"]:
            self.predict(decision)
            return
        if decision["package"] and self.allowed["package"]:
            self.step("package", "Install the package", self.install)
            decision = self.ask_and_plan()
        if record["error"]:
            return
        if decision["keys"] and self.allowed["keys"]:
            self.step("keys", "Install a trusted key", lambda: self.keys(decision["keys"]))
        if record["error"]:
            return
        if (decision["image"] or decision["signature"]) and self.allowed["image"]:
            self.step("image", "Copy the image", lambda: self.copy(decision))
            # The signature goes (or is removed) with the image, in its command.
            if record["steps"]["signature"]["state"] == Step.TODO and not record["error"]:
                record["steps"]["signature"]["state"] = Step.DONE
        if record["error"] or not self.allowed["update"]:
            return
        for port in decision["todo"]:
            if not self.update(port):
                break

    def ask_and_plan(self):
        """The probe (asked again while another update holds a board) and the
        plan made from it; the host is in flight from here on."""
        s = self.s
        for attempt in range(s["busy_retries"] + 1):
            out = self.command(protocol.probe_command(s["mark"], self.paths, s["ports"]),
                               s["probe_timeout"], "Ask the controller", lost=True)
            probe = protocol.parse_probe(out, s["mark"])
            busy = [b for b in probe["boards"].values() if b.get("status") == "busy"]
            if not busy or attempt == s["busy_retries"]:
                break
            time.sleep(s["busy_delay"])
        self.record["state"] = rows.IN_FLIGHT
        decision = policy.plan(self.record, probe, s)
        storage.save_host(self.run_dir, self.record)
        return decision

    def predict(self, decision):
        """A dry run asks the controller's own updater about the image when
        the controller holds it as a real run would use it."""
        steps = self.record["steps"]
        if not decision["todo"] or decision["package"] or decision["keys"] or \
                steps.get("image", {}).get("state") != Step.CURRENT or \
                steps.get("signature", {}).get("state") == Step.TODO:
            return
        out = self.command(protocol.check_command(self.s["mark"], self.paths),
                           self.s["probe_timeout"], "Ask the updater about the image", lost=True)
        status, line = protocol.parse_check(out, self.s["mark"])
        if status == 5:
            # In the words a real run reports: the reason after "failed: ".
            words = protocol.updater_words(line)
            policy.predict_failure(self.record, decision, "%s: %s" % (
                policy.REASONS[5], words.split(" ... failed: ", 1)[-1]))

    def step(self, name, what, work):
        """One step on the controller: its state done, or the host's error."""
        try:
            work()
            if self.record["steps"][name]["state"] == Step.TODO:
                self.record["steps"][name]["state"] = Step.DONE
            self.changed = True
        except StepFailed as e:
            self.record["steps"][name]["state"] = Step.FAILED
            self.record["error"] = protocol.clean("%s: %s" % (what, e), 2 * protocol.FIELD_MAX)
        except StepTimeout as e:
            self.record["steps"][name]["state"] = Step.FAILED
            self.record["error"] = protocol.clean(str(e), 2 * protocol.FIELD_MAX)
        storage.save_host(self.run_dir, self.record)

    def install(self):
        path, md5 = storage.installer(self.run_dir, self.s["package"],
                                      os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   os.pardir, "files", "unpack.sh"))
        with open(path, "rb") as f:
            data = f.read()
        f = q(self.paths.installer)
        self.checked("Install the package", "cat > %s && sh %s %s %s; rc=$?; rm -f %s; exit $rc" % (
            f, f, q(self.s["root"] or "/"), md5, f), self.s["copy_timeout"], data)

    def keys(self, paths):
        for path in paths:
            with open(path, "rb") as f:
                text = f.read().decode("utf-8", "replace")
            name = os.path.basename(path)
            k = self.paths.keys
            self.checked("Install a trusted key " + name, " ".join([
                "d=%s; f=%s; p=%s;" % (q(k), q(k + "/" + name), q(k + "/." + name + ".part")),
                '{ [ -d "$d" ] || { mkdir -p -m 0755 "$d" && chown 0:0 "$d"; }; } &&',
                "printf '%%s' %s > \"$p\" && set -- $(md5sum \"$p\") &&" % q(text),
                'if [ "$1" = %s ]; then chown 0:0 "$p" && chmod 0644 "$p" && mv -f "$p" "$f";' % md5(text),
                'else rm -f "$p"; echo "key damaged on the way: checksum $1, sent %s"; exit 1; fi' % md5(text)]),
                self.s["copy_timeout"])

    def copy(self, decision):
        """The image through the command's input, and its signature, each into
        a hidden file renamed into place (in one command, the signature with
        the image) only when its checksum is the control node's."""
        p, s = self.paths, self.s
        parts, moves, data = [], [], None
        sig_part = p.fw + "/." + p.image_name + ".minisig.part"
        if decision["signature"]:
            with open(s["image_path"] + ".minisig", "rb") as f:
                sig = f.read().decode("utf-8", "replace")
            parts.append("printf '%%s' %s > %s && set -- $(md5sum %s) && if [ \"$1\" != %s ]; then "
                         "rm -f %s; echo \"signature damaged on the way: checksum $1, sent %s\"; exit 1; fi"
                         % (q(sig), q(sig_part), q(sig_part), md5(sig), q(sig_part), md5(sig)))
            moves.append("mv -f %s %s" % (q(sig_part), q(p.signature)))
        elif decision["drop_signature"]:
            moves.append("rm -f %s" % q(p.signature))
        if decision["image"]:
            part = p.fw + "/." + p.image_name + ".part"
            with open(s["image_path"], "rb") as f:
                data = f.read()
            want = hashlib.md5(data).hexdigest()
            parts.append("cat > %s && set -- $(md5sum %s) && if [ \"$1\" != %s ]; then rm -f %s; "
                         "echo \"image damaged on the way: checksum $1, sent %s\"; exit 1; fi"
                         % (q(part), q(part), want, q(part), want))
            moves.append("mv -f %s %s" % (q(part), q(p.image)))
        self.checked("Copy the image", " && ".join(["{ %s; }" % c for c in parts] + moves),
                     s["copy_timeout"], data)

    def update(self, port):
        """One port's update, started in the background on the controller and
        polled; its result goes into the record as soon as it is known.
        False when the host must stop (the port failed)."""
        s, mark, record = self.s, self.s["mark"], self.record
        run_id = os.path.basename(self.run_dir.rstrip("/"))
        what = "Start PORT%d's update" % port
        try:
            out = self.command(protocol.start_command(mark, self.paths, port, run_id,
                                                      s["busy_retries"], s["busy_delay"]),
                               s["probe_timeout"], what, lost=True)
        except Lost:
            # The update may have begun: nobody knows how far it got.
            record["lost_port"] = port
            raise
        if protocol.said_line(out, mark, "started") is None:
            return self.port_failed(port, "%s: it could not start: %s" % (
                what, protocol.last_words(out) or "no reason given"))
        self.changed = True
        deadline = time.monotonic() + s["update_timeout"]
        while True:
            try:
                out = self.command(protocol.poll_command(mark, self.paths, port, run_id),
                                   protocol.POLL_WAIT + s["probe_timeout"], "Poll PORT%d" % port,
                                   lost=True)
            except (Lost, StepTimeout) as e:
                record["lost_port"] = port
                raise Lost(str(e)) from e
            if protocol.said_line(out, mark, "running") is None:
                break
            if time.monotonic() > deadline:
                return self.port_failed(port, "the update took longer than tarvo_update_timeout "
                                        "(%d s): %s" % (s["update_timeout"], protocol.clean(
                                            protocol.said_line(out, mark, "running"), 200)))
        if protocol.said_line(out, mark, "lost") is not None:
            return self.port_failed(port, "the update's output on the controller is gone")
        got = policy.port_result(record, port, out, mark)
        storage.save_host(self.run_dir, record)
        if got["outcome"] == "updated":
            display.display("[%s] PORT%d updated in %s s (%s attempts)" % (
                self.host, port, got["seconds"], got["attempts"]))
        else:
            display.display("[%s] PORT%d %s%s" % (self.host, port, got["outcome"], rows.visible(
                ": " + got["reason"]) if got["reason"] else ""))
        return got["outcome"] != "failed"

    def port_failed(self, port, reason):
        self.record["results"][str(port)] = {"outcome": "failed", "reason": protocol.clean(reason),
                                             "status": None, "attempts": 0, "seconds": None,
                                             "after": None}
        storage.save_host(self.run_dir, self.record)
        display.display("[%s] PORT%d failed: %s" % (self.host, port, rows.visible(reason)))
        return False

    # -- commands on the controller

    def command(self, cmd, limit, what, in_data=None, lost=False):
        """What the command printed (stdout and stderr); Lost when the
        connection fails, StepTimeout past LIMIT seconds."""
        try:
            with time_limit(limit, what):
                try:
                    got = self._low_level_execute_command(cmd, sudoable=True, in_data=in_data,
                                                          executable=False)
                except StepTimeout:
                    end_children()
                    raise
        except AnsibleConnectionFailure as e:
            raise Lost(protocol.clean(str(e), protocol.FIELD_MAX)) from e
        except StepTimeout as e:
            if lost:
                raise Lost(str(e)) from e
            raise
        self.last_rc = got.get("rc")
        # What the command printed last is the end of its output (the SSH
        # server's own notices come on stderr).
        return "%s\n%s" % (got.get("stderr", ""), got.get("stdout", ""))

    def checked(self, what, cmd, limit, in_data=None):
        try:
            out = self.command(cmd, limit, what, in_data)
        except Lost as e:
            raise StepFailed("unreachable: %s" % e) from e
        if self.last_rc != 0:
            raise StepFailed(protocol.last_words(out, 400) or "exit status %s" % self.last_rc)

    # -- a controller that cannot be reached

    def offline(self, result, why):
        """Unreachable, counted apart from failed updates: up to
        tarvo_max_offline of a batch; past that it fails like one."""
        record = self.record
        record.update(state=rows.DONE, unreachable=True,
                      error=protocol.clean(why, 2 * protocol.FIELD_MAX))
        storage.save_host(self.run_dir, record)
        said = rows.visible(rows.summary(record, rows.port_rows(record)))
        batch = self.vars.get("ansible_play_batch") or [self.host]
        allowed = policy.offline_allowed(self.s["max_offline"], len(batch))
        count = storage.count_offline(self.run_dir, batch)
        if count > allowed:
            return dict(result, failed=True, changed=self.changed,
                        msg="%s (%d controllers of this batch offline, tarvo_max_offline allows %d)"
                        % (said, count, allowed))
        return dict(result, unreachable=True, changed=self.changed, msg=said)


class StepFailed(Exception):
    pass


def md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()
