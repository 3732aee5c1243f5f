#!/usr/bin/env python3
"""Fleet report of a rollout, on the control node.

Usage: fleet_report.py DIR FRAGMENT

FRAGMENT is one controller's result as base64 of JSON: host, ports, image,
version, query (the tarvo_info objects read first), rows (one per port the
rollout got to) and error (why the host failed, or "").  It is kept as DIR/hosts/HOST.json,
and DIR/fleet_report.json and DIR/fleet_report.csv are written anew from every
fragment in DIR/hosts, one row per controller and port.  Controllers finish
at the same time, so the whole step holds a lock on DIR/.lock.  Prints what
changed on the controller, for the playbook's output.
"""
import base64
import csv
import fcntl
import json
import os
import sys

COLUMNS = [
    "host", "port", "image", "outcome",
    "before_status", "before_version", "before_config",
    "after_status", "after_version", "after_config",
    "updater_status", "attempts", "duration_s", "reason",
]


def port_rows(fragment):
    """The report rows of one controller: the rollout's own rows, and a row
    for each port it did not get to (the host failed before)."""
    done = {int(r["port"]): r for r in fragment.get("rows", [])}
    query = {str(q.get("port")): q for q in fragment.get("query", [])}
    rows = []
    for port in fragment.get("ports", []):
        port = int(port)
        r = done.get(port)
        if r is None:
            before = query.get(str(port), {})
            r = {"port": port, "before": before, "after": before, "outcome": "not-done",
                 "updater_status": "", "attempts": 0, "duration": "",
                 "reason": fragment.get("error", "")}
        before, after = r.get("before") or {}, r.get("after") or {}
        rows.append({
            "host": fragment["host"], "port": port, "image": fragment.get("image", ""),
            "outcome": r["outcome"],
            "before_status": before.get("status", ""),
            "before_version": before.get("version") or "",
            "before_config": before.get("config") or "",
            "after_status": after.get("status", ""),
            "after_version": after.get("version") or "",
            "after_config": after.get("config") or "",
            "updater_status": r.get("updater_status", ""),
            "attempts": int(r.get("attempts") or 0),
            "duration_s": r.get("duration", ""),
            "reason": r.get("reason", ""),
        })
    if not rows and fragment.get("error"):
        rows.append({c: "" for c in COLUMNS} | {
            "host": fragment["host"], "outcome": "failed", "reason": fragment["error"]})
    return rows


def summary(fragment, rows):
    image = fragment.get("image", "")
    if fragment.get("error"):
        return "failed: " + fragment["error"]
    updated = ["PORT%s" % r["port"] for r in rows if r["outcome"] == "updated"]
    if updated:
        return "updated %s to %s" % (", ".join(updated), image)
    return "nothing to change: every board runs %s (version %s) or has no TARVO" % (
        image, fragment.get("version", ""))


def write_atomically(path, write):
    tmp = path + ".tmp"
    with open(tmp, "w", newline="") as f:
        write(f)
    os.replace(tmp, path)


def main():
    out = sys.argv[1]
    fragment = json.loads(base64.b64decode(sys.argv[2]))
    hosts = os.path.join(out, "hosts")
    os.makedirs(hosts, exist_ok=True)
    with open(os.path.join(out, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        write_atomically(os.path.join(hosts, fragment["host"] + ".json"),
                         lambda f: json.dump(fragment, f))
        rows = []
        for name in sorted(os.listdir(hosts)):
            if name.endswith(".json"):
                with open(os.path.join(hosts, name)) as f:
                    rows += port_rows(json.load(f))
        rows.sort(key=lambda r: (r["host"], r["port"] if r["port"] != "" else 0))
        write_atomically(os.path.join(out, "fleet_report.json"),
                         lambda f: json.dump(rows, f, indent=1))

        def write_csv(f):
            w = csv.DictWriter(f, fieldnames=COLUMNS)
            w.writeheader()
            w.writerows(rows)
        write_atomically(os.path.join(out, "fleet_report.csv"), write_csv)
    print(summary(fragment, port_rows(fragment)))


if __name__ == "__main__":
    main()
