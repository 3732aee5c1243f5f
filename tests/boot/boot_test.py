#!/usr/bin/env python3
"""A controller's boot after interrupted updates, for real, and the systemd
unit checked.  Needs root (chroot, namespaces, mknod, mount).

Usage: tests/boot/boot_test.py BUILD_DIR

The controller is a busybox-only tree (the fleet test's, tests/fleet/
ssh_fleet.py) with the simulated package unpacked at its root as on a
controller (scripts/sim_fleet.sh package) and the package's S45tarvo_recover
copied to /etc/init.d.  Port 1's update is killed right after the erase;
port 2's board loses power part-way through the writing; /var/tarvo_update is
gone, as after a restart where /var is in RAM.  Then the controller boots:
busybox init as PID 1 of a PID and mount namespace of its own, chrooted into
the tree, runs /etc/init.d/rcS, which starts every /etc/init.d/S??* in name
order.  The stand-in web server S50 writes down what a page would find (each
board as tarvo_info reads it, the records left, the private directories'
owner, group and mode) and powers off.  The settings directory belongs to the
web server's user and group, and the records' directory has an older
installation's mode 1777.  The page must find both boards running their new
images, no record, and both private directories root's and the settings
directory's group's with mode 2770; the boot must end by itself within its
bound.

The systemd unit: `systemd-analyze verify` on it as the package installs it,
and its limits against the slowest update (a full image on a kernel with a
100 Hz tick whose clock advances in ticks too, so that every wait sleeps whole
ticks; simulated): the start limit must let two ports run, the stop limit one.

Prints "boot test: PASS (N s)" or "boot test: FAIL" with what went wrong, and
exits 0 or 1.
"""
import json
import re
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SRC, "tests", "fleet"))
import ssh_fleet  # noqa: E402

# The image each port is updated to (the boards start with another).
IMAGES = {1: ("V1a2a3c4b5b6b7o.hex", "0x01010000", "1a2a3c4b5b6b7o"),
          2: ("V1a2a3c4c5b6b7o.hex", "0x01020000", "1a2a3c4c5b6b7o")}
BOOT_BOUND_S = 120
RUN_BOUND_S = 60  # one simulated update
WEB_ID = 65534  # the web server's user and group
SIM_ENV = {"TARVO_SIM_ROOT": "/", "TARVO_SIM_SPEED": "0", "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}

RCS = """#!/bin/sh
# Every boot script in name order, as a controller's rcS does.
mount -t proc proc /proc
for script in /etc/init.d/S??*; do
    [ -x "$script" ] && "$script" start
done
"""

# The stand-in web server: what its first page would find, then the end of
# the boot.
WEB = r"""#!/bin/sh
[ "$1" = start ] || exit 0
{
    for port in 1 2; do /opt/tarvo_update/bin/tarvo_info $port json; done
    echo "records: $(ls -A /opt/tarvo_update/state | tr "\n" " ")"
    echo "dirs: $(stat -c %u:%g:%a /var/tarvo_update /opt/tarvo_update/state | tr "\n" " ")"
} > /web-saw 2>&1
poweroff
"""

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


class Controller:
    def __init__(self, build, work):
        self.build, self.work = build, work
        self.tool = os.path.join(build, "sim", "tarvo-sim")
        self.root = os.path.join(work, "controller")
        self.package = os.path.join(work, "tarvo_update-sim.tar.gz")
        subprocess.run([os.path.join(SRC, "scripts", "sim_fleet.sh"), "package", build,
                        self.package], check=True)
        subprocess.run([self.tool, "init", self.root], check=True, stdout=subprocess.DEVNULL)
        ssh_fleet.BusyboxTree(build).lay_out(self.root)
        subprocess.run(["tar", "-xzf", self.package, "-C", self.root, "--no-same-owner"],
                       check=True)
        init_d = os.path.join(self.root, "etc", "init.d")
        os.makedirs(init_d, exist_ok=True)
        shutil.copy(os.path.join(self.root, "opt/tarvo_update/boot/S45tarvo_recover"), init_d)
        ssh_fleet.write(os.path.join(init_d, "rcS"), RCS, 0o755)
        ssh_fleet.write(os.path.join(init_d, "S50web"), WEB, 0o755)
        ssh_fleet.write(os.path.join(self.root, "etc/inittab"), "::sysinit:/etc/init.d/rcS\n")

    def path(self, rel):
        return os.path.join(self.root, rel)

    def run(self, *command, env=None, **kw):
        """A program of the controller, in its root."""
        return subprocess.run(["chroot", self.root, *command], env=dict(SIM_ENV, **(env or {})),
                              capture_output=True, text=True, timeout=RUN_BOUND_S, **kw)

    def sim(self, *args):
        subprocess.run([self.tool, args[0], self.root, *args[1:]], check=True,
                       stdout=subprocess.DEVNULL)

    def boards(self):
        out = subprocess.run([self.tool, "show", self.root], check=True, capture_output=True,
                             text=True).stdout
        return {b["port"]: b for b in map(json.loads, out.splitlines())}

    def boot(self):
        """busybox init as PID 1 of new namespaces, in the root; its exit
        status, or None when it had to be killed at the bound."""
        proc = subprocess.Popen(
            ["unshare", "--pid", "--mount", "--fork", "--kill-child", "--propagation", "private",
             "chroot", self.root, "/bin/init"],
            env=SIM_ENV, stdin=subprocess.DEVNULL,
            stdout=open(os.path.join(self.work, "console.log"), "w"),
            stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return proc.wait(timeout=BOOT_BOUND_S)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)  # init and every process of its namespace
            proc.wait()
            return None


def interrupt(c):
    """Leaves an unfinished update on each port: port 1 killed right after the
    erase, port 2's board without power part-way through the writing."""
    image = IMAGES[1][0]
    r = c.run("/opt/tarvo_update/bin/tarvo_update", "1", image,
              env={"TARVO_SIM_KILL": "log:Device erased at"})
    check(r.returncode == -signal.SIGKILL, "port 1's update was not killed: %d %s"
          % (r.returncode, r.stdout[-300:]))
    c.sim("fault", "2", "power-cut-after=400")
    r = c.run("/opt/tarvo_update/bin/tarvo_update", "2", IMAGES[2][0])
    check(r.returncode == 4,
          "port 2's update did not fail: %d %s" % (r.returncode, r.stdout[-300:]))
    c.sim("clear", "2")
    c.sim("reboot")
    shutil.rmtree(c.path("var/tarvo_update"))
    # The web server's user and group own the settings; an older installation
    # left the records' directory open to all.
    os.chown(c.path("opt/tarvo_update/etc"), WEB_ID, WEB_ID)
    os.chmod(c.path("opt/tarvo_update/state"), 0o1777)
    boards = c.boards()
    check(all(boards[p]["mode"] != "running" for p in (1, 2)),
          "the interrupted boards run: %s" % boards)
    # The records of the updates in progress, beside the update history.
    records = sorted(n for n in os.listdir(c.path("opt/tarvo_update/state")) if n != "history")
    check(records == ["PORT1", "PORT2"], "records before the boot: %s" % records)


def check_boot(c, status):
    if not check(status is not None, "the boot did not end within %d s" % BOOT_BOUND_S):
        return
    try:
        saw = open(c.path("web-saw")).read().splitlines()
    except OSError:
        check(False, "the web stand-in never ran (init exit %s)" % status)
        return
    found = {}
    for line in saw:
        if line.startswith("{"):
            b = json.loads(line)
            found[b["port"]] = b
    for port, (image, version, config) in IMAGES.items():
        b = found.get(port, {})
        check(b.get("status") == "read" and (b.get("version"), b.get("config")) == (version, config)
              and b.get("pending") is None,
              "the web stand-in found port %d %s, wanted %s" % (port, b, image))
    want = "dirs: 0:%d:2770 0:%d:2770 " % (WEB_ID, WEB_ID)
    check(any(l.startswith("records: ") and "PORT" not in l for l in saw) and want in saw,
          "the web stand-in found %s, wanted %s" % (saw, want))
    # The history tells who finished each port: the boot's recovery.
    try:
        history = [json.loads(l) for l in open(c.path("opt/tarvo_update/state/history"))]
    except (OSError, ValueError) as e:
        history = []
        check(False, "no update history: %s" % e)
    for port in IMAGES:
        check(any(r["port"] == port and r["status"] == 0 and r["by"] == "boot recovery"
                  for r in history),
              "no record of port %d's recovery: %s" % (port, history))
    boards = c.boards()
    for port, (image, version, config) in IMAGES.items():
        b = boards[port]
        check(b["mode"] == "running" and (b["version"], b["config_text"]) == (version, config),
              "after the boot port %d: %s" % (port, b))
    log = open(c.path("var/log/messages")).read()
    for port, (image, _, _) in IMAGES.items():
        check("PORT%d: the update of %s finished" % (port, image) in log,
              "the log does not say that port %d's update finished" % port)


def verify_unit(c):
    """systemd-analyze verify on the unit, with the package's tree at its
    place (it checks the programs the unit starts)."""
    script = ('mount -t tmpfs tmpfs /opt && mkdir /opt/tarvo_update && '
              'mount --bind "$1" /opt/tarvo_update && '
              'exec systemd-analyze verify /opt/tarvo_update/boot/tarvo-recover.service')
    r = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script,
                        "sh", c.path("opt/tarvo_update")], capture_output=True, text=True,
                       timeout=60)
    check(r.returncode == 0 and not r.stdout.strip() and not r.stderr.strip(),
          "systemd-analyze verify: status %d: %s%s" % (r.returncode, r.stdout, r.stderr))


def full_image(sample, out):
    """SAMPLE with every byte of main flash and information memory that it
    leaves out written too: the largest image an update can have."""
    used, records, end = set(), [], []
    for line in open(sample):
        line = line.strip()
        if line.startswith(":"):
            n, addr, kind = int(line[1:3], 16), int(line[3:7], 16), int(line[7:9], 16)
            used.update(range(addr, addr + n) if kind == 0 else ())
            (end if kind == 1 else records).append(line)
    for lo, hi in ((0x1000, 0x1100), (0xC000, 0x10000)):
        free = [a for a in range(lo, hi) if a not in used]
        while free:
            run = [free.pop(0)]
            while free and free[0] == run[-1] + 1 and len(run) < 16:
                run.append(free.pop(0))
            b = [len(run), run[0] >> 8, run[0] & 0xFF, 0] + [0x3F] * len(run)
            records.append(":" + "".join("%02X" % x for x in b + [-sum(b) & 0xFF]))
    with open(out, "w") as f:
        f.write("\n".join(records + end) + "\n")


def check_unit_limits(c, work):
    """The unit's start limit lets two of the slowest updates run (a full
    image on a kernel with a 100 Hz tick and a clock in ticks, the slowest
    flash), and its stop limit one, in simulated time."""
    world = os.path.join(work, "slowest")
    subprocess.run([c.tool, "init", world], check=True, stdout=subprocess.DEVNULL)
    for setting in ("kernel-hz=100", "clock-step-us=10000", "1 flash-byte-us=136.186",
                    "1 erase-cycle-us=20610.894"):
        subprocess.run([c.tool, "set", world, *setting.split()], check=True)
    image = IMAGES[1][0]
    full_image(os.path.join(SRC, "fw", image), os.path.join(world, "opt/tarvo_update/fw", image))
    r = subprocess.run([os.path.join(c.build, "sim", "tarvo_update"), "1", image],
                       env=dict(SIM_ENV, TARVO_SIM_ROOT=world), capture_output=True, text=True,
                       timeout=RUN_BOUND_S)
    log = open(os.path.join(world, "var/log/messages")).read()
    m = re.search(r"All done in (\d+)s ([\d.]+)us", log)
    if not check(r.returncode == 0 and m, "the slowest update failed: %d" % r.returncode):
        return
    update_us = int(m.group(1)) * 1e6 + float(m.group(2))
    unit = open(c.path("opt/tarvo_update/boot/tarvo-recover.service")).read()
    for key, updates in (("TimeoutStartSec", 2), ("TimeoutStopSec", 1)):
        value = re.search(r"^%s=(.*)$" % key, unit, re.M)
        span = subprocess.run(["systemd-analyze", "timespan", value.group(1) if value else "90s"],
                              capture_output=True, text=True).stdout
        limit = re.search(r"^\s*\S*s: (\d+)$", span, re.M)
        check(limit and int(limit.group(1)) > updates * update_us,
              "%s: %s, shorter than %d updates of %.0f s" % (key, value and value.group(1),
                                                              updates, update_us / 1e6))
    return update_us / 1e6


def main():
    build = os.path.abspath(sys.argv[1])
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="tarvo-boot-")
    try:
        c = Controller(build, work)
        interrupt(c)
        booted = time.monotonic()
        status = c.boot()
        boot_s = time.monotonic() - booted
        check_boot(c, status)
        verify_unit(c)
        slowest_s = check_unit_limits(c, work)
    finally:
        if failures:
            console = os.path.join(work, "console.log")
            if os.path.exists(console):
                sys.stdout.write(open(console).read()[-3000:])
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("boot test: FAIL")
        for f in failures:
            print("  " + f)
        return 1
    print("boot test: PASS (boot %.1f s; slowest update %.0f s simulated; whole test %.1f s)"
          % (boot_s, slowest_s, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
