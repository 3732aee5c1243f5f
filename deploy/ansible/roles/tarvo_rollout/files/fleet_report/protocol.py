"""What the role asks a controller and how its answers are read.

Every command prints its answer between two lines with the run's mark,
"MARK begin" and "MARK end" (MARK is new in every run), so that nothing else
the controller prints (a login banner, a shell's greeting) can be taken for
it.  A controller's text is data: it is cut, its lone surrogates replaced,
and only the fields the report uses are taken, of the types that
tarvo_info prints.
"""
import html
import json
import math
import re
import shlex

# At most this much of an answer is read (from the mark on).
ANSWER_MAX = 16384
# Longest text kept from one field of a controller's answer.
FIELD_MAX = 600
# The output of a port's update sent back: its last bytes.
OUTPUT_TAIL = 8192
# A poll waits this long on the controller for the update's end.
POLL_WAIT = 10


def clean(value, limit=FIELD_MAX):
    """Text from a controller as the report keeps it: at most LIMIT
    characters, and a lone surrogate (a JSON "\\ud800" escape, a byte that
    was not UTF-8) replaced, so that every file and line can be written."""
    text = str(value)
    if len(text) > limit:
        text = text[:limit] + "..."
    return re.sub("[\ud800-\udfff]", "\ufffd", text)


def number(text, default=None):
    try:
        return int(str(text), 0)
    except ValueError:
        return default


def q(value):
    return shlex.quote(str(value))


class Paths:
    """The controller's paths under its root (empty on a real controller)
    and its programs' environment as shell assignments."""

    def __init__(self, root, env, image_name):
        self.root = root or ""
        self.opt = self.root + "/opt/tarvo_update"
        self.fw = self.opt + "/fw"
        self.keys = self.opt + "/keys"
        self.jobs = self.opt + "/.rollout"
        self.stage = self.root + "/opt/.tarvo_update.stage"
        self.installer = self.root + "/opt/.tarvo_update.installer"
        self.image = self.fw + "/" + image_name
        self.signature = self.image + ".minisig"
        self.image_name = image_name
        self.env = "".join("%s=%s " % (k, q(v)) for k, v in sorted((env or {}).items()))

    def program(self, name):
        return self.env + q(self.opt + "/bin/" + name)


def probe_command(mark, paths, ports):
    """One round trip: the package's version, whether its last install
    completed (no staging directory left, the programs match the manifest
    written with VERSION), the checksums of the image, its signature and the
    trusted keys (and the keys' lines), and one tarvo_info object per port."""
    return " ".join([
        "echo %s begin;" % mark,
        'echo "package $(head -n 1 %s 2>/dev/null)";' % q(paths.opt + "/VERSION"),
        "if [ -e %s ]; then echo 'install staging-left';" % q(paths.stage),
        "elif (cd %s && md5sum -c opt/tarvo_update/.manifest) >/dev/null 2>&1;" % q(paths.root + "/"),
        "then echo 'install ok'; else echo 'install unverified'; fi;",
        'echo "image $(md5sum %s 2>/dev/null)";' % q(paths.image),
        'echo "signature $(md5sum %s 2>/dev/null)";' % q(paths.signature),
        'for k in %s/*.pub %s/.*.pub; do [ ! -f "$k" ] ||' % (q(paths.keys), q(paths.keys)),
        '{ echo "key $(md5sum "$k")"; echo "keyline ${k##*/} $(head -c 200 "$k" | sed -n 2p)"; }; done;',
        "for port in %s; do %s $port json; done;" % (" ".join(str(int(p)) for p in ports),
                                                   paths.program("tarvo_info")),
        "echo; echo %s end; exit 0" % mark])


def check_command(mark, paths):
    """The controller's own verdict on the image in its firmware directory."""
    return "echo %s begin; %s --check %s 2>&1; echo \"tarvo-check $?\"; echo %s end" % (
        mark, paths.program("tarvo_update"), q(paths.image_name), mark)


# The port's update on the controller, under the name tarvo_fleet (so that
# the updater's record says the fleet started it), in the background and
# detached from the session: a lost connection or a stopped playbook does
# not cut a flash short.  Its output: the updater's, then "tarvo-port PORT
# STATUS ATTEMPTS START END PID" (the controller's uptime clock), the
# board's tarvo_info object and the updater's newest record; then FILE.end
# appears.  By tarvo_update's exit status: 7 (another update runs) is tried
# again after DELAY seconds, at most RETRIES times; 4 (a stage failed) once
# more, as a second update restores a board left in its loader.
JOB_SCRIPT = r"""#!/bin/sh
# One port's update for the fleet rollout: FILE PORT IMAGE RETRIES DELAY BIN
f=$1 port=$2 image=$3 retries=$4 delay=$5 bin=$6
echo "tarvo-job running $$"
t0=$(cut -d' ' -f1 /proc/uptime); n=0; busy=0
while :; do
  n=$((n + 1))
  "$bin/tarvo_update" "$port" "$image" & pid=$!
  wait $pid; rc=$?
  if [ $rc = 7 ] && [ $busy -lt "$retries" ]; then
    busy=$((busy + 1)); n=$((n - 1)); sleep "$delay"; continue
  fi
  if [ $rc = 4 ] && [ $n = 1 ]; then continue; fi
  break
done
echo
echo "tarvo-port $port $rc $n $t0 $(cut -d' ' -f1 /proc/uptime) $pid"
"$bin/tarvo_info" "$port" json
"$bin/tarvo_info" --history "$port" json 2>/dev/null | head -n 1 | sed 's/^/tarvo-record /'
echo $rc > "$f.end.tmp" && mv "$f.end.tmp" "$f.end"
"""


def job_file(paths, port, run_id):
    return "%s/%d-%s" % (paths.jobs, int(port), run_id)


def start_command(mark, paths, port, run_id, retries, delay):
    """Starts a port's update once per run (files of this run's own, so that
    an update left running by an earlier run cannot end this one's) and
    says "MARK started", or the shell's reason why it could not start (a
    read-only or full file system): the first line written is a test."""
    f = job_file(paths, port, run_id)
    script = paths.jobs + "/tarvo_fleet"
    env = paths.env and "env " + paths.env
    return " ".join([
        "exec 2>&1; d=%s; f=%s;" % (q(paths.jobs), q(f)),
        'if [ ! -e "$f.out" ]; then',
        'mkdir -p "$d" && rm -f "$d/%d-"* &&' % int(port),
        # (Written through cat, which says why a write fails: a full disk.)
        "printf '%%s' %s | cat > \"$d/.tarvo_fleet.tmp\" && chmod 755 \"$d/.tarvo_fleet.tmp\" &&" % q(JOB_SCRIPT),
        'mv -f "$d/.tarvo_fleet.tmp" %s &&' % q(script),
        'echo "tarvo-job started" | cat > "$f.out" &&',
        # Deaf to the session's hangup until it is a session of its own.
        "{ (trap '' HUP; exec setsid %s%s \"$f\" %d %s %d %d %s) </dev/null >>\"$f.out\" 2>&1 & }"
        % (env, q(script), int(port), q(paths.image_name), int(retries), int(delay),
           q(paths.opt + "/bin")),
        "|| exit 1; fi; i=0;",
        'while ! grep -q "^tarvo-job running" "$f.out" && [ $i -lt 100 ]; do',
        "sleep 0.1 2>/dev/null || sleep 1; i=$((i + 1)); done;",
        'if grep -q "^tarvo-job running" "$f.out"; then echo %s started;' % mark,
        'else tail -n 3 "$f.out"; echo "the update did not start"; exit 1; fi'])


def poll_command(mark, paths, port, run_id):
    """Waits up to POLL_WAIT seconds on the controller for the update's end:
    its output's last bytes between the marks, or "MARK running LAST LINE"."""
    return " ".join([
        "f=%s; i=0;" % q(job_file(paths, port, run_id)),
        'while [ ! -e "$f.end" ] && [ $i -lt %d ]; do' % (POLL_WAIT * 5),
        "sleep 0.2 2>/dev/null || sleep 1; i=$((i + 1)); done;",
        'if [ -e "$f.end" ]; then echo %s begin; tail -c %d "$f.out"; echo; echo %s end;' % (
            mark, OUTPUT_TAIL, mark),
        'elif [ -e "$f.out" ]; then echo "%s running $(tail -n 1 "$f.out" | cut -c1-200)";' % mark,
        'else echo "%s lost"; fi' % mark])


def framed(text, mark):
    """The lines between "MARK begin" and "MARK end" in what the controller
    printed: (lines, None), or (None, why there is no answer)."""
    if not isinstance(text, str):
        return None, "no answer from the controller"
    start = text.find(mark + " begin")
    text = text[max(start, 0):][:ANSWER_MAX]
    lines = [l.strip() for l in text.splitlines()]
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


def said_line(text, mark, word):
    """The text after "MARK WORD" on a line of its own, or None."""
    for line in (text or "").splitlines():
        line = line.strip()
        if line.startswith("%s %s" % (mark, word)):
            return line[len(mark) + len(word) + 2:]
    return None


def last_words(text, limit=200):
    """The last line a command printed (its error), without the transport's
    own lines."""
    said = [l.strip() for l in (text or "").splitlines()
            if l.strip() and not l.startswith("Shared connection to ")]
    return clean(said[-1], limit) if said else ""


def json_line(line):
    """The object on one line of a controller's answer, or None."""
    try:
        return json.loads(line)
    except (ValueError, RecursionError):
        return None


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


def parse_probe(text, mark):
    """The probe's lines: package version, install state, image checksum, the
    signature's checksum, the trusted keys' checksums and key lines by name
    and the tarvo_info objects by port; "error" when the answer cannot be
    read."""
    got = {"package": "", "install": "", "image": "", "signature": "", "keys": {},
           "keylines": {}, "boards": {}, "error": ""}
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
                got["keys"].setdefault(clean(words[-1].rsplit("/", 1)[-1], 255), words[0])
        elif key == "keyline":  # "keyline NAME.pub BASE64"
            name, _, line64 = value.partition(" ")
            got["keylines"].setdefault(clean(name, 255), clean(line64.strip(), 200))
        elif key in ("package", "install", "image", "signature") and not got[key]:
            got[key] = clean(value.split(" ")[0] if key in ("image", "signature") else value, 100)
    return got


def parse_check(text, mark):
    """tarvo_update --check's verdict: (status, its line), status None when
    the controller's updater gave none (an older one knows no --check)."""
    lines, _ = framed(text, mark)
    said = [l for l in lines or [] if l and not l.startswith("tarvo-check ")]
    status = next((number(l.split(" ")[1]) for l in lines or [] if l.startswith("tarvo-check ")),
                  None)
    line = said[-1] if said else ""
    if status not in (0, 5) or not line.startswith("Checking firmware file"):
        return None, ""
    return status, clean(line)


# The updater's record of one run, as tarvo_info --history prints it.
RECORD_TEXT = ("reason", "outcome", "action", "cause", "stage", "signer", "start", "end")


def record_answer(obj, pid):
    """The fields of the updater's record that the report uses, when it is
    the record of the run with PID; None otherwise."""
    if not isinstance(obj, dict) or type(obj.get("pid")) is not int or obj["pid"] != pid:
        return None
    return {k: clean(obj[k]) for k in RECORD_TEXT if isinstance(obj.get(k), str)}


# The flashing line carries a progress letter per record (w, r, j, f), then
# the next title or "failed" follows on the same line; the configuration
# line a mark for the web page.  A word after "... " ("refused") is not
# progress.
PROGRESS = re.compile(r"\.\.\. [wrjf]+(?=[A-Z]|failed|\s|$)")


ENTITY = re.compile(r"&(#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[A-Za-z][A-Za-z0-9]{1,31});")


def entity(m):
    """One character reference as the browser shows it (a control character
    too: the report escapes it later)."""
    name = m.group(1)
    if name.startswith("#"):
        n = int(name[2:], 16) if name[1] in "xX" else int(name[1:])
        return chr(n) if 0 < n < 0x110000 and not 0xD800 <= n < 0xE000 else "\ufffd"
    return html.unescape(m.group())


def updater_words(line):
    """The updater's last line as a person reads it: its progress letters and
    markup gone, its entities decoded once (in one pass: "&amp;#27;" stays
    "&#27;")."""
    line = PROGRESS.sub("... ", line)
    return clean(ENTITY.sub(entity, re.sub(r"<[^>]*>", "", line)))


def parse_update(text):
    """One port's update output: a dict with status (None when cut off),
    attempts, seconds, last (the updater's words), after (the tarvo_info
    object) and record (the updater's own record, when there is one)."""
    lines = [l.strip() for l in text.splitlines()]
    # The job's own line comes after everything the updater printed.
    mark = next((i for i in range(len(lines) - 1, -1, -1)
                 if lines[i].startswith("tarvo-port ")), None)
    said = [l for l in lines[:mark] if l and not l.startswith("tarvo-")]
    got = {"status": None, "attempts": 0, "seconds": None, "after": None, "record": None,
           "last": updater_words(said[-1]) if said else ""}
    if mark is None:
        got["last"] = got["last"] or "no result from the controller"
        return got
    f = lines[mark].split()
    pid = number(f[6]) if len(f) > 6 else None
    for l in lines[mark + 1:]:
        if l.startswith("{"):
            got["after"] = board_answer(json_line(l))
        elif l.startswith("tarvo-record {") and pid is not None:
            got["record"] = record_answer(json_line(l[len("tarvo-record "):]), pid)
    try:
        seconds = round(float(f[5]) - float(f[4]), 2)
    except (IndexError, ValueError):
        seconds = None
    got["seconds"] = seconds if seconds is not None and math.isfinite(seconds) else None
    got["status"] = number(f[2] if len(f) > 2 else "")
    got["attempts"] = number(f[3] if len(f) > 3 else "", 0)
    return got
