#!/usr/bin/env python3
"""Simulated controllers behind real SSH servers, on loopback ports.

Each controller is a directory that is at once its root and its simulated
world: busybox's shell and applets only (no Python, no bash, no GNU tools),
the libraries its programs need, and OpenSSH's sshd or dropbear started in
it (chroot, in a mount namespace of its own with /proc), so the role reaches
it as it reaches a real one and uses the real paths (TARVO_SIM_ROOT is /).
Needs root (chroot, mknod, mount).

    tests/fleet/ssh_fleet.py start DIR BUILD N [openssh|dropbear|both]
    tests/fleet/ssh_fleet.py stop DIR

start makes N controllers c01.. in DIR and DIR/inventory.yml and leaves the
servers running; stop ends them (by the pids that start wrote).
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

SERVERS = {"openssh": "/usr/sbin/sshd", "dropbear": "/usr/sbin/dropbear"}
PROGRAMS = ("tarvo_update", "tarvo_info", "tarvo_recover")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def libraries(programs):
    """Every shared object the programs load, by path (ldd)."""
    found = set()
    for p in programs:
        out = subprocess.run(["ldd", p], capture_output=True, text=True).stdout
        for line in out.splitlines():
            parts = line.split()
            path = parts[2] if "=>" in parts and len(parts) > 2 else parts[0] if parts else ""
            if path.startswith("/"):
                found.add(path)
    return sorted(found)


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def wait_listening(port, proc, seconds=20):
    """Until the server takes connections (or it died, or time ran out)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end and proc.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class BusyboxTree:
    """What a busybox-only controller holds besides the package: busybox and
    its applets, the libraries that the simulated programs of BUILD and the
    OTHER programs load, device nodes and the users' files."""

    def __init__(self, build, other=()):
        self.busybox = shutil.which("busybox")
        listed = subprocess.run([self.busybox, "--list"], capture_output=True, text=True).stdout
        self.applets = [a for a in listed.split() if a and "/" not in a]
        self.libs = libraries([os.path.join(build, "sim", p) for p in PROGRAMS] + list(other))

    def lay_out(self, root):
        """Makes ROOT, a world of tarvo-sim init, a controller's root (its
        links to the build become copies)."""
        for d in ("bin", "etc", "dev", "proc", "root"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        bin_dir = os.path.join(root, "opt/tarvo_update/bin")
        for name in os.listdir(bin_dir):
            path = os.path.join(bin_dir, name)
            if os.path.islink(path):
                target = os.path.realpath(path)
                os.remove(path)
                shutil.copy(target, path)
        shutil.copy(self.busybox, os.path.join(root, "bin", "busybox"))
        for applet in self.applets:
            link = os.path.join(root, "bin", applet)
            if not os.path.lexists(link):
                os.symlink("busybox", link)
        for lib in self.libs:
            dest = root + lib
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copy(lib, dest)
        for name, major, minor in (("null", 1, 3), ("zero", 1, 5), ("random", 1, 8),
                                   ("urandom", 1, 9), ("tty", 5, 0)):
            dev = os.path.join(root, "dev", name)
            if not os.path.exists(dev):
                os.mknod(dev, 0o666 | 0o020000, os.makedev(major, minor))
        write(os.path.join(root, "etc/passwd"),
              "root:x:0:0:root:/root:/bin/sh\nsshd:x:100:65534::/run/sshd:/bin/false\n")
        write(os.path.join(root, "etc/group"), "root:x:0:\nnogroup:x:65534:\n")
        write(os.path.join(root, "etc/shadow"),
              "root:*:19000:0:99999:7:::\nsshd:*:19000::::::\n", 0o600)
        write(os.path.join(root, "etc/shells"), "/bin/sh\n")


class Controller:
    def __init__(self, fleet, name, server, port2="tarvo"):
        self.fleet, self.name, self.server = fleet, name, server
        self.root = os.path.join(fleet.dir, name)
        self.port = free_port()
        self.proc = None
        subprocess.run([fleet.tool, "init", self.root, "--port2", port2], check=True,
                       stdout=subprocess.DEVNULL)
        if server:
            self._lay_out()

    def _lay_out(self):
        r = self.root
        self.fleet.tree.lay_out(r)
        for d in ("root/.ssh", "run", "usr/sbin", "var/run"):
            os.makedirs(os.path.join(r, d), exist_ok=True)
        os.chmod(os.path.join(r, "root"), 0o700)
        shutil.copy(self.fleet.client_key + ".pub", os.path.join(r, "root/.ssh/authorized_keys"))
        os.chmod(os.path.join(r, "root/.ssh/authorized_keys"), 0o600)
        binary = SERVERS[self.server]
        shutil.copy(binary, r + binary)
        if self.server == "openssh":
            os.makedirs(os.path.join(r, "run/sshd"), mode=0o755, exist_ok=True)
            key = os.path.join(r, "etc/ssh/ssh_host_ed25519_key")
            os.makedirs(os.path.dirname(key), exist_ok=True)
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
            write(os.path.join(r, "etc/ssh/sshd_config"), "\n".join([
                "Port %d" % self.port, "ListenAddress 127.0.0.1",
                "HostKey /etc/ssh/ssh_host_ed25519_key", "PermitRootLogin prohibit-password",
                "AuthorizedKeysFile /root/.ssh/authorized_keys", "PasswordAuthentication no",
                "KbdInteractiveAuthentication no", "UsePAM no", "UseDNS no",
                "PidFile /run/sshd.pid", "MaxSessions 100", "MaxStartups 100:30:200",
                "PrintLastLog no", "Subsystem sftp internal-sftp", ""]))
            public = open(key + ".pub").read().split()[:2]
            self.command = [binary, "-D", "-e", "-f", "/etc/ssh/sshd_config"]
        else:
            key = os.path.join(r, "etc/dropbear/dropbear_ed25519_host_key")
            os.makedirs(os.path.dirname(key), exist_ok=True)
            subprocess.run(["dropbearkey", "-t", "ed25519", "-f", key], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            out = subprocess.run(["dropbearkey", "-y", "-f", key], check=True,
                                 capture_output=True, text=True).stdout
            public = next(l for l in out.splitlines() if l.startswith("ssh-")).split()[:2]
            # dropbear cannot put a session into a chroot: it runs in one.
            self.command = [binary, "-F", "-E", "-s", "-p", "127.0.0.1:%d" % self.port,
                            "-r", "/etc/dropbear/dropbear_ed25519_host_key",
                            "-P", "/run/dropbear.pid"]
        self.known_host = "[127.0.0.1]:%d %s %s\n" % (self.port, public[0], public[1])

    def start(self):
        log = open(os.path.join(self.fleet.dir, self.name + ".server.log"), "a")
        # raw asks for a terminal: the namespace gets its own pty devices.
        script = ('mount -t proc proc "$1/proc" && mkdir -p "$1/dev/pts" && '
                  'mount -t devpts -o newinstance,ptmxmode=0666 devpts "$1/dev/pts" && '
                  'ln -sf pts/ptmx "$1/dev/ptmx" && exec chroot "$@"')
        self.proc = subprocess.Popen(
            ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", self.root]
            + self.command, stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
        if not wait_listening(self.port, self.proc):
            raise RuntimeError("%s: %s did not start, see %s" % (self.name, self.server, log.name))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()

    def inventory_line(self, speed="0"):
        if not self.server:  # nothing listens there: unreachable
            return "    %s: {ansible_host: 127.0.0.1, ansible_port: %d}" % (self.name, self.port)
        return ("    %s: {ansible_host: 127.0.0.1, ansible_port: %d, "
                "tarvo_env: {TARVO_SIM_ROOT: /, TARVO_SIM_SPEED: '%s'}}" % (self.name, self.port, speed))


class Fleet:
    """Controllers by name: (server or None for unreachable, port 2's board)."""

    def __init__(self, directory, build, plan):
        self.dir = os.path.abspath(directory)
        os.makedirs(self.dir, exist_ok=True)
        build = os.path.abspath(build)
        self.tool = os.path.join(build, "sim", "tarvo-sim")
        self.tree = BusyboxTree(build, [SERVERS[s] for s in set(s for s, _ in plan.values() if s)])
        self.client_key = os.path.join(self.dir, "client_key")
        if not os.path.exists(self.client_key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.client_key],
                           check=True)
        self.controllers = {n: Controller(self, n, s, p2) for n, (s, p2) in plan.items()}
        self.known_hosts = os.path.join(self.dir, "known_hosts")
        with open(self.known_hosts, "w") as f:
            for c in self.controllers.values():
                if c.server:
                    f.write(c.known_host)
        self.speeds = {}
        self.write_inventory()

    def write_inventory(self):
        lines = ["controllers:", "  vars:", "    ansible_user: root",
                 "    ansible_ssh_private_key_file: %s" % self.client_key,
                 "    ansible_ssh_common_args: '-o UserKnownHostsFile=%s -o IdentitiesOnly=yes'"
                 % self.known_hosts, "  hosts:"]
        lines += [c.inventory_line(self.speeds.get(n, "0")) for n, c in self.controllers.items()]
        self.inventory = os.path.join(self.dir, "inventory.yml")
        write(self.inventory, "\n".join(lines) + "\n")

    def start(self):
        for c in self.controllers.values():
            if c.server:
                c.start()

    def stop(self):
        for c in self.controllers.values():
            c.stop()


def main():
    if len(sys.argv) >= 5 and sys.argv[1] == "start":
        directory, build, n = sys.argv[2], sys.argv[3], int(sys.argv[4])
        kind = sys.argv[5] if len(sys.argv) > 5 else "both"
        kinds = ["openssh", "dropbear"] if kind == "both" else [kind]
        fleet = Fleet(directory, build, {"c%02d" % (i + 1): (kinds[i % len(kinds)], "tarvo")
                                         for i in range(n)})
        fleet.start()
        with open(os.path.join(fleet.dir, "servers.pid"), "w") as f:
            f.write("".join("%d\n" % c.proc.pid for c in fleet.controllers.values() if c.proc))
        print(fleet.inventory)
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "stop":
        path = os.path.join(sys.argv[2], "servers.pid")
        for pid in open(path).read().split() if os.path.exists(path) else []:
            try:
                os.kill(int(pid), signal.SIGTERM)
            except ProcessLookupError:
                pass
        return 0
    sys.stderr.write(__doc__)
    return 1


if __name__ == "__main__":
    sys.exit(main())
