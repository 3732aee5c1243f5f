#!/usr/bin/env python3
"""Fleet rollout against simulated controllers, with the real ansible-playbook.

Usage: tests/fleet/fleet_test.py BUILD_DIR

Twenty controllers (c01..c20), two ports each, c17 without a board in port 2.
At most 34 % failures in a batch.

1. A bad image (a good image under a name whose configuration it does not
   have), in batches of 2, then 6: the first batch fails with status 6 and the
   rollout stops there.
2. The wanted image, with an erase that is never answered on c05 port 1 and a
   corrupted read-back on c11 port 2, in batches of 2, then 9: both hosts
   fail after a second attempt, every other port is updated or skipped.
3. The same again: nothing changes but the two faulty hosts' attempts.
4. Faults cleared: every board runs the wanted image.
5. Once more: nothing at all to do.
Runs 3 to 5 take the whole fleet in one batch.

Prints "fleet test: PASS" or "fleet test: FAIL" with what went wrong, and
exits 0 or 1.
"""
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ANSIBLE_DIR = os.path.join(SRC, "deploy", "ansible")
IMAGE = "V1a2a3c4b5b6b7o.hex"
VERSION = "0x01010000"
WANTED_CONFIG = "1a2a3c4b5b6b7o"
FACTORY = ("0x01000000", "1a2a3b4b5b6b7o")
HOSTS = ["c%02d" % i for i in range(1, 21)]
FIRST_BATCH = HOSTS[:2]
NO_PORT2 = "c17"
FAULTS = {("c05", 1): "erase-silent", ("c11", 2): "corrupt-readback=0xFFD8"}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


class Fleet:
    def __init__(self, build, work):
        self.build = os.path.abspath(build)
        self.work = work
        self.tool = os.path.join(self.build, "sim", "tarvo-sim")
        self.package = os.path.join(work, "tarvo_update-sim.tar.gz")
        self.report = os.path.join(work, "report")
        fleet = os.path.join(SRC, "scripts", "sim_fleet.sh")
        subprocess.run([fleet, "package", self.build, self.package], check=True)
        subprocess.run([fleet, "make", os.path.join(work, "fleet"), str(len(HOSTS)), self.build,
                        NO_PORT2], check=True)
        self.runs = 0

    def world(self, host):
        return os.path.join(self.work, "fleet", host)

    def show(self, host):
        out = subprocess.run([self.tool, "show", self.world(host)], check=True,
                             capture_output=True, text=True).stdout
        return {b["port"]: b for b in map(json.loads, out.splitlines())}

    def boards(self):
        return {h: self.show(h) for h in HOSTS}

    def sim(self, *args):
        subprocess.run([self.tool, *args], check=True)

    def rollout(self, image, version, serial):
        """Runs the playbook; returns its exit status, the report rows by
        (host, port), the CSV rows and the recap's counts by host."""
        self.runs += 1
        log = os.path.join(self.work, "run%d.log" % self.runs)
        cmd = ["ansible-playbook", "-i", os.path.join(self.work, "fleet", "inventory.yml"),
               "rollout.yml", "-e", "tarvo_image=" + image, "-e", "tarvo_image_version=" + version,
               "-e", "tarvo_package=" + self.package, "-e", "tarvo_report_dir=" + self.report,
               "-e", json.dumps({"tarvo_serial": serial, "tarvo_max_fail_percentage": 34,
                                 "tarvo_busy_retries": 2, "tarvo_busy_delay": 1})]
        env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_FORCE_COLOR="0")
        with open(log, "w") as f:
            status = subprocess.run(cmd, cwd=ANSIBLE_DIR, stdout=f, stderr=subprocess.STDOUT,
                                    env=env).returncode
        text = open(log).read()
        recap = {}
        for m in re.finditer(r"^(c\d\d)\s*:\s*ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+"
                             r"failed=(\d+)", text, re.M):
            recap[m.group(1)] = {"changed": int(m.group(3)), "failed": int(m.group(5))}
        with open(os.path.join(self.report, "fleet_report.json")) as f:
            rows = {(r["host"], r["port"]): r for r in json.load(f)}
        with open(os.path.join(self.report, "fleet_report.csv")) as f:
            csv_rows = list(csv.DictReader(f))
        return status, rows, csv_rows, recap, text


def runs_wanted(board):
    return board["mode"] == "running" and (board["version"], board["config_text"]) == (
        VERSION, WANTED_CONFIG)


def main():
    build = sys.argv[1]
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="tarvo-fleet-")
    try:
        fleet = Fleet(build, work)
        good = os.path.join(SRC, "fw", IMAGE)
        bad = os.path.join(work, "B1a2a3c4c5b6b7o.hex")
        shutil.copyfile(good, bad)

        # 1. Bad image: the first batch fails, later batches are never touched.
        status, rows, csv_rows, recap, log = fleet.rollout(bad, VERSION, [2, 6])
        check(status != 0, "run 1: the playbook reported success for a bad image")
        check(set(h for h, _ in rows) == set(FIRST_BATCH),
              "run 1: report covers %s, not only the first batch" % sorted(set(h for h, _ in rows)))
        for h in FIRST_BATCH:
            r = rows.get((h, 1), {})
            check(r.get("outcome") == "failed" and r.get("updater_status") == 6 and
                  r.get("reason", "").startswith("configuration does not match the file name"),
                  "run 1: %s port 1 row %s" % (h, r))
            check(rows.get((h, 2), {}).get("outcome") == "not-done",
                  "run 1: %s port 2 was touched after the host failed" % h)
            check(recap.get(h, {}).get("failed") == 1, "run 1: %s not counted as failed" % h)
        check(len(csv_rows) == len(rows), "run 1: CSV and JSON reports differ in rows")
        boards = fleet.boards()
        for h in HOSTS[2:]:
            check(all((b["version"], b["config_text"]) == FACTORY for b in boards[h].values()
                      if b["board"] == "tarvo"), "run 1: %s reached after the first batch" % h)

        # 2. The wanted image with faults on two boards.
        for (h, port), fault in FAULTS.items():
            fleet.sim("fault", fleet.world(h), str(port), fault)
        status, rows, csv_rows, recap, log = fleet.rollout(good, VERSION, [2, 9])
        check(status != 0, "run 2: the playbook hid the faulty boards' failures")
        check(len(rows) == 2 * len(HOSTS), "run 2: %d report rows, not one per port" % len(rows))
        check(rows.get(("c05", 1), {}).get("updater_status") == 4 and
              rows[("c05", 1)]["attempts"] == 2 and rows[("c05", 1)]["outcome"] == "failed",
              "run 2: c05 port 1 %s" % rows.get(("c05", 1)))
        check(rows.get(("c05", 2), {}).get("outcome") == "not-done",
              "run 2: c05 port 2 %s" % rows.get(("c05", 2)))
        check(rows.get(("c11", 1), {}).get("outcome") == "updated" and
              rows.get(("c11", 2), {}).get("outcome") == "failed",
              "run 2: c11 %s %s" % (rows.get(("c11", 1)), rows.get(("c11", 2))))
        check(rows.get((NO_PORT2, 2), {}).get("outcome") == "skipped",
              "run 2: %s port 2 %s" % (NO_PORT2, rows.get((NO_PORT2, 2))))
        # The first batch's port 1 already runs the image's content.
        for h in FIRST_BATCH:
            check(rows.get((h, 1), {}).get("outcome") == "current",
                  "run 2: %s port 1 %s" % (h, rows.get((h, 1))))
        for (h, port), r in rows.items():
            if h in ("c05", "c11") or (h, port) == (NO_PORT2, 2) or h in FIRST_BATCH and port == 1:
                continue
            check(r["outcome"] == "updated" and r["before_version"] == FACTORY[0] and
                  r["after_version"] == VERSION and r["after_config"] == WANTED_CONFIG and
                  r["duration_s"] not in ("", None), "run 2: %s port %d %s" % (h, port, r))
        check(sorted(h for h, c in recap.items() if c["failed"]) == ["c05", "c11"],
              "run 2: failed hosts %s" % recap)
        after_two = fleet.boards()

        # 3. Again, faults still there: only the faulty hosts do anything.
        status, rows, csv_rows, recap, log = fleet.rollout(good, VERSION, [len(HOSTS)])
        for h in HOSTS:
            if h in ("c05", "c11"):
                continue
            check(recap.get(h) == {"changed": 0, "failed": 0}, "run 3: %s %s" % (h, recap.get(h)))
            check(fleet.show(h) == after_two[h], "run 3: %s boards changed" % h)
            check(all(rows[(h, p)]["outcome"] in ("current", "skipped") for p in (1, 2)),
                  "run 3: %s rows %s %s" % (h, rows.get((h, 1)), rows.get((h, 2))))
        check(log.count("nothing to change") == len(HOSTS) - 2,
              "run 3: not every healthy host said it had nothing to change")

        # 4. Faults cleared: every board reaches the image.
        for (h, port) in FAULTS:
            fleet.sim("clear", fleet.world(h), str(port))
        status, rows, csv_rows, recap, log = fleet.rollout(good, VERSION, [len(HOSTS)])
        check(status == 0, "run 4: the playbook failed")
        for h, ports in fleet.boards().items():
            for port, b in ports.items():
                if (h, port) != (NO_PORT2, 2):
                    check(runs_wanted(b), "run 4: %s port %d %s" % (h, port, b))
        check(rows.get(("c05", 1), {}).get("before_status") == "no-answer",
              "run 4: c05 port 1 was not seen in its loader before: %s" % rows.get(("c05", 1)))

        # 5. Nothing left to do, and the run says so.
        status, rows, csv_rows, recap, log = fleet.rollout(good, VERSION, [len(HOSTS)])
        check(status == 0 and all(c == {"changed": 0, "failed": 0} for c in recap.values())
              and len(recap) == len(HOSTS), "run 5: not a no-op: %s" % recap)
        check(log.count("nothing to change") == len(HOSTS), "run 5: not every host said so")
    except Exception as e:  # a crash of the test itself is a failure too
        failures.append("%s: %s" % (type(e).__name__, e))

    seconds = time.monotonic() - started
    if failures:
        print("fleet test: FAIL (%.0f s, work directory kept: %s)" % (seconds, work))
        for f in failures:
            print("  " + f)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("fleet test: PASS (%d controllers, 5 rollouts, %.0f s)" % (len(HOSTS), seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
