"""Runs a host with ACE's network services for the soak and load scripts: a conf directory in
a temporary directory, the host's standard error in a file there, /proc readings of the host
process, and a stop that never leaves the host behind."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KINDS = ["default", "select", "tp", "priority", "dev_poll"]
SERVICES = {
    "time": "dynamic Time_Service Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p {port}\"",
    "logger": "dynamic Logger Service_Object * netsvcs:_make_ACE_Server_Logging_Acceptor() \"-p {port}\"",
    "time2": "dynamic Time_Service_2 Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p {port}\"",
}
# The repository probe (bench/repo_slots_service.cpp) where the benchmarks were built.
SLOTS_LIBRARY = os.path.join(REPO, "build", "bench", "librepo_slots_service.so")
SLOTS_SERVICE = "dynamic Repo_Slots Service_Object * {lib}:make_repo_slots_service() \"\""
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "the back trace:")


def free_port():
    """A loopback port nothing listens on now (the host binds it moments later)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def add_arguments(parser):
    parser.add_argument("--starter", default=os.path.join(REPO, "build", "starter", "starter"),
                        help="the host binary (default: build/starter/starter)")
    parser.add_argument("--reactor", default="default", choices=KINDS)
    parser.add_argument("--threads", type=int, default=0,
                        help="event-loop threads (default: 4 for tp, else 1)")
    parser.add_argument("--reload", choices=["all", "changed"], default=None,
                        help="the host's --reload mode (default: the host's own)")


class Host:
    """One host process; use as a context manager so that it is always stopped."""

    def __init__(self, args, services, slots_library=None, extra=()):
        self.dir = tempfile.mkdtemp(prefix="starter-bench.")
        self.ports = {name: free_port() for name in services}
        conf = os.path.join(self.dir, "conf.d")
        os.mkdir(conf)
        for i, name in enumerate(services):
            with open(os.path.join(conf, "%02d-%s.conf" % (i * 10, name)), "w") as f:
                f.write(SERVICES[name].format(port=self.ports[name]) + "\n")
        if slots_library:
            with open(os.path.join(conf, "99-slots.conf"), "w") as f:
                f.write(SLOTS_SERVICE.format(lib=slots_library) + "\n")
        cmd = [args.starter]
        threads = args.threads or (4 if args.reactor == "tp" else 1)
        if args.reactor != "default":
            cmd += ["--reactor", args.reactor, "--threads", str(threads)]
        if getattr(args, "reload", None):
            cmd += ["--reload", args.reload]
        cmd += list(extra) + ["-f", conf]
        self.conf = conf
        self.log = os.path.join(self.dir, "stderr")
        with open(self.log, "wb") as err:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        self.status = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def wait_ready(self, timeout=20.0):
        """True once every service accepts connections, within @timeout seconds."""
        deadline = time.monotonic() + timeout
        for port in self.ports.values():
            while True:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    return False
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.05)
        return True

    def sample(self):
        """Descriptors, threads, VmRSS (kB) and heap (kB: the [heap] and anonymous mappings)."""
        pid = self.proc.pid
        fds = len(os.listdir("/proc/%d/fd" % pid))
        status = dict(line.split(":", 1) for line in open("/proc/%d/status" % pid))
        heap, in_heap = 0, False
        for line in open("/proc/%d/smaps" % pid):
            head = line.split()
            if "-" in head[0] and len(head) >= 5:  # a mapping's header line
                in_heap = head[5:] == ["[heap]"] or (len(head) == 5 and head[1].startswith("rw"))
            elif head[0] == "Rss:" and in_heap:
                heap += int(head[1])
        return {"fds": fds, "threads": int(status["Threads"]),
                "rss": int(status["VmRSS"].split()[0]), "heap": heap}

    def listen_inode(self, port):
        """The inode of the socket listening on loopback or any address at @port, or None."""
        for line in open("/proc/%d/net/tcp" % self.proc.pid).readlines()[1:]:
            f = line.split()
            if f[3] == "0A" and int(f[1].split(":")[1], 16) == port:
                return f[9]
        return None

    def holds_socket(self, inode):
        """Whether the host has the socket @inode open (/proc/PID/fd)."""
        d = "/proc/%d/fd" % self.proc.pid
        for fd in os.listdir(d):
            try:
                if os.readlink(os.path.join(d, fd)) == "socket:[%s]" % inode:
                    return True
            except OSError:
                pass
        return False

    def signal(self, signo):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signo)

    def stop(self, timeout=20.0):
        """Sends SIGTERM and returns the exit status: "0", "1", "SIGSEGV", or "hung"."""
        self.signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            self.status = "hung"
            return self.status
        self.status = str(rc) if rc >= 0 else signal.Signals(-rc).name
        return self.status

    def repository_slots(self):
        """The repository sizes the probe logged, one per start-up or reload."""
        with open(self.log, errors="replace") as f:
            return [int(l.split(":")[1]) for l in f if l.startswith("repository slots:")]

    def report(self):
        """The first lines of a sanitizer report or fatal-signal trace in the host's output."""
        with open(self.log, errors="replace") as f:
            lines = f.readlines()
        for i, line in enumerate(lines):
            if any(mark in line for mark in SANITIZER_MARKS):
                return "".join(lines[i:i + 30])
        return None
