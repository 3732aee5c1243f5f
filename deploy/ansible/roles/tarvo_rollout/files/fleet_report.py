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
import binascii
import csv
import datetime
import fcntl
import hashlib
import html
import json
import math
import os
import re
import sys
import urllib.parse

COLUMNS = [
    "host", "port", "image", "outcome",
    "before_status", "before_version", "before_config", "pending",
    "after_status", "after_version", "after_config",
    "updater_status", "attempts", "duration_s", "package_step", "image_step", "signer", "reason",
]

# A controller's answer is read only between two lines that the role's command
# prints around it, "MARK begin" and "MARK end" (MARK is new in every run), so
# that nothing else the controller prints (a banner, a shell's greeting) can be
# taken for it.  The role passes at most ANSWER_MAX characters of it.
ANSWER_MAX = 16384

# Longest signature file read (its trusted comment is free text).
SIGNATURE_MAX = 4096
# ... and public key file.
KEY_MAX = 2048
# Most key files a controller reads (it refuses every image with more).
KEYS_MAX = 16

# Longest text kept from one field of a controller's answer.
FIELD_MAX = 600

# A spreadsheet takes a cell that starts with one of these for a formula.
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")

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


def clean(value, limit=FIELD_MAX):
    """Text from a controller as the report keeps it: at most LIMIT
    characters, and a lone surrogate (a JSON "\\ud800" escape, a byte that
    was not UTF-8) replaced, so that every file and line can be written."""
    text = str(value)
    if len(text) > limit:
        text = text[:limit] + "..."
    return re.sub("[\ud800-\udfff]", "\ufffd", text)


def framed(text, mark):
    """The lines between "MARK begin" and "MARK end" in what the controller
    printed: (lines, None), or (None, why there is no answer)."""
    if not isinstance(text, str):
        return None, "no answer from the controller"
    lines = [l.strip() for l in text[:ANSWER_MAX].splitlines()]
    try:
        first = lines.index(mark + " begin") + 1
    except ValueError:
        said = [l for l in lines if l]
        return None, "the controller's answer does not start as the role's command does: %s" % (
            clean(said[-1], 200) if said else "it printed nothing")
    try:
        return lines[first:lines.index(mark + " end", first)], None
    except ValueError:
        return None, "the controller's answer ends early or is too long (%d characters read)" % (
            len(text))


# The fields of tarvo_info's object that the report reads, by type.
BOARD_TEXT = ("status", "version", "config", "error")


def board_answer(obj):
    """A port's tarvo_info object as the report uses it: the fields it reads,
    of the types tarvo_info prints, or status "unreadable" with the reason."""
    def bad(why):
        return {"status": "unreadable", "error": "unreadable answer: %s" % why}
    if not isinstance(obj, dict):
        return bad("not an object")
    b = {}
    for key in BOARD_TEXT:
        value = obj.get(key)
        if value is not None and not isinstance(value, str) or key == "status" and value is None:
            return bad("%s is not text" % key)
        if value is not None:
            b[key] = clean(value)
    pid = obj.get("update_pid")
    if pid is not None:
        if type(pid) is not int:
            return bad("update_pid is not a number")
        b["update_pid"] = pid
    p = obj.get("pending")
    if p is not None:
        if not isinstance(p, dict) or not isinstance(p.get("image"), str) or \
                not isinstance(p.get("since"), str) or type(p.get("attempts")) is not int:
            return bad("pending is not a record (image, since, attempts)")
        b["pending"] = {"image": clean(p["image"]), "since": clean(p["since"]),
                        "attempts": p["attempts"]}
    return b


def json_line(line):
    """The object on one line of a controller's answer, or None."""
    try:
        return json.loads(line)
    except (ValueError, RecursionError):
        return None


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


def parse_probe(text, mark):
    """The probe's lines: package version, install state, image checksum, the
    signature's checksum, the trusted keys' checksums by name and the
    tarvo_info objects by port; "error" when the answer cannot be read."""
    got = {"package": "", "install": "", "image": "", "signature": "", "keys": {},
           "boards": {}, "error": ""}
    lines, got["error"] = framed(text, mark)
    for line in lines or []:
        if line.startswith("{"):
            b = json_line(line)
            port = b.get("port") if isinstance(b, dict) else None
            if type(port) is int and str(port) not in got["boards"]:
                got["boards"][str(port)] = board_answer(b)
            continue
        key, _, value = line.partition(" ")
        value = value.strip()
        if key == "key":  # "key MD5 PATH/NAME.pub"
            words = value.split(" ")
            if len(words) >= 2:
                got["keys"].setdefault(clean(os.path.basename(words[-1]), 255), words[0])
        elif key in ("package", "install", "image", "signature") and not got[key]:
            got[key] = clean(value.split(" ")[0] if key in ("image", "signature") else value, 100)
    return got


def parse_update(text):
    """One port's update output: (status, attempts, seconds, the updater's
    last line, the tarvo_info object after); status None when cut off."""
    lines = [l.strip() for l in text.splitlines()]
    # The job's own line comes after everything the updater printed.
    mark = next((i for i in range(len(lines) - 1, -1, -1)
                 if lines[i].startswith("tarvo-port ")), None)
    said = [l for l in lines[:mark] if l and not l.startswith("tarvo-")]
    last = said[-1] if said else ""
    # The flashing line carries a progress letter per record, and the
    # configuration line a mark for the web page.
    last = re.sub(r"\.\.\. [wr]+", "... ", last)
    last = clean(html.unescape(re.sub(r"<[^>]*>", "", last)))
    if mark is None:
        return None, 0, None, last or "no result from the controller", None
    f = lines[mark].split()
    after = None
    for l in lines[mark + 1:]:
        if l.startswith("{"):
            after = board_answer(json_line(l))
    try:
        seconds = round(float(f[5]) - float(f[4]), 2)
    except (IndexError, ValueError):
        seconds = None
    if seconds is not None and not math.isfinite(seconds):
        seconds = None
    return number(f[2] if len(f) > 2 else ""), number(f[3] if len(f) > 3 else "", 0), \
        seconds, last, after


def port_result(frag, port):
    """(outcome, reason, parsed update) of a port that was updated."""
    update = frag["updates"][port]
    if update.get("error"):
        return "failed", update["error"], (None, 0, None, None)
    rc, attempts, seconds, last, after = parse_update(update.get("answer", ""))
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
            "signer": frag.get("signer", ""),
            "reason": reason,
        })
    return rows


def unreadable_rows(name, frag, error):
    """The rows of a controller whose saved answer the report cannot read:
    failed, with the reason, so that the other controllers' rows stand."""
    frag = frag if isinstance(frag, dict) else {}
    host = frag.get("host") if isinstance(frag.get("host"), str) else urllib.parse.unquote(
        name[:-len(".json")])
    ports = frag.get("ports") if isinstance(frag.get("ports"), list) else [""]
    reason = "the report cannot read what this controller answered: %s: %s" % (
        type(error).__name__, clean(error, 200))
    return [dict({c: "" for c in COLUMNS}, host=host, port=p if type(p) is int else "",
                 outcome="failed", attempts=0, reason=reason) for p in ports or [""]]


def summary(frag, rows):
    if frag.get("unreachable"):
        return "failed: unreachable: " + frag.get("error", "")
    failed = [r for r in rows if r["outcome"] in ("failed", "refused")]
    if failed:
        return "failed: " + "; ".join("PORT%s: %s%s" % (
            r["port"], "refused: " if r["outcome"] == "refused" else "", r["reason"])
            for r in failed)
    if frag.get("error"):
        return "failed: " + frag["error"]
    if frag.get("kind") == "check":
        steps = [s for s in (frag.get("package_step"), frag.get("keys_step"),
                             frag.get("image_step"), frag.get("signature_step"))
                 if s and s.split(" ")[0] in ("install", "copy", "remove")]
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
    # Whatever text a row holds, the file is written: what UTF-8 cannot
    # carry becomes "?".
    with open(tmp, "w", newline="", encoding="utf-8", errors="replace") as f:
        write(f)
    os.replace(tmp, path)


def write_json(path, data, indent=None):
    write_atomically(path, lambda f: json.dump(data, f, indent=indent))


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def sort_key(row):
    return str(row["host"]), number(row["port"], 1 << 30), str(row["port"])


def as_text_cell(value):
    """A CSV cell that a spreadsheet shows as text, never runs as a formula."""
    if isinstance(value, str) and value.startswith(FORMULA_START):
        return "'" + value
    return value


def write_report(run):
    """fleet_report.json and .csv anew from every host, and the totals so far."""
    hosts = os.path.join(run, "hosts")
    rows = []
    for name in sorted(os.listdir(hosts)):
        if name.endswith(".json"):
            frag = None
            try:
                frag = read_json(os.path.join(hosts, name))
                rows += port_rows(frag)
            except Exception as e:  # pylint: disable=broad-except
                # One controller's answer never stops the others' report.
                rows += unreadable_rows(name, frag, e)
    rows.sort(key=sort_key)
    write_json(os.path.join(run, "fleet_report.json"), rows, indent=1)

    def write_csv(f):
        w = csv.DictWriter(f, fieldnames=COLUMNS)
        w.writeheader()
        w.writerows({c: as_text_cell(v) for c, v in r.items()} for r in rows)
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


def host_file(run, host):
    """RUN/hosts/NAME.json of a controller: its inventory name with every
    character but letters, digits, ".", "_" and "-" (and a leading ".")
    percent-encoded, so that no name leaves hosts/ or hides there, and two
    names never share a file.  A very long name is cut and keeps a digest of
    the whole ("~" never appears in an encoded name)."""
    name = urllib.parse.quote(host, safe="-_.", errors="surrogatepass")
    if name.startswith("."):
        name = "%2E" + name[1:]
    if len(name) > 200:
        name = name[:150] + "~" + hashlib.sha256(host.encode("utf-8", "replace")).hexdigest()[:40]
    return os.path.join(run, "hosts", name + ".json")


def run_arguments(argv):
    """The playbook's command line as run.json keeps it: extra variables by
    name only (a value given with -e may be a password), "@FILE" as given."""
    kept, names = [], []
    args = iter(argv if isinstance(argv, list) else [])
    for arg in args:
        arg = str(arg)
        value = None
        if arg in ("-e", "--extra-vars"):
            value = next(args, "")
        elif arg.startswith("--extra-vars="):
            value = arg[len("--extra-vars="):]
        elif arg.startswith("-e") and not arg.startswith("--"):
            value = arg[2:]
        if value is None:
            kept.append(clean(arg, 1000))
            continue
        value = str(value)
        if value.startswith("@"):
            names.append(clean(value, 1000))
            continue
        try:
            given = json.loads(value)
        except (ValueError, RecursionError):
            given = None
        if isinstance(given, dict):
            names += [clean(k, 200) for k in given]
        else:
            names += [clean(w.split("=", 1)[0], 200) for w in value.split() if "=" in w]
    return {"command": kept, "extra_vars": names}


def signature_file(image_path):
    return image_path + ".minisig"


def minisign_line(line, size, what):
    """Bytes of one base64 line of a minisign file, of SIZE bytes."""
    try:
        raw = binascii.a2b_base64(line.encode("ascii"), strict_mode=True)
    except (ValueError, UnicodeEncodeError):
        raw = b""
    if len(raw) != size:
        raise ValueError("%s is not base64 of %d bytes" % (what, size))
    return raw


def key_id(raw):
    return "%016X" % int.from_bytes(raw[2:10], "little")


def read_signer(image_path):
    """The key ID that signed the image (its IMAGE.minisig beside it), or
    "unsigned"; (signer, None) or (None, why the signature is unusable)."""
    path = signature_file(image_path)
    try:
        with open(path, "rb") as f:
            text = f.read(SIGNATURE_MAX + 1)
    except FileNotFoundError:
        return "unsigned", None
    except OSError as e:
        return None, "%s: %s" % (os.path.basename(path), e.strerror)
    try:
        if len(text) > SIGNATURE_MAX:
            raise ValueError("longer than %d bytes" % SIGNATURE_MAX)
        lines = text.decode("utf-8").split("\n")
        if len(lines) < 4 or not lines[0].startswith("untrusted comment:") or \
                not lines[2].startswith("trusted comment: "):
            raise ValueError("not the four lines of a minisign signature")
        raw = minisign_line(lines[1], 74, "its signature line")
        if raw[:2] not in (b"ED", b"Ed"):
            raise ValueError("unknown algorithm")
        minisign_line(lines[3], 64, "its global signature")
    except (ValueError, UnicodeDecodeError) as e:
        return None, "%s is not a minisign signature: %s" % (os.path.basename(path), e)
    return key_id(raw), None


def read_key(path):
    """A minisign public key file to install: (its key ID, None) or (None, why not)."""
    name = os.path.basename(path)
    if not re.match(r"^[A-Za-z0-9_][A-Za-z0-9._-]*\.pub$", name):
        return None, "%s: a key's file name is letters, digits, . _ - and ends in .pub" % name
    try:
        with open(path, "rb") as f:
            text = f.read(KEY_MAX + 1)
        if len(text) > KEY_MAX:
            raise ValueError("longer than %d bytes" % KEY_MAX)
        lines = text.decode("utf-8").split("\n")
        if len(lines) < 2 or not lines[0].startswith("untrusted comment:"):
            raise ValueError("not the two lines of a minisign public key")
        raw = minisign_line(lines[1], 42, "its key line")
        if raw[:2] != b"Ed":
            raise ValueError("unknown algorithm")
    except OSError as e:
        return None, "%s: %s" % (path, e.strerror)
    except (ValueError, UnicodeDecodeError) as e:
        return None, "%s is not a minisign public key: %s" % (path, e)
    return key_id(raw), None


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
    if not isinstance(arguments, dict):
        arguments = run_arguments(arguments)
    signer = read_signer(data["image_path"])[0] or "" if data.get("image_path") else ""
    write_json(os.path.join(run, "run.json"), {
        "id": data["id"], "kind": kind, "start": now(), "end": None,
        "arguments": arguments, "hosts": len(data["hosts"]),
        "image": data.get("image", ""), "version": data.get("version", ""), "totals": {},
    }, indent=1)
    for h in data["hosts"]:
        write_json(host_file(run, h["host"]), {
            "host": h["host"], "ports": list(h.get("ports") or []), "kind": kind,
            "state": "not-reached", "image": data.get("image", ""),
            "version": data.get("version", ""), "signer": signer})
    with Locked(run):
        write_report(run)
    switch_link(report_dir, "latest-check" if kind == "check" else "latest", data["id"])
    print(run)


def update_host(run, host, change):
    path = host_file(run, host)
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


def plan_signing(frag, probe, data, decision):
    """The keys to install and the signature to copy, and what becomes of the
    host's ports: ("failed", why) for every port when a key or the signature
    cannot be used, ("refused", why) for a port to update when the
    controller requires a signature that the image lacks, or (None, "")."""
    keys = data.get("trusted_keys") or []
    problems = []
    frag["keys_step"] = ""
    names = [os.path.basename(path) for path in keys]
    for path in keys:
        why = read_key(path)[1]
        if why:
            problems.append(why)
        elif names.count(os.path.basename(path)) > 1:
            problems.append("two keys to install are named %s" % os.path.basename(path))
        elif probe["keys"].get(os.path.basename(path)) != file_md5(path):
            decision["keys"].append(path)
    if decision["keys"]:
        frag["keys_step"] = "install keys %s" % ", ".join(map(os.path.basename, decision["keys"]))
    if len(set(probe["keys"]) | set(names)) > KEYS_MAX:
        problems.append("the controller would hold more than %d keys, and take no image" % KEYS_MAX)
    signer, why = read_signer(data["image_path"])
    frag["signer"] = signer or ""
    if why:
        problems.append(why)
    frag["signature_step"] = ""
    if signer and signer != "unsigned":
        if probe["signature"] != file_md5(signature_file(data["image_path"])):
            decision["signature"] = True
            frag["signature_step"] = "copy %s" % os.path.basename(signature_file(data["image_path"]))
    elif decision["image"] and probe["signature"]:
        # A signature of other bytes must not stay beside the new image.
        decision["drop_signature"] = True
        frag["signature_step"] = "remove %s" % os.path.basename(signature_file(data["image_path"]))
    if problems:
        return "failed", "; ".join(dict.fromkeys(problems))
    trusted = sorted(set(probe["keys"]) | set(map(os.path.basename, keys)))
    if trusted and signer == "unsigned":
        return "refused", "not signed: the controller requires a signature (keys %s) and %s " \
            "has no %s beside it" % (", ".join(trusted), frag["image"],
                                     os.path.basename(signature_file(data["image_path"])))
    return None, ""


def plan(run, data):
    probe = parse_probe(data.get("probe", ""), data.get("mark", ""))
    image = os.path.basename(data["image_path"])
    config = wanted_config(image)
    decision = {"package": False, "image": False, "signature": False, "drop_signature": False,
                "keys": [], "todo": []}

    def change(frag):
        kind = frag.get("kind", "run")
        frag.update(host=data["host"], ports=data["ports"], image=image,
                    version=data["version"], state="in-flight", error="")
        frag["before"] = probe["boards"]
        frag["plan"] = {}
        if probe["image"] != file_md5(data["image_path"]):
            decision["image"] = True
            frag["image_step"] = "copy %s" % image
        elif not frag.get("image_step", "").startswith("copied"):
            frag["image_step"] = "present"
        refusal = plan_signing(frag, probe, data, decision)
        for port in data["ports"]:
            action, why = ("failed", probe["error"]) if probe["error"] else decide(
                probe["boards"].get(str(port)), data["version"], config,
                data.get("allow_downgrade", False))
            if refusal[0] == "failed" or action == "update" and refusal[0]:
                action, why = refusal
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
        # Nothing is sent to a controller whose answer cannot be read, and no
        # key, signature or image where a key or the signature is unusable.
        if probe["error"] or refusal[0] == "failed":
            decision.update(image=False, signature=False, drop_signature=False, keys=[])
        if probe["error"]:
            decision["package"] = False
        mark_steps(frag, data)
        decision["say"] = summary(frag, port_rows(dict(frag, state="done"))) \
            if kind == "check" else "; ".join(
                ["%s" % s for s in (frag.get("package_step"), frag.get("keys_step"),
                                    frag.get("image_step"), frag.get("signature_step"))
                 if s and s not in ("current", "present")] +
                ["PORT%s %s%s" % (p, a, " (%s)" % w if w else "")
                 for p, (a, w) in sorted(frag["plan"].items())])
    update_host(run, data["host"], change)
    print(json.dumps(decision))


def mark_steps(frag, data):
    """The package, key, image and signature steps that the role has done on the host."""
    step = frag.get("package_step", "")
    if data.get("installed") and step.startswith("install "):
        frag["package_step"] = "installed " + step.split(" ")[1]
    if data.get("keys_installed") and frag.get("keys_step", "").startswith("install "):
        frag["keys_step"] = "installed" + frag["keys_step"][len("install"):]
    if data.get("copied") and frag.get("image_step", "").startswith("copy "):
        frag["image_step"] = "copied"
    # A signature copied with an image takes its place with the image.
    step = frag.get("signature_step", "")
    if data.get("signature_copied") and step.startswith("copy ") and \
            not frag.get("image_step", "").startswith("copy "):
        frag["signature_step"] = "copied " + step[len("copy "):]
    if data.get("copied") and step.startswith("remove "):
        frag["signature_step"] = "removed " + step[len("remove "):]


def port(run, data):
    key = str(data["port"])
    answer, error = framed(data.get("output", ""), data.get("mark", ""))

    def change(frag):
        frag.setdefault("updates", {})[key] = {"answer": "\n".join(answer or []),
                                               "error": error or ""}
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
    if not isinstance(failed, dict) or not failed:
        return ""
    result = failed.get("result")
    result = result if isinstance(result, dict) else {}
    items = result.get("results")
    items = [r for r in items if isinstance(r, dict) and r.get("failed")] \
        if isinstance(items, list) else []
    if items:
        result = dict(items[-1], msg=items[-1].get("msg") or result.get("msg"))
    said = [l.strip() for l in ("%s\n%s" % (result.get("stdout") or "",
                                            result.get("stderr") or "")).splitlines()
            if l.strip() and not l.startswith("Shared connection to ")]
    text = "%s: %s" % (failed.get("task") or "the rollout", result.get("msg") or "failed")
    if said:
        text += ": " + " | ".join(said[-5:])
    return clean(text, 2 * FIELD_MAX)


def end(run, data):
    def change(frag):
        if frag.get("state") in (None, "not-reached"):  # failed before the probe
            frag.update(ports=data.get("ports") or frag.get("ports", []), plan={})
        frag["state"] = "done"
        frag["unreachable"] = bool(data.get("unreachable"))
        frag["error"] = clean(data.get("unreachable_msg") or "") or failure_text(data.get("failed"))
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
    sys.stdout.reconfigure(errors="replace")
    step = sys.argv[1]
    if step == "finish":
        return finish(sys.argv[2])
    # What the role passes carries controller text: bytes that are not UTF-8
    # are replaced, not fatal.
    data = json.loads(base64.b64decode(sys.argv[3]).decode("utf-8", "replace"))
    try:
        {"start": start, "plan": plan, "port": port, "end": end}[step](sys.argv[2], data)
    except BrokenPipeError:  # the playbook was stopped: what was written stays
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
