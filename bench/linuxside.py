"""What the benchmarks observe from the Linux side of Wine: file events (inotify),
and the CPU time and memory of the Linux processes that run Windows programs."""
import ctypes
import os
import select
import struct
import threading
import time

IN_CLOSE_WRITE = 0x008
IN_MOVED_FROM = 0x040
IN_MOVED_TO = 0x080
IN_CREATE = 0x100
IN_DELETE = 0x200
IN_ISDIR = 0x40000000
IN_NONBLOCK = 0o4000
IN_CLOEXEC = 0o2000000
WATCH_MASK = IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE

_libc = ctypes.CDLL("libc.so.6", use_errno=True)
_EVENT = struct.Struct("iIII")


class Event:
    __slots__ = ("t", "folder", "mask", "name")

    def __init__(self, t, folder, mask, name):
        self.t, self.folder, self.mask, self.name = t, folder, mask, name

    def is_dir(self):
        return bool(self.mask & IN_ISDIR)

    def __repr__(self):
        return "Event(%.3f, %s, %#x, %s)" % (self.t, self.folder, self.mask, self.name)


class FileEvents:
    """Records every name event in the watched folders with the time it was read.
    One reader thread blocks on the inotify descriptor, so an event is stamped within
    a fraction of a millisecond of the kernel reporting it; all stamps share one clock
    (time.monotonic), which is what makes differences between folders meaningful."""

    def __init__(self):
        self.fd = _libc.inotify_init1(IN_NONBLOCK | IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.folders = {}
        self.events = []
        self.cond = threading.Condition()
        self.stop_r, self.stop_w = os.pipe()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def watch(self, folder):
        wd = _libc.inotify_add_watch(self.fd, os.fsencode(folder), WATCH_MASK)
        if wd < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + folder)
        self.folders[wd] = os.path.normpath(folder)

    def close(self):
        os.write(self.stop_w, b"x")
        self.thread.join(5)
        os.close(self.fd)
        os.close(self.stop_r)
        os.close(self.stop_w)

    def _run(self):
        while True:
            ready, _, _ = select.select([self.fd, self.stop_r], [], [])
            now = time.monotonic()
            if self.stop_r in ready:
                return
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                continue
            batch = []
            offset = 0
            while offset + _EVENT.size <= len(data):
                wd, mask, _cookie, length = _EVENT.unpack_from(data, offset)
                raw = data[offset + _EVENT.size: offset + _EVENT.size + length]
                offset += _EVENT.size + length
                batch.append(Event(now, self.folders.get(wd, "?"), mask, os.fsdecode(raw.rstrip(b"\0"))))
            with self.cond:
                self.events.extend(batch)
                self.cond.notify_all()

    def select(self, folder, name, mask, since=0.0):
        folder = os.path.normpath(folder)
        with self.cond:
            return [e for e in self.events
                    if e.t >= since and e.folder == folder and e.name == name and (e.mask & mask) == mask]

    def first(self, folder, name, mask, since=0.0, timeout=0.0):
        """The first matching event at or after `since`, waiting up to `timeout` s."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                found = self._match(folder, name, mask, since)
                if found is not None or time.monotonic() >= end:
                    return found
                self.cond.wait(min(0.5, max(0.01, end - time.monotonic())))

    def _match(self, folder, name, mask, since):
        folder = os.path.normpath(folder)
        for e in self.events:
            if e.t >= since and e.folder == folder and e.name == name and (e.mask & mask) == mask:
                return e
        return None


# ---- processes --------------------------------------------------------------------
TICKS = os.sysconf("SC_CLK_TCK")


def _stat_fields(path):
    with open(path) as f:
        text = f.read()
    return text[text.rindex(")") + 2:].split()


def cpu_seconds(pid):
    """User plus system CPU time of a Linux process (all its threads)."""
    fields = _stat_fields("/proc/%d/stat" % pid)
    return (int(fields[11]) + int(fields[12])) / TICKS


def thread_cpu(pid):
    """CPU seconds of each thread of a process, by thread id."""
    result = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            fields = _stat_fields("/proc/%d/task/%s/stat" % (pid, tid))
        except OSError:
            continue
        result[int(tid)] = (int(fields[11]) + int(fields[12])) / TICKS
    return result


def memory_kb(pid):
    """Resident (VmRSS), peak resident (VmHWM), and from smaps_rollup the
    proportional (Pss) and private resident sizes, in kB."""
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(rest.split()[0])
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("Pss", "Private_Clean", "Private_Dirty"):
                    out[key] = int(rest.split()[0])
    except OSError:
        pass
    out["Private"] = out.pop("Private_Clean", 0) + out.pop("Private_Dirty", 0)
    return out


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return []


def windows_process(popen, exe_name, timeout=10.0):
    """The Linux process that runs a Windows program started as `wine PROGRAM`:
    Wine's loader takes over the launcher's process, so it is the child itself once
    its command line names the program."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        args = command_line(popen.pid)
        if args and args[0].lower().endswith(exe_name.lower()):
            return popen.pid
        if popen.poll() is not None:
            break
        time.sleep(0.05)
    raise RuntimeError("no Linux process runs %s" % exe_name)


def wineserver_pid(prefix_path):
    """The wineserver of one prefix: found by its executable and its WINEPREFIX."""
    want = ("WINEPREFIX=" + prefix_path).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if not os.path.basename(os.readlink("/proc/%s/exe" % entry)).startswith("wineserver"):
                continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if want in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


# ---- figures ------------------------------------------------------------------------
def median(values):
    values = sorted(values)
    if not values:
        return float("nan")
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2.0


def percentile(values, pct):
    """Nearest-rank percentile."""
    values = sorted(values)
    if not values:
        return float("nan")
    rank = max(1, int(-(-pct * len(values) // 100)))
    return values[min(rank, len(values)) - 1]
