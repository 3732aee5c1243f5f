"""The rollout's policy: from what a controller answered, what it needs
(package, keys, image, signature, which ports) and why; what a port's
update came to; how many offline controllers a batch may skip."""
import hashlib
import os
import re

from . import minisign, protocol
from .protocol import number
from .rows import Step, step

# Why an update failed, by tarvo_update's exit status.
REASONS = {
    3: "no TARVO board",
    4: "a stage failed twice",
    5: "firmware file refused",
    6: "configuration does not match the file name",
    7: "another update kept running",
    9: "the update lock could not be taken",
}

FIRST_INSTALL = "the package is installed first: the board is asked then"


def wanted_config(image):
    """The configuration an image's name carries after its first letter."""
    return re.sub(r"\.hex$", "", image[1:])


def file_md5(path, cache={}):  # pylint: disable=dangerous-default-value
    """A control-node file's MD5, read once per process for each path,
    size and modification time."""
    st = os.stat(path)
    key = (path, st.st_size, st.st_mtime_ns)
    if key not in cache:
        h = hashlib.md5()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 16), b""):
                h.update(block)
        cache[key] = h.hexdigest()
    return cache[key]


def decide(board, version, config, allow_downgrade, installing):
    """What a port needs, from its tarvo_info object: (action, reason)."""
    b = board or {}
    status = b.get("status", "")
    running = "%s %s" % (b.get("version"), b.get("config"))
    if not b and installing:
        return "update", FIRST_INSTALL
    if status == "no-board":
        return "skipped", "no TARVO board"
    if status == "read" and not allow_downgrade and \
            number(b.get("version"), 0) > number(version, 0):
        return "newer", "board runs %s, newer than the image's %s (tarvo_allow_downgrade is off)" % (
            b.get("version"), version)
    if b.get("pending"):
        from .rows import pending_text
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


def plan_package(record, probe, want):
    """Whether the package is installed, and the step's words."""
    if not want:
        return False
    have = probe["package"]
    if have != want:
        why = "install %s (the controller has %s)" % (want, have or "none")
    elif probe["install"] == "staging-left":
        why = "install %s again: an earlier install was cut short" % want
    elif probe["install"] != "ok":
        why = "install %s again: the programs do not match their VERSION" % want
    else:
        why = ""
    old = record["steps"].get("package")
    if why:
        record["steps"]["package"] = step(Step.TODO, why, "installed " + want)
    elif not old or old.get("state") != Step.DONE:
        record["steps"]["package"] = step(Step.CURRENT, current="current")
    return bool(why)


def plan_signing(record, probe, s, decision):
    """The keys to install and the signature to copy, and what becomes of the
    host's ports: ("failed", why) for every port when a key or the signature
    cannot be used, ("refused", why) for a port to update when the
    controller requires a signature that the image lacks, ("untrusted",
    why) when the image is signed by a key the controller will not hold, or
    (None, "")."""
    keys = s["trusted_keys"]
    problems = []
    names = [os.path.basename(path) for path in keys]
    ids = {}
    for path in keys:
        kid, why = minisign.read_key(path)
        if why:
            problems.append(why)
        elif names.count(os.path.basename(path)) > 1:
            problems.append("two keys to install are named %s" % os.path.basename(path))
        else:
            ids[os.path.basename(path)] = kid
            if probe["keys"].get(os.path.basename(path)) != file_md5(path):
                decision["keys"].append(path)
    if decision["keys"]:
        listed = ", ".join(map(os.path.basename, decision["keys"]))
        record["steps"]["keys"] = step(Step.TODO, "install keys " + listed, "installed keys " + listed)
    elif record["steps"].get("keys", {}).get("state") != Step.DONE:
        record["steps"]["keys"] = step(Step.NONE)
    if len(set(probe["keys"]) | set(names)) > minisign.KEYS_MAX:
        problems.append("the controller would hold more than %d keys, and take no image"
                        % minisign.KEYS_MAX)
    sig_path = minisign.signature_file(s["image_path"])
    sig_name = os.path.basename(sig_path)
    signer, why = minisign.read_signer(s["image_path"])
    record["signer"] = signer or ""
    if why:
        problems.append(why)
    old = record["steps"].get("signature", {})
    if signer and signer != "unsigned":
        if probe["signature"] != file_md5(sig_path):
            decision["signature"] = True
            record["steps"]["signature"] = step(Step.TODO, "copy " + sig_name, "copied " + sig_name)
        elif old.get("state") != Step.DONE:
            record["steps"]["signature"] = step(Step.CURRENT)
    elif decision["image"] and probe["signature"]:
        # A signature of other bytes must not stay beside the new image.
        decision["drop_signature"] = True
        record["steps"]["signature"] = step(Step.TODO, "remove " + sig_name, "removed " + sig_name)
    elif old.get("state") != Step.DONE:
        record["steps"]["signature"] = step(Step.NONE)
    if problems:
        return "failed", "; ".join(dict.fromkeys(problems))
    trusted = sorted(set(probe["keys"]) | set(names))
    if trusted and signer == "unsigned":
        return "refused", "not signed: the controller requires a signature (keys %s) and %s " \
            "has no %s beside it" % (", ".join(trusted), record["image"], sig_name)
    held = {n: minisign.key_line_id(l) for n, l in probe["keylines"].items()}
    held.update(ids)
    if trusted and signer not in held.values():
        return "untrusted", "%s: %s is signed by key %s, which the controller does not trust " \
            "(keys %s)" % (REASONS[5], record["image"], signer, ", ".join(trusted))
    return None, ""


def plan(record, probe, s):
    """Decides what the controller needs from its probe, into RECORD (its
    boards before, each port's action and why, the steps), and returns the
    decision: package, image, signature, drop_signature (true when to do),
    keys (paths to install) and todo (the ports to update, in order)."""
    image = os.path.basename(s["image_path"])
    config = wanted_config(image)
    decision = {"package": False, "image": False, "signature": False, "drop_signature": False,
                "keys": [], "todo": []}
    record["before"] = probe["boards"]
    record["plan"] = {}
    record["error"] = ""
    old = record["steps"].get("image", {})
    if probe["image"] != file_md5(s["image_path"]):
        decision["image"] = True
        record["steps"]["image"] = step(Step.TODO, "copy " + image, "copied")
    elif old.get("state") != Step.DONE:
        record["steps"]["image"] = step(Step.CURRENT, current="present")
    installing = plan_package(record, probe, s["package_version"])
    refusal, refusal_why = plan_signing(record, probe, s, decision)
    for port in s["ports"]:
        action, why = ("failed", probe["error"]) if probe["error"] else decide(
            probe["boards"].get(str(port)), s["version"], config, s["allow_downgrade"], installing)
        if refusal == "failed" or action == "update" and refusal == "refused":
            action, why = refusal, refusal_why
        record["plan"][str(port)] = [action, why]
        if action == "update":
            decision["todo"].append(port)
    if refusal == "untrusted" and s["check"]:
        predict_failure(record, decision, refusal_why)
    # Nothing is sent to a controller whose answer cannot be read, and no
    # key, signature or image where a key or the signature is unusable.
    if probe["error"] or refusal == "failed":
        decision.update(image=False, signature=False, drop_signature=False, keys=[])
        for name in ("image", "signature", "keys"):
            if record["steps"].get(name, {}).get("state") == Step.TODO:
                record["steps"][name] = step(Step.NONE)
    if probe["error"]:
        decision["package"] = False
    else:
        decision["package"] = installing
    return decision


def predict_failure(record, decision, why):
    """A dry run's verdict that the updater will refuse the image: the first
    port to update fails with WHY and the host stops there, as a real run
    would."""
    for n, port in enumerate(decision["todo"]):
        record["plan"][str(port)] = ["failed", why] if n == 0 else \
            ["not-done", "an earlier port would fail"]
    decision["todo"] = []


def port_outcome(update, image, version):
    """(outcome, reason) of a port's update, from its parsed output."""
    rc = update["status"]
    record = update.get("record") or {}
    words = record.get("reason") or update["last"]
    if update.get("error"):
        return "failed", update["error"]
    if rc is None:
        return "failed", "no result from the update: %s" % update["last"]
    if rc == 3:
        return "skipped", ""
    if rc != 0:
        return "failed", "%s: %s" % (REASONS.get(rc, "tarvo_update exited %s" % rc), words)
    a = update.get("after") or {}
    want = (version, wanted_config(image))
    if (a.get("version"), a.get("config")) != want:
        return "failed", "after the update the board reports %s %s, not %s %s" % (
            a.get("version"), a.get("config"), want[0], want[1])
    return "updated", ""


def port_result(record, port, output, mark):
    """Takes what a port's poll brought back (the update's output between
    the marks) into RECORD's results, and returns the port's result."""
    answer, error = protocol.framed(output, mark)
    update = protocol.parse_update("\n".join(answer or []))
    update["error"] = error
    outcome, reason = port_outcome(update, record["image"], record["version"])
    record["results"][str(port)] = got = {
        "outcome": outcome, "reason": reason, "status": update["status"],
        "attempts": update["attempts"], "seconds": update["seconds"], "after": update["after"]}
    return got


def offline_allowed(setting, batch_size):
    """How many controllers of a batch of BATCH_SIZE may be offline: a whole
    number, or a share "N%" of the batch (rounded down)."""
    text = str(setting).strip()
    if text.endswith("%"):
        return int(float(text[:-1]) * batch_size / 100.0)
    return int(text)
