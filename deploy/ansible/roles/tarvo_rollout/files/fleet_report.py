#!/usr/bin/env python3
"""Fleet report of a rollout, on the control node, written ahead of the work.

Usage: fleet_report.py start REPORT_DIR DATA
       fleet_report.py plan|port|end RUN_DIR DATA
       fleet_report.py finish RUN_DIR

DATA is base64 of a JSON object.  Each run has its own directory
REPORT_DIR/RUN_ID with run.json (the run's kind, start and end, the
playbook's arguments, the totals by outcome), hosts/HOST.json (what the role
learned on the controller) and fleet_report.json and fleet_report.csv, one
row per controller and port, rewritten from every hosts/*.json at each step.

  start   makes the run's directory with every host's rows "not-reached",
          points REPORT_DIR/latest (a real run) or latest-check (a dry run)
          at it, and prints its path.
  plan    takes a controller's probe: decides per port what to do and why,
          whether the package is installed and the image copied, marks the
          host in flight and prints the decision as JSON for the role.
  port    takes the output of one port's update and prints the port's
          verdict ("failed: ..." when the host must stop).
  end     takes why the role stopped early (or nothing), ends the host's
          rows and prints one line for the playbook, "failed: ..." when the
          controller's rollout failed (the role then fails the host).
  finish  stamps the run's end and totals and prints them.

Controllers finish at the same time, so every step holds a lock on
RUN_DIR/.lock.
"""
import base64
import csv
import datetime
import fcntl
import hashlib
import html
import json
import os
import re
import sys

COLUMNS = [
    "host", "port", "image", "outcome",
    "before_status", "before_version", "before_config", "pending",
    "after_status", "after_version", "after_config",
    "updater_status", "attempts", "duration_s", "package_step", "image_step", "reason",
]

# Why an update failed, by tarvo_update's exit status.
REASONS = {
    3: "no TARVO board",
    4: "a stage failed twice",
    5: "firmware file refused",
    6: "configuration does not match the file name",
    7: "another update kept running",
    9: "the update lock could not be taken",
}

INTERRUPTED = "the run ended while this port was in flight: the next run's tarvo_info shows how far it got"


def now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def number(text, default=None):
    try:
        return int(str(text), 0)
    except ValueError:
        return default


def wanted_config(image):
    """The configuration an image's name carries after its first letter."""
    return re.sub(r"\.hex$", "", image[1:])


def pending_text(p):
    if not p:
        return ""
    return "interrupted update of %s pending since %s (%s attempts)" % (
        p.get("image", "?"), p.get("since", "?"), p.get("attempts", "?"))


def decide(board, version, config, allow_downgrade):
    """What a port needs, from its tarvo_info object: (action, reason)."""
    b = board or {}
    status = b.get("status", "")
    running = "%s %s" % (b.get("version"), b.get("config"))
    if status == "no-board":
        return "skipped", "no TARVO board"
    if status == "read" and not allow_downgrade and \
            number(b.get("version"), 0) > number(version, 0):
        return "newer", "board runs %s, newer than the image's %s (tarvo_allow_downgrade is off)" % (
            b.get("version"), version)
    if b.get("pending"):
        return "update", pending_text(b["pending"])
    if status == "read":
        if (b.get("version"), b.get("config")) == (version, config):
            return "current", ""
        return "update", "board runs %s, not %s %s" % (running, version, config)
    if status == "no-answer":
        return "update", "the board's firmware did not answer: it needs an update"
    if status == "busy":
        return "failed", "another update kept running (pid %s)" % b.get("update_pid", "?")
    if not b:
        return "failed", "tarvo_info: no answer from the program"
    return "failed", "tarvo_info: %s" % (b.get("error") or status)


def parse_probe(text):
    """The probe's lines: package version, install state, image checksum,
    the tarvo_info objects by port."""
    got = {"package": "", "install": "", "image": "", "boards": {}}
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("{\"port\":"):
            try:
                b = json.loads(line)
                got["boards"][str(b.get("port"))] = b
            except ValueError:
                pass
            continue
        key, _, value = line.partition(" ")
        if key in ("package", "install", "image") and not got[key]:
            got[key] = value.strip().split(" ")[0] if key == "image" else value.strip()
    return got


def parse_update(text):
    """One port's update output: (status, attempts, seconds, the updater's
    last line, the tarvo_info object after); status None when cut off."""
    lines = [l.strip() for l in text.splitlines()]
    mark = next((i for i, l in enumerate(lines) if l.startswith("tarvo-port ")), None)
    said = [l for l in lines[:mark] if l and not l.startswith("tarvo-")]
    last = said[-1] if said else ""
    # The flashing line carries a progress letter per record, and the
    # configuration line a mark for the web page.
    last = re.sub(r"\.\.\. [wr]+", "... ", last)
    last = html.unescape(re.sub(r"<[^>]*>", "", last))
    if mark is None:
        return None, 0, None, last or "no result from the controller", None
    f = lines[mark].split()
    after = None
    for l in lines[mark + 1:]:
        if l.startswith("{"):
            try:
                after = json.loads(l)
            except ValueError:
                pass
    try:
        seconds = round(float(f[5]) - float(f[4]), 2)
    except (IndexError, ValueError):
        seconds = None
    return number(f[2] if len(f) > 2 else ""), number(f[3] if len(f) > 3 else "", 0), \
        seconds, last, after


def port_result(frag, port):
    """(outcome, reason, parsed update) of a port that was updated."""
    rc, attempts, seconds, last, after = parse_update(frag["updates"][port])
    if rc is None:
        return "failed", "no result from the update: %s" % last, (rc, attempts, seconds, after)
    if rc == 3:
        return "skipped", "", (rc, attempts, seconds, after)
    if rc != 0:
        return "failed", "%s: %s" % (REASONS.get(rc, "tarvo_update exited %s" % rc), last), \
            (rc, attempts, seconds, after)
    a = after or {}
    want = (frag.get("version"), wanted_config(frag.get("image", "")))
    if (a.get("version"), a.get("config")) != want:
        return "failed", "after the update the board reports %s %s, not %s %s" % (
            a.get("version"), a.get("config"), want[0], want[1]), (rc, attempts, seconds, after)
    return "updated", "", (rc, attempts, seconds, after)


def port_rows(frag):
    """One report row per port of the controller."""
    state = frag.get("state", "not-reached")
    dry = frag.get("kind") == "check"
    plan = frag.get("plan", {})
    updates = frag.get("updates", {})
    error = frag.get("error", "")
    rows = []
    for port in frag.get("ports", []):
        key = str(port)
        b = frag.get("before", {}).get(key) or {}
        after, rc, attempts, seconds, reason = b, "", 0, "", ""
        action, why = plan.get(key, ("", ""))
        if state == "not-reached":
            outcome, reason = "not-reached", "the rollout stopped before this controller"
        elif frag.get("unreachable"):
            outcome, reason = "unreachable", error
        elif key in updates:
            outcome, reason, (rc, attempts, seconds, got) = port_result(frag, key)
            after = got or {}
        elif not plan:
            outcome, reason = ("failed", error) if error else ("interrupted", INTERRUPTED)
        elif action == "update" and not dry:
            if state == "in-flight":
                outcome, reason = "interrupted", INTERRUPTED
            else:
                outcome = "not-done"
                reason = "an earlier port failed" if updates else (
                    error or "not updated in this run (tags)")
        else:
            outcome, reason = action, why
        rows.append({
            "host": frag["host"], "port": port, "image": frag.get("image", ""),
            "outcome": outcome,
            "before_status": b.get("status", ""),
            "before_version": b.get("version") or "",
            "before_config": b.get("config") or "",
            "pending": pending_text(b.get("pending")),
            "after_status": after.get("status", ""),
            "after_version": after.get("version") or "",
            "after_config": after.get("config") or "",
            "updater_status": rc if rc is not None else "",
            "attempts": attempts,
            "duration_s": seconds if seconds is not None else "",
            "package_step": frag.get("package_step", ""),
            "image_step": frag.get("image_step", ""),
            "reason": reason,
        })
    return rows


def summary(frag, rows):
    if frag.get("unreachable"):
        return "failed: unreachable: " + frag.get("error", "")
    failed = [r for r in rows if r["outcome"] == "failed"]
    if failed:
        return "failed: " + "; ".join("PORT%s: %s" % (r["port"], r["reason"]) for r in failed)
    if frag.get("error"):
        return "failed: " + frag["error"]
    if frag.get("kind") == "check":
        steps = [s for s in (frag.get("package_step"), frag.get("image_step"))
                 if s and s.split(" ")[0] in ("install", "copy")]
        return "plan: " + "; ".join(steps + ["PORT%s %s%s" % (
            r["port"], r["outcome"], " (%s)" % r["reason"] if r["reason"] else "") for r in rows])
    updated = ["PORT%s" % r["port"] for r in rows if r["outcome"] == "updated"]
    newer = ["PORT%s (%s)" % (r["port"], r["before_version"]) for r in rows
             if r["outcome"] == "newer"]
    said = []
    if updated:
        said.append("updated %s to %s" % (", ".join(updated), frag.get("image", "")))
    if newer:
        said.append("left %s alone: newer than the image's %s" % (
            ", ".join(newer), frag.get("version", "")))
    if said:
        return "; ".join(said)
    return "nothing to change: every board runs %s (version %s) or has no TARVO" % (
        frag.get("image", ""), frag.get("version", ""))


def write_atomically(path, write):
    tmp = path + ".tmp"
    with open(tmp, "w", newline="") as f:
        write(f)
    os.replace(tmp, path)


def write_json(path, data, indent=None):
    write_atomically(path, lambda f: json.dump(data, f, indent=indent))


def read_json(path):
    with open(path) as f:
        return json.load(f)


def sort_key(row):
    return row["host"], number(row["port"], 1 << 30), str(row["port"])


def write_report(run):
    """fleet_report.json and .csv anew from every host, and the totals so far."""
    hosts = os.path.join(run, "hosts")
    rows = []
    for name in sorted(os.listdir(hosts)):
        if name.endswith(".json"):
            rows += port_rows(read_json(os.path.join(hosts, name)))
    rows.sort(key=sort_key)
    write_json(os.path.join(run, "fleet_report.json"), rows, indent=1)

    def write_csv(f):
        w = csv.DictWriter(f, fieldnames=COLUMNS)
        w.writeheader()
        w.writerows(rows)
    write_atomically(os.path.join(run, "fleet_report.csv"), write_csv)
    totals = {}
    for r in rows:
        totals[r["outcome"]] = totals.get(r["outcome"], 0) + 1
    meta = read_json(os.path.join(run, "run.json"))
    meta["totals"] = dict(sorted(totals.items()))
    write_json(os.path.join(run, "run.json"), meta, indent=1)
    return meta


class Locked:
    def __init__(self, run):
        self.path = os.path.join(run, ".lock")

    def __enter__(self):
        self.f = open(self.path, "w")
        fcntl.flock(self.f, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        self.f.close()


def switch_link(report_dir, name, target):
    """REPORT_DIR/NAME -> TARGET, replaced in one rename."""
    tmp = os.path.join(report_dir, ".%s.%d" % (name, os.getpid()))
    if os.path.lexists(tmp):
        os.remove(tmp)
    os.symlink(target, tmp)
    os.replace(tmp, os.path.join(report_dir, name))


def start(report_dir, data):
    run = os.path.join(report_dir, data["id"])
    os.makedirs(os.path.join(run, "hosts"))  # a run id is never reused
    kind = "check" if data.get("check") else "run"
    arguments = data.get("arguments", [])
    if isinstance(arguments, str):
        try:
            arguments = json.loads(arguments)
        except ValueError:
            pass
    write_json(os.path.join(run, "run.json"), {
        "id": data["id"], "kind": kind, "start": now(), "end": None,
        "arguments": arguments, "hosts": len(data["hosts"]),
        "image": data.get("image", ""), "version": data.get("version", ""), "totals": {},
    }, indent=1)
    for h in data["hosts"]:
        write_json(os.path.join(run, "hosts", h["host"] + ".json"), {
            "host": h["host"], "ports": list(h.get("ports") or []), "kind": kind,
            "state": "not-reached", "image": data.get("image", ""),
            "version": data.get("version", "")})
    with Locked(run):
        write_report(run)
    switch_link(report_dir, "latest-check" if kind == "check" else "latest", data["id"])
    print(run)


def update_host(run, host, change):
    path = os.path.join(run, "hosts", host + ".json")
    with Locked(run):
        frag = read_json(path) if os.path.exists(path) else {"host": host}
        change(frag)
        write_json(path, frag)
        write_report(run)
    return frag


def file_md5(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            h.update(block)
    return h.hexdigest()


def plan(run, data):
    probe = parse_probe(data.get("probe", ""))
    image = os.path.basename(data["image_path"])
    config = wanted_config(image)
    decision = {"package": False, "image": False, "todo": []}

    def change(frag):
        kind = frag.get("kind", "run")
        frag.update(host=data["host"], ports=data["ports"], image=image,
                    version=data["version"], state="in-flight", error="")
        frag["before"] = probe["boards"]
        frag["plan"] = {}
        for port in data["ports"]:
            action, why = decide(probe["boards"].get(str(port)), data["version"], config,
                                 data.get("allow_downgrade", False))
            frag["plan"][str(port)] = (action, why)
            if action == "update":
                decision["todo"].append(port)
        want = data.get("package_version", "")
        if want:
            have = probe["package"]
            if have != want:
                why = "install %s (the controller has %s)" % (want, have or "none")
            elif probe["install"] == "staging-left":
                why = "install %s again: an earlier install was cut short" % want
            elif probe["install"] != "ok":
                why = "install %s again: the programs do not match their VERSION" % want
            else:
                why = ""
            decision["package"] = bool(why)
            if why or not frag.get("package_step"):
                frag["package_step"] = why or "current"
        if probe["image"] != file_md5(data["image_path"]):
            decision["image"] = True
            frag["image_step"] = "copy %s" % image
        elif not frag.get("image_step", "").startswith("copied"):
            frag["image_step"] = "present"
        mark_steps(frag, data)
        decision["say"] = summary(frag, port_rows(dict(frag, state="done"))) \
            if kind == "check" else "; ".join(
                ["%s" % s for s in (frag.get("package_step"), frag.get("image_step"))
                 if s and s not in ("current", "present")] +
                ["PORT%s %s%s" % (p, a, " (%s)" % w if w else "")
                 for p, (a, w) in sorted(frag["plan"].items())])
    update_host(run, data["host"], change)
    print(json.dumps(decision))


def mark_steps(frag, data):
    """The package and image steps that the role has done on the host."""
    step = frag.get("package_step", "")
    if data.get("installed") and step.startswith("install "):
        frag["package_step"] = "installed " + step.split(" ")[1]
    if data.get("copied") and frag.get("image_step", "").startswith("copy "):
        frag["image_step"] = "copied"


def port(run, data):
    key = str(data["port"])

    def change(frag):
        frag.setdefault("updates", {})[key] = data["output"]
        mark_steps(frag, data)
    frag = update_host(run, data["host"], change)
    outcome, reason, (rc, attempts, seconds, after) = port_result(frag, key)
    if outcome == "failed":
        print("failed: PORT%s: %s" % (key, reason))
    else:
        print("PORT%s %s%s" % (key, outcome, " in %s s (%s attempts)" % (seconds, attempts)
                               if outcome == "updated" else ""))


def failure_text(failed):
    """A failed step's reason with the last lines the controller printed."""
    if not failed:
        return ""
    result = failed.get("result") or {}
    items = [r for r in result.get("results", []) if isinstance(r, dict) and r.get("failed")]
    if items:
        result = dict(items[-1], msg=items[-1].get("msg") or result.get("msg"))
    said = [l.strip() for l in ("%s\n%s" % (result.get("stdout") or "",
                                            result.get("stderr") or "")).splitlines()
            if l.strip() and not l.startswith("Shared connection to ")]
    text = "%s: %s" % (failed.get("task") or "the rollout", result.get("msg") or "failed")
    if said:
        text += ": " + " | ".join(said[-5:])
    return text


def end(run, data):
    def change(frag):
        if frag.get("state") in (None, "not-reached"):  # failed before the probe
            frag.update(ports=data.get("ports") or frag.get("ports", []), plan={})
        frag["state"] = "done"
        frag["unreachable"] = bool(data.get("unreachable"))
        frag["error"] = data.get("unreachable_msg") or failure_text(data.get("failed"))
        mark_steps(frag, data)
    frag = update_host(run, data["host"], change)
    print(summary(frag, port_rows(frag)))


def finish(run):
    with Locked(run):
        meta = read_json(os.path.join(run, "run.json"))
        meta["end"] = now()
        write_json(os.path.join(run, "run.json"), meta, indent=1)
        meta = write_report(run)
    totals = ", ".join("%d %s" % (n, o) for o, n in meta["totals"].items())
    print("%s %s: %s ports of %d controllers: %s" % (
        "dry run" if meta["kind"] == "check" else "rollout", meta["id"],
        sum(meta["totals"].values()), meta["hosts"], totals or "none"))
    print("report: %s" % os.path.join(run, "fleet_report.csv"))


def main():
    step = sys.argv[1]
    if step == "finish":
        return finish(sys.argv[2])
    data = json.loads(base64.b64decode(sys.argv[3]))
    try:
        {"start": start, "plan": plan, "port": port, "end": end}[step](sys.argv[2], data)
    except BrokenPipeError:  # the playbook was stopped: what was written stays
        pass


if __name__ == "__main__":
    main()
