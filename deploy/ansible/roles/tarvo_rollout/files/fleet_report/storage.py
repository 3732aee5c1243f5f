"""The run's report on the control node.

REPORT_DIR/RUN_ID holds run.json (the run's kind, start and end, the
playbook's arguments, the totals by outcome), roster.json (every host of the
play and its ports), hosts/HOST.json (one controller's record and rows,
written by that controller's own steps only) and fleet_report.json and
fleet_report.csv, one row per controller and port.  Those two are written
ahead at the start, every host "not-reached", and merged once from the
hosts' records when the run ends: a step costs the same however large the
fleet.
"""
import csv
import datetime
import fcntl
import hashlib
import json
import os
import tarfile
import tempfile
import urllib.parse

from . import minisign, rows
from .protocol import clean, number


def now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def write_atomically(path, write):
    """PATH replaced in one rename by what WRITE writes into a file beside it."""
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), prefix="." + os.path.basename(path))
    try:
        # Whatever text a row holds, the file is written: what UTF-8 cannot
        # carry becomes "?".
        with open(fd, "w", newline="", encoding="utf-8", errors="replace") as f:
            write(f)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def write_json(path, data, indent=None):
    write_atomically(path, lambda f: json.dump(data, f, indent=indent))


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class Locked:
    """RUN/.lock held: for what several controllers' steps share."""

    def __init__(self, run):
        self.path = os.path.join(run, ".lock")

    def __enter__(self):
        self.f = open(self.path, "w")
        fcntl.flock(self.f, fcntl.LOCK_EX)
        return self

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


def sort_key(row):
    return str(row["host"]), number(row["port"], 1 << 30), str(row["port"])


def write_rows(run, table):
    """fleet_report.json (values as they are) and fleet_report.csv (cells a
    spreadsheet shows as text, control characters escaped)."""
    table.sort(key=sort_key)
    write_json(os.path.join(run, "fleet_report.json"), table, indent=1)

    def write_csv(f):
        w = csv.DictWriter(f, fieldnames=rows.COLUMNS)
        w.writeheader()
        w.writerows({c: rows.csv_cell(v) for c, v in r.items()} for r in table)
    write_atomically(os.path.join(run, "fleet_report.csv"), write_csv)


def start(report_dir, run_id, check, arguments, image_path, version, roster):
    """Makes the run's directory with every host of ROSTER ((host, ports)
    pairs) "not-reached", points REPORT_DIR/latest (a real run) or
    latest-check (a dry run) at it and returns its path."""
    run = os.path.join(report_dir, run_id)
    os.makedirs(os.path.join(run, "hosts"))  # a run id is never reused
    kind = "check" if check else "run"
    image = os.path.basename(image_path)
    signer = minisign.read_signer(image_path)[0] or "" if image_path else ""
    write_json(os.path.join(run, "run.json"), {
        "id": run_id, "kind": kind, "start": now(), "end": None, "arguments": arguments,
        "hosts": len(roster), "image": image, "version": version, "totals": {},
    }, indent=1)
    write_json(os.path.join(run, "roster.json"), {"kind": kind, "image": image, "version": version,
                                                  "signer": signer, "hosts": roster})
    table = []
    for host, ports in roster:
        table += rows.port_rows(rows.new_record(host, ports, kind, image, version, signer))
    write_rows(run, table)
    write_totals(run, table)
    switch_link(report_dir, "latest-check" if kind == "check" else "latest", run_id)
    return run


def new_record(run, host, ports):
    """A controller's record as the run starts it."""
    meta = read_json(os.path.join(run, "roster.json"))
    return rows.new_record(host, ports, meta["kind"], meta["image"], meta["version"],
                           meta["signer"])


def save_host(run, record):
    """The controller's record and its rows, written by its own steps only."""
    write_json(host_file(run, record["host"]), dict(record, rows=rows.port_rows(record)))


def write_totals(run, table, end=None):
    totals = {}
    for r in table:
        totals[r["outcome"]] = totals.get(r["outcome"], 0) + 1
    path = os.path.join(run, "run.json")
    meta = read_json(path)
    meta["totals"] = dict(sorted(totals.items()))
    if end:
        meta["end"] = end
    write_json(path, meta, indent=1)
    return meta


def merge(run):
    """fleet_report.json and .csv from every host's record (a host without
    one was not reached; one whose record cannot be read gets failed rows
    that say so), and run.json's end and totals; returns run.json."""
    with Locked(run):
        roster = read_json(os.path.join(run, "roster.json"))
        listed = {}
        for host, ports in roster["hosts"]:
            listed.setdefault(host, ports)
        files = {host_file(run, h): h for h in listed}
        for name in os.listdir(os.path.join(run, "hosts")):
            path = os.path.join(run, "hosts", name)
            if name.endswith(".json") and path not in files:
                files[path] = urllib.parse.unquote(name[:-len(".json")])
        table = []
        for path, host in files.items():
            record = None
            try:
                if not os.path.exists(path):
                    record = rows.new_record(host, listed.get(host), roster["kind"],
                                             roster["image"], roster["version"], roster["signer"])
                else:
                    record = read_json(path)
                table += rows.port_rows(record)
            except Exception as e:  # pylint: disable=broad-except
                # One controller's record never stops the others' report.
                got = record.get("ports") if isinstance(record, dict) else None
                table += rows.unreadable_rows(host, got or listed.get(host), e)
        write_rows(run, table)
        return write_totals(run, table, end=now())


def finish(run):
    """Merges the report and returns the lines that end the run's output."""
    meta = merge(run)
    totals = ", ".join("%d %s" % (n, o) for o, n in meta["totals"].items())
    return ["%s %s: %s ports of %d controllers: %s" % (
        "dry run" if meta["kind"] == "check" else "rollout", meta["id"],
        sum(meta["totals"].values()), meta["hosts"], totals or "none"),
        "report: %s" % os.path.join(run, "fleet_report.csv")]


def count_offline(run, batch):
    """One more offline controller in the batch BATCH (its hosts' names):
    how many the batch has now."""
    key = hashlib.sha256("\n".join(sorted(batch)).encode("utf-8", "replace")).hexdigest()[:16]
    path = os.path.join(run, ".offline-" + key)
    with Locked(run):
        try:
            with open(path) as f:
                n = int(f.read() or 0)
        except (OSError, ValueError):
            n = 0
        with open(path, "w") as f:
            f.write(str(n + 1))
    return n + 1


def installer(run, package, unpack_sh):
    """The package's self-extracting installer, made once per run beside the
    report: (path, the archive's MD5)."""
    path = os.path.join(run, ".installer.run")
    with Locked(run):
        if not os.path.exists(path):
            with open(path + ".tmp", "wb") as out:
                for src in (unpack_sh, package):
                    with open(src, "rb") as f:
                        out.write(f.read())
            os.replace(path + ".tmp", path)
    from .policy import file_md5
    return path, file_md5(package)


def package_version(package, cache={}):  # pylint: disable=dangerous-default-value
    """The VERSION that a package archive carries (read once per process)."""
    st = os.stat(package)
    key = (package, st.st_size, st.st_mtime_ns)
    if key not in cache:
        version = ""
        with tarfile.open(package, "r:gz") as t:
            for m in t:
                if m.isfile() and (m.name + "/").endswith("opt/tarvo_update/VERSION/"):
                    version = t.extractfile(m).read().decode("utf-8", "replace").splitlines()[0:1]
                    version = version[0].strip() if version else ""
                    break
        cache[key] = version
    return cache[key]


def run_arguments(argv, parser=None):
    """The playbook's command line as run.json keeps it: extra variables by
    name only (a value may be a password), "@FILE" as given.  Every spelling
    that ansible-playbook's parser takes counts: -e, --extra-vars, a unique
    abbreviation of it (--extra, --extra-v=...), and -e inside a group of
    short flags (-ve K=V, -veK=V)."""
    long_opts, short_args = parser_options(parser)
    kept, names = [], []
    args = iter(argv if isinstance(argv, list) else [])
    for arg in args:
        arg = str(arg)
        values = []
        if arg == "--":
            kept.append(arg)
            kept += [clean(a, 1000) for a in args]
            break
        if arg.startswith("--"):
            name, eq, value = arg.partition("=")
            matches = [o for o in long_opts if o.startswith(name)]
            if name in long_opts:
                matches = [name]
            if matches == ["--extra-vars"]:
                values.append(value if eq else next(args, ""))
                kept.append(name)
            else:
                kept.append(clean(arg, 1000))
            names += extra_var_names(values)
            continue
        if arg.startswith("-e="):  # the parser splits "-e=VALUE" at its first "="
            kept.append("-e")
            names += extra_var_names([arg[3:]])
            continue
        if arg.startswith("-") and len(arg) > 1:
            # A group of short flags: the first that takes a value takes the
            # rest of the word (or the next word).
            flags, i = "-", 1
            while i < len(arg):
                c = arg[i]
                flags += c
                if c in short_args:
                    rest = arg[i + 1:]
                    if c == "e":
                        values.append(rest if rest else next(args, ""))
                    elif rest:
                        flags += rest
                    else:
                        kept.append(clean(flags, 1000))
                        flags = None
                        kept.append(clean(next(args, ""), 1000))
                    break
                i += 1
            if flags is not None:
                kept.append(clean(flags, 1000))
            names += extra_var_names(values)
            continue
        kept.append(clean(arg, 1000))
    return {"command": kept, "extra_vars": names}


def extra_var_names(values):
    names = []
    for value in values:
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
    return names


# ansible-playbook's options as its parser has them, when Ansible cannot be
# asked (the report's own tests): long options, and short ones with a value.
LONG_OPTIONS = ["--ask-become-pass", "--ask-pass", "--ask-vault-pass", "--ask-vault-password",
                "--become", "--become-method", "--become-password-file", "--become-user",
                "--check", "--connection", "--connection-password-file", "--diff",
                "--extra-vars", "--flush-cache", "--force-handlers", "--forks", "--help",
                "--inventory", "--inventory-file", "--limit", "--list-hosts", "--list-tags",
                "--list-tasks", "--module-path", "--private-key", "--scp-extra-args",
                "--sftp-extra-args", "--skip-tags", "--ssh-common-args", "--ssh-extra-args",
                "--start-at-task", "--step", "--syntax-check", "--tags", "--timeout", "--user",
                "--vault-id", "--vault-pass-file", "--vault-password-file", "--verbose",
                "--version", "--key-file", "--become-pass-file", "--conn-pass-file"]
SHORT_WITH_VALUE = "ucTtilefM"


def parser_options(parser=None):
    """(long options, short option letters that take a value) of
    ansible-playbook's own parser, or of the list above."""
    try:
        if parser is None:
            from ansible.cli.playbook import PlaybookCLI
            cli = PlaybookCLI(["ansible-playbook"])
            cli.init_parser()
            parser = cli.parser
        long_opts, short = [], ""
        for action in parser._actions:  # pylint: disable=protected-access
            for o in action.option_strings:
                if o.startswith("--"):
                    long_opts.append(o)
                elif len(o) == 2 and action.nargs != 0:
                    short += o[1]
        return long_opts, short
    except Exception:  # pylint: disable=broad-except
        return LONG_OPTIONS, SHORT_WITH_VALUE
