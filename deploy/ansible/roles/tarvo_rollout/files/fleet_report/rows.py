"""A controller's record in the report and the rows made from it, one per
port: the outcome vocabulary, the states of the host and of its steps, the
sentences for the playbook, and cells as a spreadsheet and a terminal show
them."""
import re

COLUMNS = [
    "host", "port", "image", "outcome",
    "before_status", "before_version", "before_config", "pending",
    "after_status", "after_version", "after_config",
    "updater_status", "attempts", "duration_s", "package_step", "image_step", "signer", "reason",
]

# Where a controller's rollout is.
NOT_REACHED = "not-reached"  # the rollout has not come to it (yet)
IN_FLIGHT = "in-flight"      # its work goes on: rows read "interrupted" if the run ends so
DONE = "done"                # its rollout ended, each port with its outcome


class Step:
    """States of the package, keys, image and signature steps.  A step holds
    its state and the words for each state it can be in."""
    NONE = "none"        # not managed, or nothing to do with it
    CURRENT = "current"  # the controller has it as it must be
    TODO = "todo"        # planned (a dry run stops here)
    DONE = "done"        # done in this run
    FAILED = "failed"    # tried in this run and failed


def step(state, todo="", done="", current=""):
    return {"state": state, "todo": todo, "done": done, "current": current}


def step_text(s):
    """The words of a step in its state ("" for none); a failed step keeps
    what was to be done."""
    if not isinstance(s, dict):
        return ""
    state = s.get("state")
    if state == Step.FAILED:
        state = Step.TODO
    return s.get(state, "") if state in (Step.TODO, Step.DONE, Step.CURRENT) else ""


def steps_todo(record):
    """The steps that a run still has to do, in their order."""
    steps = record.get("steps", {})
    return [step_text(steps.get(n)) for n in ("package", "keys", "image", "signature")
            if isinstance(steps.get(n), dict) and steps[n].get("state") == Step.TODO]


INTERRUPTED = "the run ended while this port was in flight: the next run's tarvo_info shows how far it got"
NOT_REACHED_WHY = "the rollout stopped before this controller"
LOST = "the controller went away while PORT%s was being flashed"


def pending_text(p):
    if not p:
        return ""
    return "interrupted update of %s pending since %s (%s attempts)" % (
        p.get("image", "?"), p.get("since", "?"), p.get("attempts", "?"))


def new_record(host, ports, kind, image, version, signer=""):
    return {"host": host, "ports": list(ports or []), "kind": kind, "image": image,
            "version": version, "signer": signer, "state": NOT_REACHED, "unreachable": False,
            "lost_port": None, "error": "", "steps": {}, "before": {}, "plan": {},
            "results": {}}


def port_rows(record):
    """One report row per port of the controller."""
    state = record.get("state", NOT_REACHED)
    dry = record.get("kind") == "check"
    plan = record.get("plan") or {}
    results = record.get("results") or {}
    error = record.get("error", "")
    steps = record.get("steps") or {}
    rows = []
    for port in record.get("ports", []):
        key = str(port)
        b = (record.get("before") or {}).get(key) or {}
        after, rc, attempts, seconds = b, "", 0, ""
        action, why = (plan.get(key) or ("", ""))[:2]
        if state == NOT_REACHED:
            outcome, reason = "not-reached", NOT_REACHED_WHY
        elif key in results:
            r = results[key]
            outcome, reason = r["outcome"], r["reason"]
            rc = r.get("status") if r.get("status") is not None else ""
            attempts = r.get("attempts", 0)
            seconds = r.get("seconds") if r.get("seconds") is not None else ""
            after = r.get("after") or {}
        elif str(record.get("lost_port")) == key:
            outcome, reason = "unknown", LOST % key
        elif record.get("unreachable"):
            outcome, reason = "unreachable", error
        elif not plan:
            outcome, reason = ("failed", error) if error else ("interrupted", INTERRUPTED)
        elif action == "update" and not dry:
            if state == IN_FLIGHT:
                outcome, reason = "interrupted", INTERRUPTED
            else:
                failed = [r for r in results.values() if r["outcome"] in ("failed", "refused")]
                outcome = "not-done"
                reason = "an earlier port failed" if failed else (
                    error or "not updated in this run (tags)")
        else:
            outcome, reason = action, why
        rows.append({
            "host": record["host"], "port": port, "image": record.get("image", ""),
            "outcome": outcome,
            "before_status": b.get("status", ""),
            "before_version": b.get("version") or "",
            "before_config": b.get("config") or "",
            "pending": pending_text(b.get("pending")),
            "after_status": after.get("status", ""),
            "after_version": after.get("version") or "",
            "after_config": after.get("config") or "",
            "updater_status": rc,
            "attempts": attempts,
            "duration_s": seconds,
            "package_step": step_text(steps.get("package")),
            "image_step": step_text(steps.get("image")),
            "signer": record.get("signer", ""),
            "reason": reason,
        })
    return rows


def unreadable_rows(host, ports, error):
    """The rows of a controller whose saved record the report cannot read:
    failed, with the reason, so that the other controllers' rows stand."""
    reason = "the report cannot read what this controller answered: %s: %s" % (
        type(error).__name__, str(error)[:200])
    ports = ports if isinstance(ports, list) and ports else [""]
    return [dict({c: "" for c in COLUMNS}, host=host, port=p if type(p) is int else "",
                 outcome="failed", attempts=0, reason=reason) for p in ports]


def summary(record, rows):
    """The controller's rollout in one line for the playbook; "failed: ..."
    when it failed."""
    lost = [r for r in rows if r["outcome"] == "unknown"]
    if record.get("unreachable"):
        return "failed: unreachable: " + "; ".join(
            ["PORT%s unknown: %s" % (r["port"], r["reason"]) for r in lost] +
            [record.get("error", "")])
    failed = [r for r in rows if r["outcome"] in ("failed", "refused")]
    if failed:
        return "failed: " + "; ".join("PORT%s: %s%s" % (
            r["port"], "refused: " if r["outcome"] == "refused" else "", r["reason"])
            for r in failed)
    if record.get("error"):
        return "failed: " + record["error"]
    if record.get("kind") == "check":
        return "plan: " + "; ".join(steps_todo(record) + ["PORT%s %s%s" % (
            r["port"], r["outcome"], " (%s)" % r["reason"] if r["reason"] else "") for r in rows])
    updated = ["PORT%s" % r["port"] for r in rows if r["outcome"] == "updated"]
    newer = ["PORT%s (%s)" % (r["port"], r["before_version"]) for r in rows
             if r["outcome"] == "newer"]
    said = []
    if updated:
        said.append("updated %s to %s" % (", ".join(updated), record.get("image", "")))
    if newer:
        said.append("left %s alone: newer than the image's %s" % (
            ", ".join(newer), record.get("version", "")))
    if said:
        return "; ".join(said)
    return "nothing to change: every board runs %s (version %s) or has no TARVO" % (
        record.get("image", ""), record.get("version", ""))


# Control characters (C0, DEL, C1) as a terminal or spreadsheet would act
# on them: shown as escapes instead.
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")
NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def visible(value):
    """Text with its control characters as visible escapes (\\n, \\x1b)."""
    if not isinstance(value, str):
        return value
    return CONTROL.sub(lambda m: NAMED.get(m.group(), "\\x%02x" % ord(m.group())), value)


# A spreadsheet takes a cell that starts with one of these for a formula.
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def csv_cell(value):
    """A CSV cell that a spreadsheet shows as text, never runs as a formula,
    its control characters escaped."""
    value = visible(value)
    if isinstance(value, str) and value.startswith(FORMULA_START):
        return "'" + value
    return value
