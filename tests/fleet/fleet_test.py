#!/usr/bin/env python3
"""Fleet rollout over real SSH to simulated controllers, with the real
ansible-playbook.  Needs root (the controllers are chroots, see ssh_fleet.py).

Usage: tests/fleet/fleet_test.py BUILD_DIR
       tests/fleet/fleet_test.py --report     (the report's table only, no root)

First, without SSH, the report against controllers that answer with hostile
text: each fails at most itself, with a reason, and the others' rows stand.

Eight controllers, two ports each: c01 unreachable (nothing listens on its
port) and first in line, c02 c04 c06 c08 behind OpenSSH, c03 c05 c07 behind
dropbear (no SFTP, commands over 9,000 bytes refused), c05 without a board
in port 2.  At most 34 % failures in a batch.

1. A dry run: a plan for every host, nothing touched.
2. A bad image (a good image under a name whose configuration it does not
   have) in batches of 2, then 6: c01 unreachable and c02 failing stop the
   rollout; every later host is "not-reached".
3. The wanted image with an erase that is never answered on c04 port 1: c04
   fails after a second attempt, every other port is updated or skipped.
4. Fault cleared, c06 set back and slow: SIGINT to the playbook while c06
   flashes; its rows are "interrupted", the flash ends on the controller.
5. --limit c04:c06: the rest of c06, in a report of its own.
6. The older image, without the package: every board is "newer" and left
   alone, nothing changes.
7. The older image allowed on c02 only.
8. A dry run after, with a half-done install on c07 and c08 and the record
   of an interrupted update on c03 port 1;
9. Signed images on c02 (keys and signatures made here with minisign): an
   unsigned rollout that installs a key is refused, and so is its dry run
   after; an image signed by another key is refused by the updater; the
   signed image is updated, its signer in the report.
10. hostile values and a pattern that matches nothing.
Every run's report stays as it was written.

Prints "fleet test: PASS" or "fleet test: FAIL" with what went wrong, and
exits 0 or 1.
"""
import base64
import csv
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import ssh_fleet  # noqa: E402

SRC = os.path.dirname(os.path.dirname(HERE))
ANSIBLE_DIR = os.path.join(SRC, "deploy", "ansible")
sys.path.insert(0, os.path.join(ANSIBLE_DIR, "roles", "tarvo_rollout", "files"))
IMAGE = "V1a2a3c4b5b6b7o.hex"
VERSION = "0x01010000"
WANTED_CONFIG = "1a2a3c4b5b6b7o"
OLD_IMAGE, OLD_VERSION = "V1a2a3b4b5b6b7o.hex", "0x01000000"
FACTORY = (OLD_VERSION, "1a2a3b4b5b6b7o")
PLAN = {"c01": (None, "tarvo"), "c02": ("openssh", "tarvo"), "c03": ("dropbear", "tarvo"),
        "c04": ("openssh", "tarvo"), "c05": ("dropbear", "none"), "c06": ("openssh", "tarvo"),
        "c07": ("dropbear", "tarvo"), "c08": ("openssh", "tarvo")}
HOSTS = sorted(PLAN)
REACHED = HOSTS[1:]
PORTS = [(h, p) for h in HOSTS for p in (1, 2)]
NO_PORT2 = ("c05", 2)

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


class Run:
    """One playbook run: exit status, log, recap, and its report."""

    def __init__(self, status, log, report_dir):
        self.status, self.log = status, log
        self.recap = {m.group(1): {"changed": int(m.group(2)), "failed": int(m.group(3))}
                      for m in re.finditer(r"^(c\d\d)\s*:\s*ok=\d+\s+changed=(\d+)\s+"
                                           r"unreachable=\d+\s+failed=(\d+)", log, re.M)}
        m = re.search(r"^report: (.*)/fleet_report.csv$", log, re.M)
        self.dir = m.group(1) if m else None
        self.rows, self.meta = {}, {}

    def load(self, directory):
        self.dir = directory
        with open(os.path.join(directory, "fleet_report.json")) as f:
            self.rows = {(r["host"], r["port"]): r for r in json.load(f)}
        with open(os.path.join(directory, "fleet_report.csv")) as f:
            check(len(list(csv.DictReader(f))) == len(self.rows),
                  "%s: CSV and JSON reports differ in rows" % directory)
        with open(os.path.join(directory, "run.json")) as f:
            self.meta = json.load(f)
        return self

    def outcome(self, host, port):
        return self.rows.get((host, port), {}).get("outcome")


class Test:
    def __init__(self, build, work):
        self.build = os.path.abspath(build)
        self.work = work
        self.report = os.path.join(work, "report")
        self.package = os.path.join(work, "tarvo_update-sim.tar.gz")
        full = os.path.join(work, "full.tar.gz")
        subprocess.run([os.path.join(SRC, "scripts", "sim_fleet.sh"), "package", self.build, full],
                       check=True)
        # Without the image rolled out, so that every controller gets it in pieces.
        with tarfile.open(full) as src, tarfile.open(self.package, "w:gz") as dst:
            for m in src.getmembers():
                if not m.name.endswith("/" + IMAGE):
                    dst.addfile(m, src.extractfile(m) if m.isfile() else None)
        self.fleet = ssh_fleet.Fleet(os.path.join(work, "fleet"), self.build, PLAN)
        for h in HOSTS:
            os.remove(os.path.join(self.root(h), "opt/tarvo_update/fw", IMAGE))
        self.fleet.start()
        self.runs = 0
        self.mispredicted = []
        self.reports = {}  # run directory -> its files' text when the run ended

    def root(self, host):
        return self.fleet.controllers[host].root

    def show(self, host):
        out = subprocess.run([self.fleet.tool, "show", self.root(host)], check=True,
                             capture_output=True, text=True).stdout
        return {b["port"]: b for b in map(json.loads, out.splitlines())}

    def boards(self):
        return {h: self.show(h) for h in HOSTS}

    def sim(self, *args):
        subprocess.run([self.fleet.tool, *args], check=True, stdout=subprocess.DEVNULL)

    def command(self, image, version, serial, *extra, package=True):
        return ["ansible-playbook", "-i", self.fleet.inventory, "rollout.yml",
                "-e", "tarvo_image=" + image, "-e", "tarvo_image_version=" + version,
                "-e", "tarvo_package=" + (self.package if package else ""),
                "-e", "tarvo_report_dir=" + self.report,
                "-e", json.dumps({"tarvo_serial": serial, "tarvo_max_fail_percentage": 34,
                                  "tarvo_busy_retries": 2, "tarvo_busy_delay": 1}), *extra]

    def start(self, image, version, serial, *extra, package=True):
        self.runs += 1
        self.log = os.path.join(self.work, "run%d.log" % self.runs)
        env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_FORCE_COLOR="0")
        return subprocess.Popen(self.command(image, version, serial, *extra, package=package),
                                cwd=ANSIBLE_DIR,
                                stdout=open(self.log, "w"), stderr=subprocess.STDOUT, env=env)

    def finish(self, proc):
        status = proc.wait()
        run = Run(status, open(self.log).read(), self.report)
        if run.dir:
            run.load(run.dir)
        self.keep_reports()
        return run

    def rollout(self, image, version, serial, *extra, package=True):
        return self.finish(self.start(image, version, serial, *extra, package=package))

    def predicted(self, image, version, serial, *extra, package=True):
        """A dry run, then the same rollout: the ports whose plan differs
        from the outcome are counted in self.mispredicted."""
        dry = self.rollout(image, version, serial, "--check", *extra, package=package)
        run = self.rollout(image, version, serial, *extra, package=package)
        self.mispredicted += ["run %d: %s" % (self.runs, m) for m in mispredicted(dry, run)]
        return run

    def keep_reports(self):
        """Every earlier run's report must stay as it was."""
        for d, files in self.reports.items():
            check(snapshot(d) == files, "the report of %s changed or went" % d)
        for name in os.listdir(self.report) if os.path.isdir(self.report) else []:
            d = os.path.join(self.report, name)
            if not os.path.islink(d) and d not in self.reports:
                self.reports[d] = snapshot(d)

    def latest(self, name):
        path = os.path.join(self.report, name)
        return os.path.realpath(path) if os.path.islink(path) else None


# Outcomes that only flashing shows (a stage failed, a board that reports
# another configuration after it): no dry run can plan them, and the host's
# later ports follow from them.
FLASH_ONLY = (4, 6)


def mispredicted(dry, real):
    """The ports whose dry-run plan differs from the real run's outcome."""
    bad, stopped = [], set()
    for h, p in sorted(real.rows, key=str):
        r = real.rows[(h, p)]
        if r["outcome"] == "failed" and r["updater_status"] in FLASH_ONLY:
            stopped.add(h)
        want = "update" if r["outcome"] == "updated" else r["outcome"]
        if h not in stopped and dry.outcome(h, p) != want:
            bad.append("%s port %s planned %s, came to %s (%s)" % (
                h, p, dry.outcome(h, p), r["outcome"], r["reason"]))
    return bad


def snapshot(directory):
    files = {}
    for base, _, names in os.walk(directory):
        for n in names:
            if not n.startswith("."):
                with open(os.path.join(base, n)) as f:
                    files[os.path.relpath(os.path.join(base, n), directory)] = f.read()
    return files


def runs_wanted(board):
    return board["mode"] == "running" and (board["version"], board["config_text"]) == (
        VERSION, WANTED_CONFIG)


def check_report(run, name, kind, hosts):
    """Rows for every host and port of the run, and totals that add up."""
    if not check(run.dir is not None, "%s: no report path printed" % name):
        return False
    check(set(h for h, _ in run.rows) == set(hosts) and
          all((h, p) in run.rows for h in hosts for p in (1, 2)),
          "%s: rows for %s, not for %s" % (name, sorted(set(h for h, _ in run.rows)), hosts))
    counts = {}
    for r in run.rows.values():
        counts[r["outcome"]] = counts.get(r["outcome"], 0) + 1
    check(run.meta.get("kind") == kind and run.meta.get("end") and run.meta.get("totals") == counts,
          "%s: run.json %s, rows give %s" % (name, run.meta, counts))
    check(re.search(r"^(rollout|dry run) %s: .*%s" % (re.escape(run.meta.get("id", "?")), ", ".join(
        "%d %s" % (n, o) for o, n in sorted(counts.items()))), run.log, re.M) is not None,
        "%s: the totals were not printed" % name)
    return True


def wait_for(what, test, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if test():
            return True
        time.sleep(0.1)
    return check(False, "waited %d s in vain for %s" % (seconds, what))


def host_state(run_dir, host):
    try:
        with open(os.path.join(run_dir, "hosts", host + ".json")) as f:
            return json.load(f).get("state")
    except (OSError, ValueError):
        return None


def board_line(port, version, config, **more):
    return json.dumps(dict({"port": port, "status": "read", "board": True, "answered": True,
                            "version": version, "config": config, "pending": None}, **more))


# Controllers that answer with hostile text, one per row: (host, text around
# the probe's answer, port 1's tarvo_info object, what follows the update's
# end mark, what the host's port 1 row must show).  "good" comes last: a row
# that broke the report would freeze it.
HOSTILE = [
    ("wrong-type", "", board_line(1, OLD_VERSION, FACTORY[1], pending="x"), None,
     lambda r: r["outcome"] == "failed" and "pending" in r["reason"]),
    ("bad-unicode", "", board_line(1, OLD_VERSION, "\ud800"), '{"port":1,"config":"\\ud800"}',
     lambda r: r["outcome"] == "failed" and "\ufffd" in r["before_config"]),
    ("deep", "", board_line(1, OLD_VERSION, FACTORY[1]), '{"a":' * 3000,
     lambda r: r["outcome"] == "failed" and r["reason"].startswith("after the update")),
    ("huge", "", board_line(1, OLD_VERSION, "x" * 100000), None,
     lambda r: r["outcome"] == "failed" and "too long" in r["reason"]),
    ("banner", "image %s  /x\npackage 1.0\ninstall ok\n{\"port\":1,\"status\":\"no-board\"}",
     board_line(1, OLD_VERSION, FACTORY[1]), None,
     lambda r: r["outcome"] == "updated" and r["image_step"] == "copied" and
     r["package_step"] == "current"),
    ("formula", "", board_line(1, "=HYPERLINK(\"http://x/\")", "@SUM(A1)"), None,
     lambda r: r["before_version"].startswith("=") and r["before_config"] == "@SUM(A1)"),
    ("../../x/c01", "", board_line(1, OLD_VERSION, FACTORY[1]), None,
     lambda r: r["outcome"] == "updated"),
    ("site-b/ctl-02", "", board_line(1, OLD_VERSION, FACTORY[1]), None,
     lambda r: r["outcome"] == "updated"),
    ("site-b%2Fctl-02", "", board_line(1, OLD_VERSION, FACTORY[1]), None,
     lambda r: r["outcome"] == "updated"),
    # Control characters reach no CSV cell; the updater's words (from its
    # record, else its last line) arrive whole, entities decoded once.
    ("control", "", board_line(1, OLD_VERSION, "a\x1b[2Jb"),
     {"status": 5, "after": board_line(1, OLD_VERSION, "a\x1b[2Jb") + "\ntarvo-record " + json.dumps(
         {"pid": 4242, "reason": "bad key \x1b[31mred \x1b]0;title\x07 \r\n x", "status": 5})},
     lambda r: r["outcome"] == "failed" and r["updater_status"] == 5 and
     r["reason"] == "firmware file refused: bad key \x1b[31mred \x1b]0;title\x07 \r\n x"),
    ("entity", "", board_line(1, OLD_VERSION, FACTORY[1]),
     {"status": 5, "said": "Checking firmware file %s ... refused: <b>&#27;[1m</b> &amp;#27;" % IMAGE},
     lambda r: r["reason"] == "firmware file refused: Checking firmware file %s ... refused: "
     "\x1b[1m &#27;" % IMAGE),
    ("good", "", board_line(1, OLD_VERSION, FACTORY[1]), None, lambda r: r["outcome"] == "updated"),
]


class Settings(dict):
    """The role's variables as the action plugin passes them to the policy."""

    def __init__(self, image, **more):
        super().__init__(dict(image_path=image, version=VERSION, ports=[1], package_version="2.0",
                              allow_downgrade=False, trusted_keys=[], check=False), **more)


def report_table(work):
    """The fleet report against the HOSTILE controllers, without SSH: the
    steps the action plugin takes, fed with the controllers' answers."""
    from fleet_report import policy, protocol, rows, storage
    image = os.path.join(SRC, "fw", IMAGE)
    with open(image, "rb") as f:
        md5 = hashlib.md5(f.read()).hexdigest()
    report, mark = os.path.join(work, "report-table"), "tarvo-0123456789abcdef"
    secret = "hunter2-secret"
    argv = ["-i", "inv.yml", "rollout.yml", "-e", "tarvo_image=" + image,
            "-e", "ansible_become_password=" + secret,
            "--extra-vars", json.dumps({"vault_pin": secret}), "--extra-var=pin1=" + secret,
            "--extra", "pin2=" + secret, "-ve", "pin3=" + secret, "-vvepin4=" + secret,
            "-e=pin5=" + secret, "--ex", "pin6=" + secret, "-l", "c01"]
    run = storage.start(report, "table", False, storage.run_arguments(argv), image, VERSION,
                        [(h, [1]) for h, *_ in HOSTILE])
    for host, banner, before, after, _ in HOSTILE:
        banner = banner % md5 if "%s" in banner else banner
        probe = "%s\r\n%s begin\npackage 2.0\ninstall ok\nimage \nsignature \n%s\n\n%s end\n%s" % (
            banner, mark, before, mark, banner)
        record = storage.new_record(run, host, [1])
        record["state"] = rows.IN_FLIGHT
        decision = policy.plan(record, protocol.parse_probe(probe, mark), Settings(image))
        if decision["todo"] == [1]:
            record["steps"]["image"]["state"] = rows.Step.DONE
            end = after if isinstance(after, dict) else {"after": after}
            answer = "%s\n%s\n\ntarvo-port 1 %d 1 10.0 20.0 4242\n%s\n" % (
                banner, end.get("said", "Update finished."), end.get("status", 0),
                end.get("after") or board_line(1, VERSION, WANTED_CONFIG))
            policy.port_result(record, 1, "banner\n%s begin\n%s\n%s end\n" % (mark, answer, mark), mark)
        record["state"] = rows.DONE
        storage.save_host(run, record)
    storage.finish(run)
    try:
        with open(os.path.join(run, "fleet_report.json"), encoding="utf-8") as f:
            table = {r["host"]: r for r in json.load(f)}
        with open(os.path.join(run, "fleet_report.csv"), encoding="utf-8", newline="") as f:
            text = f.read()
            cells = {r["host"]: r for r in csv.DictReader(text.splitlines(keepends=True))}
        with open(os.path.join(run, "run.json"), encoding="utf-8") as f:
            meta = f.read()
    except (OSError, ValueError) as e:
        return check(False, "report table: no report: %s" % e)
    for host, _, _, _, want in HOSTILE:
        check(host in table and want(table[host]), "report table: %s: %s" % (host, table.get(host)))
    formula = cells.get("formula", {})
    check(formula.get("before_version", "").startswith("'=") and
          formula.get("before_config") == "'@SUM(A1)", "report table: CSV cells %s" % formula)
    check(not any(re.search("[\x00-\x1f\x7f-\x9f]", v) for r in cells.values() for v in r.values()) and
          cells.get("control", {}).get("reason", "").endswith("\\x1b[31mred \\x1b]0;title\\x07 \\r\\n x") and
          cells.get("control", {}).get("before_config") == "a\\x1b[2Jb",
          "report table: control characters in CSV cells %s" % cells.get("control"))
    names = os.listdir(os.path.join(run, "hosts"))
    check(len(names) == len(HOSTILE) and not os.path.exists(os.path.join(work, "x")),
          "report table: host files %s" % names)
    check(secret not in meta and all(n in meta for n in (
        "ansible_become_password", "vault_pin", "pin1", "pin2", "pin3", "pin4", "pin5", "pin6")),
        "report table: run.json %s" % meta)
    return True


def minisign_key(work, name):
    """A key pair made with minisign (no password): (public key file, secret
    key file, key ID)."""
    pub, sec = os.path.join(work, name + ".pub"), os.path.join(work, name + ".key")
    subprocess.run(["minisign", "-G", "-W", "-p", pub, "-s", sec], check=True,
                   stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    raw = base64.b64decode(open(pub).read().splitlines()[1])
    return pub, sec, "%016X" % int.from_bytes(raw[2:10], "little")


def signed_copy(work, image, name, secret=None):
    """IMAGE copied into WORK/NAME/, signed there with SECRET (or not)."""
    os.makedirs(os.path.join(work, name))
    path = shutil.copy(image, os.path.join(work, name, os.path.basename(image)))
    if secret:
        subprocess.run(["minisign", "-S", "-s", secret, "-m", path], check=True,
                       stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return path


def signing(t, work, good):
    """c02 (running the older image) comes to require signatures."""
    pub, sec, key = minisign_key(work, "owner")
    _, other, _ = minisign_key(work, "other")
    unsigned = signed_copy(work, good, "unsigned")
    keys = os.path.join(t.root("c02"), "opt/tarvo_update/keys")
    before = t.show("c02")
    for name, check_mode, trusted in (("9a", False, [pub]), ("9b", True, [])):
        run = t.rollout(unsigned, VERSION, [1], "--limit", "c02", *(["--check"] if check_mode else []),
                        "-e", json.dumps({"tarvo_trusted_keys": trusted}))
        check(run.status != 0 and all(
            run.outcome("c02", p) == "refused" and run.rows[("c02", p)]["reason"].startswith(
                "not signed") and run.rows[("c02", p)]["signer"] == "unsigned" for p in (1, 2)),
            "run %s: c02 %s" % (name, [run.rows.get(("c02", p)) for p in (1, 2)]))
    st = os.stat(os.path.join(keys, "owner.pub")) if os.path.exists(keys) else None
    check(st is not None and st.st_uid == 0 and st.st_mode & 0o777 == 0o644 and
          open(os.path.join(keys, "owner.pub")).read() == open(pub).read(),
          "run 9a: the key was not installed as root's, 0644: %s" % (st,))
    # Signed by a key that c02 does not trust: the updater refuses it.
    run = t.predicted(signed_copy(work, good, "other", other), VERSION, [1], "--limit", "c02")
    r = run.rows.get(("c02", 1), {})
    check(run.status != 0 and r.get("outcome") == "failed" and r.get("updater_status") == 5,
          "run 9c: c02 port 1 %s" % r)
    check(t.show("c02") == before, "run 9: a refused image reached c02's boards")
    signed = signed_copy(work, good, "signed", sec)
    run = t.predicted(signed, VERSION, [1], "--limit", "c02")
    check(run.status == 0 and all(run.outcome("c02", p) == "updated" and
                                  run.rows[("c02", p)]["signer"] == key for p in (1, 2)),
          "run 9d: c02 %s" % [run.rows.get(("c02", p)) for p in (1, 2)])
    check(open(os.path.join(t.root("c02"), "opt/tarvo_update/fw", IMAGE + ".minisig")).read() ==
          open(signed + ".minisig").read(), "run 9d: the signature is not beside the image")


def in_namespace(t, host, script):
    """SCRIPT run in the mount namespace of HOST's SSH server."""
    subprocess.run(["nsenter", "-t", str(t.fleet.controllers[host].proc.pid), "-m", "sh", "-c",
                    script], check=True)


def stalled(t, old, good):
    for h in ("c07", "c08"):
        for p in (1, 2):
            t.sim("flash", t.root(h), str(p), old)
    shutil.rmtree(os.path.join(t.root("c08"), "opt/tarvo_update"))
    info = os.path.join(t.root("c06"), "opt/tarvo_update/bin/tarvo_info")
    os.rename(info, info + ".real")
    with open(info, "w") as f:
        f.write("#!/bin/sh\nexec sleep 1000\n")
    os.chmod(info, 0o755)
    limits = json.dumps({"tarvo_probe_timeout": 3, "tarvo_max_offline": 2})
    started = time.monotonic()
    run = t.predicted(good, VERSION, [len(HOSTS)], "-e", limits)
    os.rename(info + ".real", info)
    check(time.monotonic() - started < 300, "run 11: the hung probe held the run")
    check(run.status != 0 and all(run.recap.get(h, {}).get("failed") == 0 for h in HOSTS),
          "run 11: offline controllers failed: exit %d, %s" % (run.status, run.recap))
    check(all(run.outcome(h, p) == "unreachable" for h in ("c01", "c06") for p in (1, 2)) and
          "Ask the controller: no answer within 3 s" in run.rows.get(("c06", 1), {}).get("reason", ""),
          "run 11: c01, c06 %s" % [run.rows.get((h, 1)) for h in ("c01", "c06")])
    check(all(run.outcome(h, p) == "updated" for h in ("c07", "c08") for p in (1, 2)) and
          run.rows[("c08", 1)]["package_step"].startswith("installed "),
          "run 11: c07, c08 %s" % [run.rows.get((h, p)) for h in ("c07", "c08") for p in (1, 2)])


def unwritable(t, old, good):
    for h in ("c07", "c08"):
        for p in (1, 2):
            t.sim("flash", t.root(h), str(p), old)
    opt = os.path.join(t.root("c07"), "opt/tarvo_update")
    jobs = os.path.join(t.root("c08"), "opt/tarvo_update/.rollout")
    in_namespace(t, "c07", "mount --bind %s %s && mount -o remount,bind,ro %s" % (opt, opt, opt))
    in_namespace(t, "c08", "mount -t tmpfs -o size=64k tmpfs %s && "
                 "{ dd if=/dev/zero of=%s/fill bs=4k 2>/dev/null || true; }" % (jobs, jobs))
    try:
        run = t.rollout(good, VERSION, [2], "--limit", "c07:c08")
    finally:
        in_namespace(t, "c07", "umount %s" % opt)
        in_namespace(t, "c08", "umount %s" % jobs)
    for h, words in (("c07", "Read-only file system"), ("c08", "No space left on device")):
        r = run.rows.get((h, 1), {})
        check(r.get("outcome") == "failed" and words in r.get("reason", "") and
              r.get("reason", "").startswith("Start PORT1's update: it could not start") and
              run.outcome(h, 2) == "not-done", "run 12: %s %s" % (h, r))


def killed(t, old, good):
    """c06 slow; all its processes killed while PORT1 flashes."""
    c06 = t.fleet.controllers["c06"]
    for p in (1, 2):
        t.sim("flash", t.root("c06"), str(p), old)
    t.fleet.speeds["c06"] = "4"
    t.fleet.write_inventory()
    proc = t.start(good, VERSION, [1], "--limit", "c06", "-e", "tarvo_max_offline=1")
    jobs = os.path.join(t.root("c06"), "opt/tarvo_update/.rollout")

    def flashing():
        d = t.latest("latest")
        job = os.path.join(jobs, "1-" + os.path.basename(d or ""))
        try:
            with open(job + ".out") as f:
                started = "Flashing TARVO on PORT1" in f.read()
        except OSError:
            started = False
        return proc.poll() is not None or d and d not in t.reports and started and \
            not os.path.exists(job + ".end")
    wait_for("c06 to flash", flashing, 240)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/root" % pid) == c06.root:
                os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass
    run = t.finish(proc)
    t.fleet.speeds["c06"] = "0"
    t.fleet.write_inventory()
    c06.start()
    check(run.recap.get("c06", {}).get("failed") == 0 and re.search(
        r"^c06\s*:.*unreachable=1", run.log, re.M) is not None, "run 13: recap %s" % run.recap)
    check(run.outcome("c06", 1) == "unknown" and run.rows[("c06", 1)]["reason"] ==
          "the controller went away while PORT1 was being flashed" and
          run.outcome("c06", 2) == "unreachable", "run 13: c06 %s" % [
              run.rows.get(("c06", p)) for p in (1, 2)])


def main():
    build = sys.argv[1]
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="tarvo-fleet-")
    t = None
    try:
        report_table(work)
        if build == "--report":
            return finish_test(failures, work, started, "the report's table")
        t = Test(build, work)
        good = os.path.join(SRC, "fw", IMAGE)
        old = os.path.join(SRC, "fw", OLD_IMAGE)
        bad = os.path.join(work, "B1a2a3c4c5b6b7o.hex")
        shutil.copyfile(good, bad)

        # 1. Dry run: every host asked, a plan written, nothing touched.
        before = t.boards()
        run = t.rollout(good, VERSION, [len(HOSTS)], "--check", "--diff")
        check(run.status != 0, "run 1: an unreachable host left the dry run green")
        if check_report(run, "run 1", "check", HOSTS):
            check(run.outcome("c01", 1) == "unreachable" and
                  "Connection refused" in run.rows[("c01", 1)]["reason"],
                  "run 1: c01 %s" % run.rows.get(("c01", 1)))
            for h, p in PORTS[2:]:
                r = run.rows[(h, p)]
                want = "skipped" if (h, p) == NO_PORT2 else "update"
                check(r["outcome"] == want and r["package_step"].startswith("install ") and
                      r["before_version"] == ("" if want == "skipped" else OLD_VERSION),
                      "run 1: %s port %d %s" % (h, p, r))
        check(t.boards() == before, "run 1: the dry run changed a board")
        check(not any(os.path.exists(os.path.join(t.root(h), "opt/tarvo_update/VERSION"))
                      for h in HOSTS), "run 1: the dry run installed the package")
        check(t.latest("latest") is None and t.latest("latest-check") == run.dir,
              "run 1: latest %s, latest-check %s" % (t.latest("latest"), t.latest("latest-check")))
        dry1 = run.dir

        # 2. Bad image: the unreachable first host and a failing second one
        # stop the rollout after the first batch.
        run = t.predicted(bad, VERSION, [2, 6])
        check(run.status != 0, "run 2: the playbook reported success for a bad image")
        if check_report(run, "run 2", "run", HOSTS):
            check(run.outcome("c01", 1) == "unreachable", "run 2: c01 %s" % run.rows[("c01", 1)])
            r = run.rows[("c02", 1)]
            check(r["outcome"] == "failed" and r["updater_status"] == 6 and
                  r["reason"].startswith("configuration does not match the file name") and
                  r["image_step"] == "copied", "run 2: c02 port 1 %s" % r)
            check(run.outcome("c02", 2) == "not-done", "run 2: c02 port 2 %s" % run.rows[("c02", 2)])
            check(all(run.outcome(h, p) == "not-reached" for h, p in PORTS[4:]),
                  "run 2: later hosts %s" % [run.outcome(h, p) for h, p in PORTS[4:]])
        boards = t.boards()
        for h in HOSTS[2:]:
            check(all((b["version"], b["config_text"]) == FACTORY for b in boards[h].values()
                      if b["board"] == "tarvo"), "run 2: %s reached after the first batch" % h)

        # 3. The wanted image with a fault; dropbear hosts get package and image.
        t.sim("fault", t.root("c04"), "1", "erase-silent")
        settings = os.path.join(t.root("c03"), "opt/tarvo_update/etc/settings")
        with open(settings, "w") as f:
            f.write("MOD_TARVOUPDATE_FIRMWARE1=kept\n")
        run = t.predicted(good, VERSION, [len(HOSTS)])
        check(open(settings).read() == "MOD_TARVOUPDATE_FIRMWARE1=kept\n",
              "run 3: the install touched the settings")
        check(run.status != 0, "run 3: the playbook hid the faulty board's failure")
        if check_report(run, "run 3", "run", HOSTS):
            r = run.rows[("c04", 1)]
            check(r["outcome"] == "failed" and r["updater_status"] == 4 and r["attempts"] == 2,
                  "run 3: c04 port 1 %s" % r)
            check(run.outcome("c04", 2) == "not-done", "run 3: c04 port 2 %s" % run.rows[("c04", 2)])
            check(run.outcome(*NO_PORT2) == "skipped", "run 3: %s" % run.rows[NO_PORT2])
            check(run.outcome("c02", 1) == "current", "run 3: c02 port 1 %s" % run.rows[("c02", 1)])
            for h, p in PORTS:
                if h in ("c01", "c04") or (h, p) in (NO_PORT2, ("c02", 1)):
                    continue
                r = run.rows[(h, p)]
                check(r["outcome"] == "updated" and r["after_version"] == VERSION and
                      r["after_config"] == WANTED_CONFIG and r["duration_s"] != "",
                      "run 3: %s port %d %s" % (h, p, r))
            for h in ("c03", "c05", "c07"):
                r = run.rows[(h, 1)]
                check(r["package_step"].startswith("installed ") and r["image_step"] == "copied",
                      "run 3: dropbear host %s: %s, %s" % (h, r["package_step"], r["image_step"]))
        check(sorted(h for h, c in run.recap.items() if c["failed"]) == ["c01", "c04"],
              "run 3: failed hosts %s" % run.recap)
        check("PORT1 updated in" in run.log,
              "run 3: no per-port progress in the output")

        # 4. Interrupted: c06 back to the factory image and slow; SIGINT to
        # the playbook while it flashes.
        t.sim("clear", t.root("c04"), "1")
        for p in (1, 2):
            t.sim("flash", t.root("c06"), str(p), old)
        t.fleet.speeds["c06"] = "4"
        t.fleet.write_inventory()
        proc = t.start(good, VERSION, [len(HOSTS)])
        run_dir = []

        def flashing():
            d = t.latest("latest")
            jobs = os.path.join(t.root("c06"), "opt/tarvo_update/.rollout")
            if d and d not in t.reports and os.path.isdir(jobs):
                job = os.path.join(jobs, "1-" + os.path.basename(d))
                if os.path.exists(job + ".out") and not os.path.exists(job + ".end"):
                    run_dir.append(d)
                    return True
            return proc.poll() is not None
        wait_for("c06 to flash", flashing, 240)
        proc.send_signal(signal.SIGINT)
        run = t.finish(proc)
        if check(bool(run_dir), "run 4: c06 never flashed"):
            run.load(run_dir[0])
            check(all(run.outcome("c06", p) == "interrupted" for p in (1, 2)),
                  "run 4: c06 %s %s" % (run.rows.get(("c06", 1)), run.rows.get(("c06", 2))))
            check(all(run.outcome("c04", p) in ("updated", "interrupted") for p in (1, 2)),
                  "run 4: c04 %s" % [run.rows.get(("c04", p)) for p in (1, 2)])
            # A controller whose turn had not come when the run was stopped
            # (a loaded control node) is not-reached.
            check(all(run.outcome(h, p) in ("current", "skipped", "interrupted", "not-reached")
                      for h, p in PORTS if h in ("c02", "c03", "c05", "c07", "c08")),
                  "run 4: %s" % sorted(set(r["outcome"] for r in run.rows.values())))
            check(set(h for h, _ in run.rows) == set(HOSTS), "run 4: hosts missing")
        if run_dir:
            job = os.path.join(t.root("c06"), "opt/tarvo_update/.rollout",
                               "1-" + os.path.basename(run_dir[0]) + ".end")
            wait_for("c06's flash to end", lambda: os.path.exists(job), 300)
        t.fleet.speeds["c06"] = "0"
        t.fleet.write_inventory()

        # 5. --limit: the rest of c06 (and of c04, if the interrupt came
        # first), in a report of their own.
        run = t.rollout(good, VERSION, [len(HOSTS)], "--limit", "c04:c06")
        check(run.status == 0, "run 5: the limited run failed")
        if check_report(run, "run 5", "run", ["c04", "c06"]):
            check(run.outcome("c06", 1) == "current" and run.outcome("c06", 2) == "updated",
                  "run 5: c06 %s" % [run.rows.get(("c06", p)) for p in (1, 2)])
        for h, ports in t.boards().items():
            for p, b in ports.items():
                if h != "c01" and (h, p) != NO_PORT2:
                    check(runs_wanted(b), "run 5: %s port %d %s" % (h, p, b))
        check(t.latest("latest") == run.dir, "run 5: latest is %s" % t.latest("latest"))

        # 6. The older image: every board is newer and left alone (a rollout
        # without the package).
        before = t.boards()
        run = t.predicted(old, OLD_VERSION, [len(HOSTS)], "--limit", "all:!c01", package=False)
        check(run.status == 0 and all(c == {"changed": 0, "failed": 0} for c in run.recap.values())
              and len(run.recap) == len(REACHED), "run 6: not a no-op: %s" % run.recap)
        if check_report(run, "run 6", "run", REACHED):
            check(all(run.outcome(h, p) == "newer" for h, p in PORTS[2:] if (h, p) != NO_PORT2),
                  "run 6: outcomes %s" % sorted(set(r["outcome"] for r in run.rows.values())))
        check(t.boards() == before, "run 6: a board was downgraded")

        # 7. ... unless asked, on c02 only.
        run = t.predicted(old, OLD_VERSION, [1], "--limit", "c02", "-e", "tarvo_allow_downgrade=true")
        check(run.status == 0, "run 7: the allowed downgrade failed")
        check(all((b["version"], b["config_text"]) == FACTORY for b in t.show("c02").values()),
              "run 7: c02 %s" % t.show("c02"))

        # 8. A dry run after: c02 needs the image again, nothing else does;
        # installs that look half done are done again.
        os.mkdir(os.path.join(t.root("c07"), "opt/.tarvo_update.stage"))
        with open(os.path.join(t.root("c08"), "opt/tarvo_update/bin/tarvo_update"), "ab") as f:
            f.write(b"\0")
        steps = {"c07": "an earlier install was cut short",
                 "c08": "the programs do not match their VERSION"}
        # c03 port 1 runs the image but holds the record of an interrupted
        # update: it needs the update all the same.
        state = os.path.join(t.root("c03"), "opt/tarvo_update/state")
        os.makedirs(state, exist_ok=True)
        record = os.path.join(state, "PORT1")
        with open(record, "w") as f:
            f.write("image=%s\ncrc32=0x12345678\nsince=2026-12-01T10:00:00Z\nattempts=1\n"
                    % IMAGE)
        os.chmod(record, 0o644)  # a record writable for others is no record
        run = t.rollout(good, VERSION, [len(HOSTS)], "--check")
        os.remove(record)
        if check_report(run, "run 8", "check", HOSTS):
            for h, p in PORTS[2:]:
                want = ("update" if h == "c02" or (h, p) == ("c03", 1) else
                        "skipped" if (h, p) == NO_PORT2 else "current")
                step = run.rows[(h, p)]["package_step"]
                check(run.outcome(h, p) == want and (step.endswith(steps[h]) if h in steps
                                                     else step == "current"),
                      "run 8: %s port %d %s" % (h, p, run.rows[(h, p)]))
            check("interrupted update of %s pending since" % IMAGE
                  in run.rows[("c03", 1)].get("pending", ""),
                  "run 8: c03's record not in the report: %s" % run.rows[("c03", 1)])
        check(t.latest("latest-check") == run.dir and t.latest("latest-check") != dry1,
              "run 8: latest-check is %s" % t.latest("latest-check"))

        # 9. Signed images on c02, which runs the older image.
        signing(t, work, good)

        # 10. Hostile values never reach a shell; a pattern without hosts is
        # an error and writes nothing.
        marker = os.path.join(t.root("c02"), "hostile")
        run = t.rollout(good, VERSION, [1], "--limit", "c02", "-e",
                        json.dumps({"tarvo_busy_delay": "1; touch /hostile", "tarvo_ports": ["1"]}))
        check(run.status != 0 and not os.path.exists(marker),
              "run 9: a hostile delay was taken (exit %d)" % run.status)
        if run.dir:
            run.load(run.dir)
            r = run.rows.get(("c02", "1"), run.rows.get(("c02", 1), {}))
            check(r.get("outcome") == "failed" and "tarvo_busy_delay" in r.get("reason", ""),
                  "run 9: c02 %s" % r)
        count = len(t.reports)
        run = t.rollout(good, VERSION, [1], "-e", "tarvo_hosts=nosuchgroup")
        check(run.status != 0 and "no hosts matched" in run.log, "run 10: exit %d" % run.status)
        check(len(t.reports) == count, "run 10: a report was written")

        # 11. A fresh controller (c08: no package, no programs), one whose
        # probe hangs (c06) and one switched off (c01) beside a batch that
        # needs updates (c07): the plan says install then update, the hung
        # and the offline controllers are skipped as offline.
        stalled(t, old, good)
        # 12. Read-only and full /opt: the port fails at once, in the
        # controller's words.
        unwritable(t, old, good)
        # 13. A controller killed while a port flashes.
        killed(t, old, good)
        check(not t.mispredicted, "dry runs planned %d ports otherwise than the rollouts came "
              "to: %s" % (len(t.mispredicted), t.mispredicted))
    except Exception as e:  # a crash of the test itself is a failure too
        failures.append("%s: %s" % (type(e).__name__, e))
    finally:
        if t:
            t.fleet.stop()

    return finish_test(failures, work, started, "%d controllers over SSH, %d rollouts" % (
        len(HOSTS), t.runs if t else 0))


def finish_test(failed, work, started, what):
    seconds = time.monotonic() - started
    if failed:
        print("fleet test: FAIL (%.0f s, work directory kept: %s)" % (seconds, work))
        for f in failed:
            print("  " + f)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("fleet test: PASS (%s, %.0f s)" % (what, seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
