#!/usr/bin/env python3
"""Fleet report of a rollout, on the control node, and the verdict on one
controller.

Usage: fleet_report.py DIR FRAGMENT

FRAGMENT is what the role learned on one controller, as base64 of JSON: host,
ports, image, version (the image's), before (the tarvo_info objects of its
ports before any update), updates (the output of the update command: per
port "tarvo-begin PORT", the updater's output, "tarvo-port PORT STATUS
ATTEMPTS START END", the tarvo_info object after) and error (why the role
stopped early, or "").  It is kept as DIR/hosts/HOST.json, and
DIR/fleet_report.json and DIR/fleet_report.csv are written anew from every
fragment in DIR/hosts, one row per controller and port.  Controllers finish
at the same time, so the whole step holds a lock on DIR/.lock.

Prints one line for the playbook: "failed: ..." when the controller's rollout
failed (the role then fails the host), else what changed.
"""
import base64
import csv
import fcntl
import html
import json
import os
import re
import sys

COLUMNS = [
    "host", "port", "image", "outcome",
    "before_status", "before_version", "before_config",
    "after_status", "after_version", "after_config",
    "updater_status", "attempts", "duration_s", "reason",
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


def parse_updates(text):
    """The update command's output: by port, (status, attempts, seconds,
    the updater's last line, the tarvo_info object after)."""
    result = {}
    for chunk in text.split("tarvo-begin ")[1:]:
        lines = [l.strip() for l in chunk.splitlines()]
        port = int(lines[0])
        mark = next((i for i, l in enumerate(lines) if l.startswith("tarvo-port ")), None)
        if mark is None:  # the command was cut off during this port
            result[port] = (None, 0, None, "no result", None)
            continue
        _, _, rc, attempts, t0, t1 = lines[mark].split()
        said = [l for l in lines[1:mark] if l]
        last = said[-1] if said else ""
        # The flashing line carries a progress letter per record, and the
        # configuration line a mark for the web page.
        last = re.sub(r"\.\.\. [wr]+", "... ", last)
        last = html.unescape(re.sub(r"<[^>]*>", "", last))
        after = next((json.loads(l) for l in lines[mark + 1:] if l.startswith("{")), None)
        result[port] = (int(rc), int(attempts), round(float(t1) - float(t0), 2), last, after)
    return result


def port_rows(fragment):
    """One report row per port of the controller."""
    before = {int(b["port"]): b for b in fragment.get("before", [])}
    updates = parse_updates(fragment.get("updates", ""))
    error = fragment.get("error", "")
    stopped = any(u[0] not in (0, 3) for u in updates.values())
    rows = []
    for port in (int(p) for p in fragment.get("ports", [])):
        b = before.get(port) or {}
        status = b.get("status", "")
        after, rc, attempts, seconds, reason = b, "", 0, 0.0, ""
        if port in updates:
            rc, attempts, seconds, last, got = updates[port]
            after = got or {}
            outcome = {0: "updated", 3: "skipped"}.get(rc, "failed")
            if outcome == "failed":
                reason = "%s: %s" % (REASONS.get(rc, "tarvo_update exited %s" % rc), last)
            elif outcome == "updated" and not runs_image(after, fragment):
                # Exit 0 is only believed when the board says so itself.
                outcome = "failed"
                reason = "tarvo_info after the update: %s" % (
                    "version %s, configuration %s" % (after.get("version"), after.get("config"))
                    if after.get("status") == "read" else after.get("status") or "no answer")
        elif error:
            outcome, reason = "not-done", error
        elif status == "no-board":
            outcome = "skipped"
        elif runs_image(b, fragment):
            outcome = "current"
        elif status in ("read", "no-answer") and stopped:
            outcome, reason = "not-done", "an earlier port failed"
        else:
            outcome = "failed"
            reason = "tarvo_info: %s" % (b.get("error") or status or "no answer from the program")
        rows.append({
            "host": fragment["host"], "port": port, "image": fragment.get("image", ""),
            "outcome": outcome,
            "before_status": status,
            "before_version": b.get("version") or "",
            "before_config": b.get("config") or "",
            "after_status": after.get("status", ""),
            "after_version": after.get("version") or "",
            "after_config": after.get("config") or "",
            "updater_status": rc if rc is not None else "",
            "attempts": attempts,
            "duration_s": seconds if seconds is not None else "",
            "reason": reason,
        })
    return rows


def runs_image(board, fragment):
    """Whether a tarvo_info object reports the image's version and configuration."""
    return board.get("status") == "read" and (board.get("version"), board.get("config")) == (
        fragment.get("version"), wanted_config(fragment.get("image", "")))


def wanted_config(image):
    """The configuration an image's name carries after its first letter."""
    return re.sub(r"\.hex$", "", image[1:])


def summary(fragment, rows):
    failed = [r for r in rows if r["outcome"] == "failed"]
    if failed:
        return "failed: " + "; ".join("PORT%d: %s" % (r["port"], r["reason"]) for r in failed)
    if fragment.get("error"):
        return "failed: " + fragment["error"]
    updated = ["PORT%d" % r["port"] for r in rows if r["outcome"] == "updated"]
    if updated:
        return "updated %s to %s" % (", ".join(updated), fragment.get("image", ""))
    return "nothing to change: every board runs %s (version %s) or has no TARVO" % (
        fragment.get("image", ""), fragment.get("version", ""))


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
        rows.sort(key=lambda r: (r["host"], r["port"]))
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
