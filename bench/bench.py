"""Benchmarks of the real BgndTask.exe under Wine against the scanner simulator:
filing overhead, delivery throughput, idle cost, the lock-entry poll, scale, and
the scans waiting when the task starts.

The machines here are shared and noisy, so every figure comes with a reference
measured side by side in the same run, and distributions are summarised by medians.
File times are taken from the Linux side (inotify, one clock for every folder);
CPU time and memory from /proc of the Linux process that runs each Windows program.
"""
import argparse
import datetime
import filecmp
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)
from simprefix import SimPrefix, Task, wait_for  # noqa: E402
from linuxside import (IN_CLOSE_WRITE, IN_DELETE, IN_ISDIR, IN_MOVED_TO, FileEvents, cpu_seconds, memory_kb,  # noqa: E402
                       median, percentile, wineserver_pid, windows_process)
from session import bench_address, bench_session_end, report_session  # noqa: E402

PAUSE_MS = 1000.0          # the mandated pause between a lock entry's removal and the filing
POLL_BOUND = 3000000       # existence checks of one lock-entry poll
MB = 1024 * 1024
BENCH_TOOLS = ("bench/benchref.exe", "bench/benchidle.exe")
# What BgndTask.exe imports beyond what a bare window program needs.
TASK_DLLS = ("advapi32.dll", "iphlpapi.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "sti.dll",
             "ws2_32.dll", "wtsapi32.dll")


class Config:
    def __init__(self, quick):
        self.quick = quick
        self.filing_scans = 15 if quick else 50
        self.filing_gap_ms = 2500
        self.delivery_pairs = 3 if quick else 6
        self.delivery_bytes = 200 * MB
        self.idle_seconds = 120 if quick else 600
        self.idle_server_alone_s = 60 if quick else 180
        self.poll_burst = 10
        self.slow_write_s = 10.0 if quick else 20.0
        self.stuck_single = 30
        self.stuck_folders = 10
        self.stuck_minutes = 2.0 if quick else 4.0
        self.stuck_gap_s = 7.0
        self.republish_under_way_s = 15.0
        self.poll_reference_checks = 300000
        self.scale_scanners = 16
        self.scale_burst = 8 if quick else 20
        self.budget_s = (8 if quick else 19) * 60.0
        self.waiting_scans = 100
        self.waiting_quiet_s = 4.0
        self.session_rounds = 3 if quick else 10
        self.address_rounds = 4 if quick else 12


def log(text):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), text), flush=True)


# ---- the simulator's prefix and the task ------------------------------------------------
def prepare_prefix(build, name):
    prefix = SimPrefix(build, name)
    prefix.ensure()
    for rel in BENCH_TOOLS:
        shutil.copy2(os.path.join(prefix.build, rel), prefix.bin_unix)
    prefix.reset()
    return prefix


def watchers_ready(prefix, scanners):
    """True once every scanner's watcher has written its per-user option, the last
    step before it opens the temporary folder."""
    rc, out = prefix.wine("reg", "query", r"HKCU\Software\Orbek", "/s", check=False)
    ready = set()
    for block in re.split(r"\n(?=HKEY_)", out):
        if "_DeleteImageOnScan" in block:
            ready.add(block.split("\n", 1)[0].strip().lower())
    return all(("hkey_current_user\\" + s["userRegPath"]).lower() in ready for s in scanners)


def start_task(prefix, scanners, timeout=180):
    task = Task(prefix)
    pid = windows_process(task.proc, "BgndTask.exe")
    if prefix.wine(prefix.tool("bgctl.exe"), "wait", "60", check=False)[0] != 0:
        raise RuntimeError("the task's window did not appear")
    if not wait_for(lambda: watchers_ready(prefix, scanners), timeout, interval=1.0):
        raise RuntimeError("not every watcher started within %d s" % timeout)
    time.sleep(2.0)  # from the option's write to the first directory read
    return task, pid


def warm_up(prefix, scanners):
    """One scan into each scanner before anything is timed: the task creates the
    Documents folders with the first job, and only then can they be watched."""
    procs = [drop(prefix, s, "WARMUP", background=True) for s in scanners]
    for p in procs:
        p.wait(timeout=300)
    jobs = [prefix.unix(s["docFolder"] + r"\WARMUP.osm") for s in scanners]
    if not wait_for(lambda: all(os.path.isdir(j) for j in jobs), 60 + 2 * len(scanners)):
        raise RuntimeError("the warm-up scans were not filed")
    time.sleep(2.5)  # the watchers' pause for the lock entries' removal reports


def drop(prefix, scanner, stem, *args, background=False):
    cmd = ["wine", prefix.tool("simdrop.exe"), scanner["tempFolder"], stem, *args]
    if background:
        return subprocess.Popen(cmd, env=prefix.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    prefix.wine(*cmd[1:], timeout=900)
    return None


def benchref(prefix, *args, timeout=600):
    rc, out = prefix.wine(prefix.tool("benchref.exe"), *args, timeout=timeout)
    return out


def job_complete_event(events, prefix, scanner, stem, since, timeout):
    """The job folder is complete when the task removes its lock folder in Documents."""
    return events.first(prefix.unix(scanner["docFolder"]), stem + ".lck", IN_DELETE | IN_ISDIR, since, timeout)


# ---- 1. filing overhead -------------------------------------------------------------------
def filing_contents_ok(prefix, scanner, stem, kind):
    job = prefix.unix(scanner["docFolder"] + "\\" + stem + ".osm")
    if not os.path.isdir(job):
        return False
    names = set(os.listdir(job))
    if kind == "tif":
        return names == {stem + ".tif", stem + ".ost"}
    pages = {"%s_p%d.%s" % (stem, p, ext) for p in (1, 2) for ext in ("tif", "tmb", "jpg")}
    return names == pages | {stem + ".ost"}


def bench_filing(cfg, prefix, events, scanners):
    """Single-file scans into one scanner and folder scans into another, each dropped
    one after another, the two series side by side. A scan's overhead is the time from
    its lock entry's removal to its job folder being complete, less the 1000 ms pause."""
    n, gap = cfg.filing_scans, cfg.filing_gap_ms
    series = {"single-file": ("tif", scanners["single"]), "folder": ("folder", scanners["folder"])}
    start = time.monotonic()
    procs = [drop(prefix, s, "F" + kind.upper(), "--kind", kind, "--burst", str(n), "--gap", str(gap),
                  background=True) for kind, s in series.values()]
    # Wine's own timer beside it: how long Sleep(1000) really takes under this load.
    sleeps = [float(v) for v in re.findall(r"sleep_ms=([\d.]+)", benchref(prefix, "sleep", "20"))]
    for p in procs:
        p.wait(timeout=n * gap / 1000.0 + 300)
    # The floor under the overhead: the file operations no filing can do without,
    # timed alone in the same Documents folder once the scans are in.
    job_complete_event(events, prefix, series["single-file"][1], "FTIF_%d" % n, start, 60)
    floor = [float(v) for v in re.findall(r"fileops_ms=([\d.]+)",
                                          benchref(prefix, "fileops", series["single-file"][1]["docFolder"], "20"))]
    result = {"scans_per_kind": n, "gap_ms": gap, "sleep1000_ms": sleeps, "fileops_ms": floor, "kinds": {}}
    for label, (kind, scanner) in series.items():
        temp, overheads, missing, wrong = prefix.unix(scanner["tempFolder"]), [], 0, 0
        for i in range(1, n + 1):
            stem = "F%s_%d" % (kind.upper(), i)
            removed = events.first(temp, stem + ".lck", IN_DELETE, start, 0)
            done = job_complete_event(events, prefix, scanner, stem, start, 60 if i == n else 5)
            if removed is None or done is None:
                missing += 1
                continue
            wrong += 0 if filing_contents_ok(prefix, scanner, stem, kind) else 1
            overheads.append((done.t - removed.t) * 1000.0 - PAUSE_MS)
        result["kinds"][label] = {"overhead_ms": overheads, "missing": missing, "wrong_contents": wrong}
    return result


# ---- 2. delivery throughput ---------------------------------------------------------------
def bench_delivery(cfg, prefix, events, scanner, pc_folder):
    """A large image delivered to a PC folder, beside two plain CopyFileW copies of the
    same file between the same folders, alternating, in the same run."""
    temp_win = benchref(prefix, "temppath").strip()
    temp_unix = prefix.unix(temp_win.rstrip("\\"))
    pc_unix = prefix.unix(pc_folder)
    events.watch(temp_unix)
    events.watch(pc_unix)
    template = scanner["templateFolder"] + r"\Default.ost"
    pairs = []
    for k in range(1, cfg.delivery_pairs + 1):
        stem = "BIG%d" % k
        since = time.monotonic()
        drop(prefix, scanner, stem, "--kind", "tif", "--size", str(cfg.delivery_bytes), "--template", template)
        done = job_complete_event(events, prefix, scanner, stem, since, 120)
        # The delivery writes a file of its own ("<name>.<thread>-<n>.partial") and
        # renames it to the image's name once whole: that rename ends it.
        delivered_event = done and events.first(pc_unix, stem + ".tif", IN_MOVED_TO, done.t, 300)
        if done is None or delivered_event is None:
            pairs.append({"stem": stem, "error": "job not filed" if done is None else "delivery not finished"})
            continue
        delivered = os.path.join(pc_unix, stem + ".tif")
        job_image = prefix.unix(scanner["docFolder"] + "\\%s.osm\\%s.tif" % (stem, stem))
        intact = os.path.getsize(delivered) == cfg.delivery_bytes and \
            filecmp.cmp(delivered, job_image, shallow=False)
        out = benchref(prefix, "copy2", scanner["docFolder"] + "\\%s.osm\\%s.tif" % (stem, stem),
                       pc_folder + "\\REF%d.tif" % k)
        m = re.search(r"ms=([\d.]+)", out)
        pairs.append({"stem": stem, "delivery_ms": (delivered_event.t - done.t) * 1000.0,
                      "reference_ms": float(m.group(1)) if m else None, "intact": intact})
        shutil.rmtree(prefix.unix(scanner["docFolder"] + "\\%s.osm" % stem), ignore_errors=True)
        for name in (stem + ".tif", "REF%d.tif" % k):
            if os.path.exists(os.path.join(pc_unix, name)):
                os.remove(os.path.join(pc_unix, name))
        time.sleep(1.5)  # the watcher's pause for the lock entry's removal report
    return {"bytes": cfg.delivery_bytes, "pairs": pairs}


# ---- 3. idle cost -------------------------------------------------------------------------
def server_alone(server, seconds):
    """The same wineserver with only the bare windows left: what the prefix costs by
    itself (Wine's own device drivers poll), beside which the task's figure is read."""
    time.sleep(5.0)  # past the task's end
    t0, cpu0 = time.monotonic(), cpu_seconds(server)
    time.sleep(seconds)
    return (cpu_seconds(server) - cpu0) / ((time.monotonic() - t0) / 60.0)


def bench_idle(cfg, build, out):
    """The task with four simulated scanners, idle after its start-up, beside a bare
    hidden-window program in the same prefix, measured over the same minutes."""
    try:
        prefix = prepare_prefix(build, "bench-idle-prefix")
        scanners = [prefix.install_scanner("--name", "Idle%d" % i) for i in range(1, 5)]
        task, task_pid = start_task(prefix, scanners)
        started = []
        try:
            procs = {}
            for key, dlls in (("bare", []), ("bare_dlls", TASK_DLLS), ("bare_tick", ["--tick"])):
                p = subprocess.Popen(["wine", prefix.tool("benchidle.exe"),
                                      str(cfg.idle_seconds + cfg.idle_server_alone_s + 120), *dlls],
                                     env=prefix.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
                started.append(p)
                procs[key] = windows_process(p, "benchidle.exe")
            time.sleep(15.0)  # all past their start-up
            server = wineserver_pid(prefix.path)
            pids = {"task": task_pid, **procs}
            t0 = time.monotonic()
            cpu0 = {k: cpu_seconds(p) for k, p in pids.items()}
            server0 = cpu_seconds(server) if server else None
            samples = []
            while time.monotonic() - t0 < cfg.idle_seconds:
                samples.append({"t": time.monotonic() - t0,
                                **{k + "_rss_kb": memory_kb(p)["VmRSS"] for k, p in pids.items()},
                                **{k + "_cpu_s": cpu_seconds(p) - cpu0[k] for k, p in pids.items()}})
                time.sleep(min(10.0, max(0.1, cfg.idle_seconds - (time.monotonic() - t0))))
            minutes = (time.monotonic() - t0) / 60.0
            result = {"minutes": minutes, "samples": samples}
            for k, p in pids.items():
                result[k] = {"cpu_s_per_min": (cpu_seconds(p) - cpu0[k]) / minutes, **memory_kb(p)}
            if server:
                result["wineserver_cpu_s_per_min"] = (cpu_seconds(server) - server0) / minutes
                task.stop()
                result["wineserver_without_task_cpu_s_per_min"] = server_alone(server, cfg.idle_server_alone_s)
            out["idle"] = result
        finally:
            task.stop()
            for p in started:
                if p.poll() is None:
                    p.kill()
                    p.wait()
    except Exception as e:  # reported in the table; the other benchmarks go on
        out["idle"] = {"error": repr(e)}


# ---- 4. scans written slowly -----------------------------------------------------------------
def cpu_of(pid, server):
    return cpu_seconds(pid), (cpu_seconds(server) if server else 0.0)


def slow_scans(prefix, pid, server, scanner, tag, count, write_s):
    """`count` scans whose lock entries stand for `write_s` seconds while the
    driver writes them, all at once, then their files and the lock entries' removal,
    as the driver does. The CPU of the task and of its wineserver from the first lock
    entry until every scan is filed and the removal reports are over."""
    temp = prefix.unix(scanner["tempFolder"])
    stems = ["%s%d" % (tag, i) for i in range(1, count + 1)]
    task0, server0 = cpu_of(pid, server)
    for stem in stems:
        open(os.path.join(temp, stem + ".lck"), "w").close()
    time.sleep(write_s)
    during = cpu_of(pid, server)
    for stem in stems:
        with open(os.path.join(temp, stem + ".tif"), "wb") as f:
            f.write(os.urandom(64 * 1024))
        with open(os.path.join(temp, stem + ".ost"), "w") as f:
            f.write('Name "%s"\n' % stem)
        os.remove(os.path.join(temp, stem + ".lck"))
    docs = prefix.unix(scanner["docFolder"])
    wait_for(lambda: all(os.path.exists(os.path.join(docs, s + ".osm", s + ".tif")) for s in stems),
             60 + 2 * count, interval=0.2)
    time.sleep(3.0)  # the last filings' deliveries and reports
    task1, server1 = cpu_of(pid, server)
    filed = sum(1 for s in stems if filing_contents_ok(prefix, scanner, s, "tif"))
    return {"scans": count, "write_s": write_s, "filed": filed,
            "task_cpu_s": task1 - task0, "wineserver_cpu_s": server1 - server0,
            "task_cpu_while_written_s": during[0] - task0, "wineserver_cpu_while_written_s": during[1] - server0}


def bench_poll(cfg, prefix, pid, scanner, deadline):
    """One scan written for 20 s, then a burst of 10 such scans at once, then the
    old poll's bound (3,000,000 existence checks) in a plain program for reference."""
    server = wineserver_pid(prefix.path)
    result = {"one": slow_scans(prefix, pid, server, scanner, "SLOWONE", 1, cfg.slow_write_s)}
    result["burst"] = slow_scans(prefix, pid, server, scanner, "SLOWBURST", cfg.poll_burst, cfg.slow_write_s)
    lock_win = scanner["tempFolder"] + "\\NOSUCH.lck"
    before = cpu_seconds(server) if server else 0.0
    out = benchref(prefix, "exists", lock_win, str(cfg.poll_reference_checks))
    m = re.search(r"checks=(\d+) found=(\d+) wall_ms=([\d.]+) cpu_ms=([\d.]+)", out)
    if m:
        result["reference"] = {"checks": int(m.group(1)), "found": int(m.group(2)),
                               "wall_s": float(m.group(3)) / 1000.0, "thread_cpu_s": float(m.group(4)) / 1000.0,
                               "wineserver_cpu_s": (cpu_seconds(server) - before) if server else None}
    return result


# ---- 9. a new scan beside scans that cannot be filed ----------------------------------------
def bench_stuck(cfg, prefix):
    """Single-file scans whose image another program holds open, and folder jobs
    whose folder it holds, wait in the temporary folder from the start; new scans
    dropped one after another meanwhile. A new scan's latency: its lock entry's
    removal → its job folder complete (the 1000 ms settling pause included)."""
    prefix.reset()
    scanner = prefix.install_scanner("--name", "Stuck")
    temp = prefix.unix(scanner["tempFolder"])
    held = []
    for i in range(1, cfg.stuck_single + 1):
        stem = "HELD%d" % i
        with open(os.path.join(temp, stem + ".tif"), "wb") as f:
            f.write(b"held image")
        with open(os.path.join(temp, stem + ".ost"), "w") as f:
            f.write('Name "%s"\n' % stem)
        held.append(scanner["tempFolder"] + "\\" + stem + ".tif")
    for i in range(1, cfg.stuck_folders + 1):
        stem = "STUCKF%d" % i
        os.makedirs(os.path.join(temp, stem + ".osm"))
        with open(os.path.join(temp, stem + ".osm", "p1.tif"), "wb") as f:
            f.write(b"page")
        held.append(scanner["tempFolder"] + "\\" + stem + ".osm")
    holder = subprocess.Popen(["wine", prefix.tool("benchref.exe"), "hold", str(int(cfg.stuck_minutes * 60 + 300)),
                               *held], env=prefix.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    line = holder.stdout.readline()
    events = FileEvents()
    task = None
    try:
        task, pid = start_task(prefix, [scanner])
        docs = prefix.unix(scanner["docFolder"])
        wait_for(lambda: os.path.isdir(docs), 60)
        events.watch(docs)
        latencies = []
        t_end = time.monotonic() + cfg.stuck_minutes * 60
        n = 0
        while time.monotonic() < t_end:
            n += 1
            stem = "NEW%d" % n
            with open(os.path.join(temp, stem + ".lck"), "w") as f:
                pass
            with open(os.path.join(temp, stem + ".tif"), "wb") as f:
                f.write(os.urandom(4096))
            with open(os.path.join(temp, stem + ".ost"), "w") as f:
                f.write('Name "%s"\n' % stem)
            t0 = time.monotonic()
            os.remove(os.path.join(temp, stem + ".lck"))
            done = job_complete_event(events, prefix, scanner, stem, t0, 120)
            latencies.append(done.t - t0 if done is not None else None)
            log("   new scan %d: filed after %s s" % (n, None if done is None else round(done.t - t0, 2)))
            time.sleep(cfg.stuck_gap_s)
        return {"held": line.strip(), "single": cfg.stuck_single, "folders": cfg.stuck_folders,
                "minutes": cfg.stuck_minutes, "latencies_s": latencies}
    finally:
        if task is not None:
            task.stop()
        events.close()
        holder.kill()
        holder.wait()


# ---- 10. a session end while a republish is under way -----------------------------------------
def bench_session_republish(cfg, prefix):
    """A WIA scanner whose root item never comes: the start-up republish retries
    it for up to 100 s. A session-end query sent while that pass is under way,
    query sent → answered, beside the delete pass's own bound for that scanner
    (5 pauses of 5 s)."""
    prefix.reset()
    wia = prefix.install_scanner("--name", "SilentWia", "--wia", "--model", "Orbek Chromhold")
    prefix.wine("reg", "add", _class_key_of(wia) + r"\DeviceData", "/v", "SimSilent", "/t", "REG_DWORD",
                "/d", "1", "/f")
    task = Task(prefix)
    try:
        if prefix.wine(prefix.tool("bgctl.exe"), "wait", "60", check=False)[0] != 0:
            raise RuntimeError("the task's window did not appear")
        time.sleep(cfg.republish_under_way_s)  # the start-up republish is in its retries
        rc, out = prefix.wine(prefix.tool("bgctl.exe"), "cancel", "300", check=False, timeout=400)
        m = re.search(r"held_ms=(\d+)", out)
        return {"held_ms": int(m.group(1)) if m else None, "delete_bound_ms": 5 * 5000,
                "after_s": cfg.republish_under_way_s}
    finally:
        task.stop()


def _class_key_of(scanner):
    from session import CLASS_KEY
    return CLASS_KEY + "\\" + scanner["driverKey"].rsplit("\\", 1)[-1]


# ---- 5. scale -----------------------------------------------------------------------------
def burst_into(prefix, events, scanners, tag, count):
    """One burst of `count` scans into each scanner at once; answers the time to the
    last job folder completed, the number filed intact, and the completion times."""
    for s in scanners:
        events.watch(prefix.unix(s["docFolder"]))
    started = time.monotonic()
    procs = [drop(prefix, s, tag, "--burst", str(count), background=True) for s in scanners]
    for p in procs:
        p.wait(timeout=600)
    completions, filed = [], 0
    for s in scanners:
        for i in range(1, count + 1):
            stem = "%s_%d" % (tag, i)
            done = job_complete_event(events, prefix, s, stem, started, 60 + count * 5 if i == count else 5)
            if done is not None:
                completions.append(done.t - started)
                filed += 1 if filing_contents_ok(prefix, s, stem, "tif") else 0
    return {"scanners": len(scanners), "scans": len(scanners) * count, "filed": filed,
            "total_s": max(completions) if completions else None, "completions_s": sorted(completions)}


# ---- 6. scans waiting at the start --------------------------------------------------------
def bench_waiting(cfg, prefix):
    """Scans finished while no task ran (before the log-on's task started, or while
    it was down) wait in the temporary folder; the task files them when its watch
    begins. Time from the task's start, and from its watch being ready, until every
    one is filed whole. Scans quiet for a few seconds need no settling pause, so the
    1000 ms pause per scan (the reference: how long they would take with it) is not paid."""
    prefix.reset()
    scanner = prefix.install_scanner("--name", "Waiting")
    n = cfg.waiting_scans
    drop(prefix, scanner, "WAIT", "--burst", str(n), "--hold", "0")
    temp, docs = prefix.unix(scanner["tempFolder"]), prefix.unix(scanner["docFolder"])
    stems = ["WAIT_%d" % i for i in range(1, n + 1)]
    time.sleep(cfg.waiting_quiet_s)  # as scans waiting since before the start would be

    def filed():
        return sum(1 for stem in stems if filing_contents_ok(prefix, scanner, stem, "tif"))
    started = time.monotonic()
    task = Task(prefix)
    try:
        ready = None
        while time.monotonic() - started < 300:
            if ready is None and watchers_ready(prefix, [scanner]):
                ready = time.monotonic()
            if not any(f.startswith("WAIT_") for f in os.listdir(temp)) and filed() == n:
                break
            time.sleep(0.2)
        done = time.monotonic()
        count = filed()
    finally:
        task.stop()
    left = len([f for f in os.listdir(temp) if f.startswith("WAIT_")])
    return {"measured": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "scans": n, "filed": count, "left": left,
            "from_start_s": done - started,
            "from_watch_s": (done - ready) if ready is not None else None,
            "reference_with_pause_s": n * PAUSE_MS / 1000.0,
            "lock_folders": len([f for f in os.listdir(docs) if f.endswith(".lck")]) if os.path.isdir(docs) else 0}


# ---- tables and charts ----------------------------------------------------------------------
def fmt(v, pattern="%.1f"):
    return "n/a" if v is None or v != v else pattern % v


def table(title, header, rows):
    lines = ["", "### " + title, "", "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return lines


def report(res, cfg):
    out = []
    f = res.get("filing")
    if f:
        rows = []
        for label, k in f["kinds"].items():
            o = k["overhead_ms"]
            rows.append([label, "%d/%d" % (len(o), f["scans_per_kind"]), fmt(median(o)), fmt(percentile(o, 95)),
                         fmt(max(o) if o else None), k["wrong_contents"], "≤ 2 ms median"])
        s = f["sleep1000_ms"]
        rows.append(["reference: Wine's Sleep(1000) − 1000", "%d pauses" % len(s), fmt(median(s) - 1000.0),
                     fmt(percentile(s, 95) - 1000.0), fmt(max(s) - 1000.0 if s else None), "", ""])
        fo = f.get("fileops_ms") or []
        if fo:
            rows.append(["reference: the filing's own file operations alone (lock, 2 folders, 2 moves, marker, "
                         "2 removals)", "%d rounds" % len(fo), fmt(median(fo)), fmt(percentile(fo, 95)),
                         fmt(max(fo)), "", ""])
        out += table("1. Filing overhead (lock entry removed → job folder complete, less the 1000 ms pause), ms",
                     ["series", "filed", "median", "p95", "max", "wrong contents", "goal"], rows)
    d = res.get("delivery")
    if d:
        ok = [p for p in d["pairs"] if p.get("delivery_ms") and p.get("reference_ms")]
        rows = [[p["stem"], fmt(p["delivery_ms"], "%.0f"), fmt(p["reference_ms"], "%.0f"),
                 fmt(p["delivery_ms"] / p["reference_ms"], "%.2f"), p["intact"]] for p in ok]
        rows += [[p["stem"], p["error"], "", "", ""] for p in d["pairs"] if "error" in p]
        if ok:
            ratio = median([p["delivery_ms"] for p in ok]) / median([p["reference_ms"] for p in ok])
            rows.append(["**median**", fmt(median([p["delivery_ms"] for p in ok]), "%.0f"),
                         fmt(median([p["reference_ms"] for p in ok]), "%.0f"), "**%.2f** (goal ≤ 1.2)" % ratio, ""])
        out += table("2. Delivery of a %d MB image (job folder complete → delivered file complete) "
                     "vs two plain CopyFileW copies, ms" % (d["bytes"] // MB),
                     ["scan", "delivery", "2 × CopyFileW", "ratio", "intact"], rows)
    i = res.get("idle")
    if i:
        if "error" in i:
            out += table("3. Idle cost", ["error"], [[i["error"]]])
        else:
            rows = []
            for k, label in (("task", "BgndTask.exe, 4 scanners"), ("bare", "bare hidden-window program"),
                             ("bare_dlls", "the same, with the task's DLLs loaded"),
                             ("bare_tick", "the same, with a 5000 ms timer re-armed on every tick")):
                m = i.get(k)
                if m:
                    rows.append([label, fmt(m["cpu_s_per_min"], "%.3f"), fmt(m["VmRSS"] / 1024.0),
                                 fmt(m.get("Pss", 0) / 1024.0), fmt(m["Private"] / 1024.0)])
            for k, label in (("bare", "**task − bare** (goal ≤ 0.01 CPU s/min, ≤ +5 MB)"),
                             ("bare_dlls", "task − bare with the task's DLLs"),
                             ("bare_tick", "task − bare with the tick (what the task does beyond its timer)")):
                t, b = i["task"], i.get(k)
                if b:
                    rows.append([label, fmt(t["cpu_s_per_min"] - b["cpu_s_per_min"], "%.3f"),
                                 fmt((t["VmRSS"] - b["VmRSS"]) / 1024.0, "%+.1f"),
                                 fmt((t.get("Pss", 0) - b.get("Pss", 0)) / 1024.0, "%+.1f"),
                                 fmt((t["Private"] - b["Private"]) / 1024.0, "%+.1f")])
            if i.get("wineserver_cpu_s_per_min") is not None:
                rows.append(["their prefix's wineserver", fmt(i["wineserver_cpu_s_per_min"], "%.3f"), "", "", ""])
            if i.get("wineserver_without_task_cpu_s_per_min") is not None:
                alone = i["wineserver_without_task_cpu_s_per_min"]
                rows.append(["the same wineserver once the task ended (bare windows only)", fmt(alone, "%.3f"), "", "",
                             ""])
                rows.append(["**wineserver with the task ÷ without** (goal ≤ 2)",
                             fmt(i["wineserver_cpu_s_per_min"] / alone if alone else None, "%.2f"), "", "", ""])
            out += table("3. Idle cost over %.1f min after start-up" % i["minutes"],
                         ["process", "CPU s/min", "RSS MB", "PSS MB", "private MB"], rows)
    p = res.get("poll")
    if p:
        rows = []
        for key in ("one", "burst"):
            r = p.get(key, {})
            if "task_cpu_s" in r:
                per = (r["task_cpu_s"] + r["wineserver_cpu_s"]) / r["scans"]
                rows.append(["%d scan(s) written for %.0f s" % (r["scans"], r["write_s"]),
                             fmt(r["task_cpu_while_written_s"], "%.3f"), fmt(r["wineserver_cpu_while_written_s"], "%.3f"),
                             fmt(r["task_cpu_s"], "%.3f"), fmt(r["wineserver_cpu_s"], "%.3f"), fmt(per, "%.3f"),
                             "%d/%d" % (r["filed"], r["scans"])])
        ref = p.get("reference")
        if ref:
            scale = POLL_BOUND / ref["checks"]
            rows.append(["reference: the old poll's bound (%d checks, scaled to 3,000,000), per scan" % ref["checks"],
                         fmt(ref["thread_cpu_s"] * scale), "", "", "", "", ""])
        out += table("4. CPU while scans are written (lock entry standing), s (goal ≤ 0.05 CPU s per scan)",
                     ["case", "task while written", "wineserver while written", "task in all",
                      "wineserver in all", "per scan, both", "filed"], rows)
    k = res.get("stuck")
    if k:
        if "error" in k:
            out += table("9. A new scan beside scans that cannot be filed", ["error"], [[k["error"]]])
        else:
            lat = [x for x in k["latencies_s"] if x is not None]
            out += table("9. A new scan's latency (lock entry removed → job folder complete, the 1 s pause "
                         "included) with %d held scans and %d folder jobs that cannot move, s"
                         % (k["single"], k["folders"]),
                         ["new scans", "filed", "median", "max", "over", "goal"],
                         [[len(k["latencies_s"]), len(lat), fmt(median(lat), "%.2f"),
                           fmt(max(lat) if lat else None, "%.2f"), "%.1f min" % k["minutes"], "≤ 2 s"]])
    r = res.get("sessionrepublish")
    if r:
        if "error" in r:
            out += table("10. Session end during a republish", ["error"], [[r["error"]]])
        else:
            out += table("10. Session end held while a republish to a WIA scanner that does not answer is under "
                         "way (query %.0f s after the start), ms" % r["after_s"],
                         ["held", "the delete pass's own bound for that scanner", "goal"],
                         [[fmt(r["held_ms"], "%.0f"), r["delete_bound_ms"],
                           "≤ the bound + one request in flight"]])
    s = res.get("scale")
    if s:
        rows = []
        for key in ("reference", "many"):
            r = s.get(key)
            if r:
                where = " (in the 4-scanner task of 1 and 2)" if key == "reference" else ""
                rows.append(["%d scanner(s) × %d scans%s" % (r["scanners"], r["scans"] // r["scanners"], where),
                             "%d/%d" % (r["filed"], r["scans"]), fmt(r["total_s"]),
                             fmt(r["peak_rss_kb"] / 1024.0 if "peak_rss_kb" in r else None),
                             fmt(r["rss_before_kb"] / 1024.0 if "rss_before_kb" in r else None)])
        if s.get("reference", {}).get("total_s") and s.get("many", {}).get("total_s"):
            rows.append(["**ratio many / one**", "", "%.2f" % (s["many"]["total_s"] / s["reference"]["total_s"]),
                         "", ""])
        out += table("5. Scale: one burst into every scanner at once",
                     ["case", "filed intact", "total s", "peak RSS MB", "RSS before MB"], rows)
    w = res.get("waiting")
    if w:
        when = " (measured %s)" % w["measured"] if w.get("measured", res["date"]) != res["date"] else ""
        out += table("6. %d scans waiting in the temporary folder when the task starts, s%s" % (w["scans"], when),
                     ["filed whole", "left", "task start → all filed", "watch ready → all filed",
                      "reference: one 1000 ms pause each", "goal"],
                     [["%d/%d" % (w["filed"], w["scans"]), w["left"], fmt(w["from_start_s"]),
                       fmt(w["from_watch_s"]), fmt(w["reference_with_pause_s"], "%.0f"), "seconds, not minutes"]])
    out += report_session(res, table, fmt, median)
    return out


def charts(res, cfg, folder):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    made = []
    f = res.get("filing")
    if f:
        fig, ax = plt.subplots(figsize=(5, 2.6), dpi=90)
        labels = list(f["kinds"])
        data = [f["kinds"][k]["overhead_ms"] or [float("nan")] for k in labels]
        data.append([v - 1000.0 for v in f["sleep1000_ms"]] or [float("nan")])
        ax.boxplot(data, vert=False, labels=labels + ["Sleep(1000)\noverrun"], showfliers=True)
        ax.axvline(30, color="tab:red", linestyle="--", linewidth=1, label="goal 30 ms")
        ax.set_xlabel("ms beyond the 1000 ms pause")
        ax.legend(loc="lower right", fontsize=7)
        ax.set_title("Filing overhead", fontsize=9)
        made.append(_save(fig, plt, folder, "filing.png"))
    i = res.get("idle")
    if i and "samples" in i:
        fig, (a1, a2) = plt.subplots(1, 2, figsize=(6, 2.4), dpi=90)
        t = [x["t"] / 60.0 for x in i["samples"]]
        for k, label in (("task", "BgndTask (4 scanners)"), ("bare", "bare window"),
                         ("bare_dlls", "bare + task's DLLs"), ("bare_tick", "bare + 5 s tick")):
            if k + "_cpu_s" not in i["samples"][0]:
                continue
            a1.plot(t, [x[k + "_cpu_s"] for x in i["samples"]], label=label)
            a2.plot(t, [x[k + "_rss_kb"] / 1024.0 for x in i["samples"]], label=label)
        a1.set_title("CPU s since start of idle", fontsize=8)
        a2.set_title("resident MB", fontsize=8)
        for a in (a1, a2):
            a.set_xlabel("minutes", fontsize=8)
            a.tick_params(labelsize=7)
        a1.legend(fontsize=6)
        made.append(_save(fig, plt, folder, "idle.png"))
    s = res.get("scale")
    if s and s.get("many"):
        fig, ax = plt.subplots(figsize=(5, 2.6), dpi=90)
        for key in ("reference", "many"):
            r = s.get(key)
            if r and r["completions_s"]:
                ax.plot(r["completions_s"], [(n + 1) / r["scans"] for n in range(len(r["completions_s"]))],
                        label="%d scanner(s), %d scans" % (r["scanners"], r["scans"]))
        ax.set_xlabel("s since the burst began")
        ax.set_ylabel("share filed")
        ax.legend(fontsize=7)
        ax.set_title("Scale: jobs filed over time", fontsize=9)
        made.append(_save(fig, plt, folder, "scale.png"))
    return made


def _save(fig, plt, folder, name):
    fig.tight_layout()
    path = os.path.join(folder, name)
    fig.savefig(path)
    plt.close(fig)
    return path


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
            cpu = m.group(1).strip() if m else cpu
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return "%s, %d cores, %s, %s" % (cpu, os.cpu_count() or 0, platform.release(), wine)


# ---- main ----------------------------------------------------------------------------------
def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true", help="fewer scans and a 2-minute idle run")
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    parser.add_argument("--only",
                        default="filing,delivery,idle,poll,scale,waiting,sessionend,address,stuck,sessionrepublish",
                        help="comma-separated subset of filing,delivery,idle,poll,scale,waiting,sessionend,address,"
                             "stuck,sessionrepublish")
    parser.add_argument("--idle-minutes", type=float, help="length of the idle run (10, or 2 with --quick)")
    parser.add_argument("--report-only", action="store_true",
                        help="print the tables and redraw the charts from the last run's latest.json")
    args = parser.parse_args()
    cfg = Config(args.quick)
    if args.idle_minutes:
        cfg.idle_seconds = args.idle_minutes * 60.0
    if args.report_only:
        with open(os.path.join(args.out, "latest.json")) as f:
            res = json.load(f)
        cfg.quick = res.get("quick", False)
        publish(res, cfg, args.out)
        return
    only = set(args.only.split(","))
    os.makedirs(args.out, exist_ok=True)
    began = time.monotonic()
    res = {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "machine": machine(), "quick": cfg.quick}

    # The idle run has a prefix (and a wineserver) of its own and runs alongside the
    # rest: CPU time is counted per process, so the others' load does not enter it.
    idle_thread = threading.Thread(target=bench_idle, args=(cfg, args.build, res), daemon=True)
    if "idle" in only:
        idle_thread.start()

    prefix = prepare_prefix(args.build, "bench-prefix")
    events = FileEvents()
    if only & {"filing", "delivery", "scale"}:
        pc_folder = r"C:\PC\Bench"
        os.makedirs(prefix.unix(pc_folder), exist_ok=True)
        scanners = {"single": prefix.install_scanner("--name", "FileSingle"),
                    "folder": prefix.install_scanner("--name", "FileFolder"),
                    "deliver": prefix.install_scanner("--name", "Deliver", "--pcfolder", pc_folder, "--base", ""),
                    "solo": prefix.install_scanner("--name", "Solo")}
        log("starting the task with %d scanners" % len(scanners))
        task, pid = start_task(prefix, list(scanners.values()))
        try:
            warm_up(prefix, list(scanners.values()))
            for s in scanners.values():
                events.watch(prefix.unix(s["tempFolder"]))
                events.watch(prefix.unix(s["docFolder"]))
            if "filing" in only:
                log("1. filing overhead: %d single-file and %d folder scans" % (cfg.filing_scans, cfg.filing_scans))
                res["filing"] = bench_filing(cfg, prefix, events, scanners)
            if "delivery" in only:
                log("2. delivery: %d × %d MB beside plain copies" % (cfg.delivery_pairs, cfg.delivery_bytes // MB))
                res["delivery"] = bench_delivery(cfg, prefix, events, scanners["deliver"], pc_folder)
            if "scale" in only:
                log("5. scale, reference: one scanner, a burst of %d" % cfg.scale_burst)
                ref = burst_into(prefix, events, [scanners["solo"]], "SOLO", cfg.scale_burst)
                res["scale"] = {"reference": dict(ref, peak_rss_kb=memory_kb(pid)["VmHWM"])}
        finally:
            task.stop()

    if only & {"scale", "poll"}:
        prefix.reset()
        count = cfg.scale_scanners if "scale" in only else 1
        many = [prefix.install_scanner("--name", "Scale%02d" % n) for n in range(1, count + 1)]
        log("starting the task with %d scanners" % len(many))
        task, pid = start_task(prefix, many, timeout=300)
        try:
            warm_up(prefix, many)
            if "scale" in only:
                log("5. scale: %d scanners, a burst of %d into each" % (len(many), cfg.scale_burst))
                rss_before = memory_kb(pid)["VmRSS"]
                res["scale"]["many"] = burst_into(prefix, events, many, "MANY", cfg.scale_burst)
                res["scale"]["many"].update(peak_rss_kb=memory_kb(pid)["VmHWM"], rss_before_kb=rss_before)
            if "poll" in only:
                log("4. scans written slowly: one, then a burst of %d" % cfg.poll_burst)
                res["poll"] = bench_poll(cfg, prefix, pid, many[0], began + cfg.budget_s)
        finally:
            task.stop()
    events.close()

    if "waiting" in only:
        log("6. %d scans waiting at the start" % cfg.waiting_scans)
        res["waiting"] = bench_waiting(cfg, prefix)

    if "stuck" in only:
        log("9. a new scan beside %d held scans and %d folder jobs that cannot move" % (cfg.stuck_single,
                                                                                     cfg.stuck_folders))
        try:
            res["stuck"] = bench_stuck(cfg, prefix)
        except Exception as e:
            res["stuck"] = {"error": repr(e)}

    if "sessionrepublish" in only:
        log("10. a session end while a republish to a WIA scanner that does not answer is under way")
        try:
            res["sessionrepublish"] = bench_session_republish(cfg, prefix)
        except Exception as e:
            res["sessionrepublish"] = {"error": repr(e)}

    if "sessionend" in only:
        log("7. session end held: %d cancelled log-offs, then scanners that do not answer" % cfg.session_rounds)
        try:
            res["sessionend"] = bench_session_end(cfg, prepare_prefix(args.build, "bench-session-prefix"), start_task,
                                                  log)
        except Exception as e:  # reported in the table; the other benchmarks go on
            res["sessionend"] = {"error": repr(e)}

    if "address" in only:
        log("8. address changes: %d in a network namespace of its own" % cfg.address_rounds)
        try:
            res["address"] = bench_address(cfg, prepare_prefix(args.build, "bench-addr-prefix"), start_task, log)
        except Exception as e:
            res["address"] = {"error": repr(e)}

    if idle_thread.is_alive():
        log("3. idle cost: waiting for the idle run to end")
        idle_thread.join(cfg.idle_seconds + 600)
    res["elapsed_min"] = (time.monotonic() - began) / 60.0
    with open(os.path.join(args.out, "latest.json"), "w") as f:
        json.dump(res, f, indent=1, default=str)
    publish(res, cfg, args.out)


def publish(res, cfg, folder):
    lines = ["## Figures of %s%s" % (res["date"], " (--quick)" if res.get("quick") else ""), "",
             "Machine: " + res["machine"]] + ([res["note"]] if res.get("note") else []) + report(res, cfg)
    for part, when in sorted(res.get("remeasured", {}).items()):
        lines += ["", "Section %s measured on its own on %s (`--only %s`), beside the run above." % (part, when, part)]
    lines += ["", "Whole run: %.1f min." % res["elapsed_min"]]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(os.path.join(folder, "latest.md"), "w") as f:
        f.write(text)
    for path in charts(res, cfg, folder):
        print("chart: " + os.path.relpath(path))

if __name__ == "__main__":
    main()
