"""Benchmarks of the log-on between its start and its end: how long a session end
is held by the delete pass, and how soon a changed PC address reaches the first
template. The real BgndTask.exe under Wine against the scanner simulator."""
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from simprefix import SimPrefix, wait_for  # noqa: E402

REPUBLISH = ("Escape", "0x101E")
WIA_REPUBLISH = ("WriteMultiple", "0x9834")


def _requests(prefix, call, code):
    return [e for e in prefix.journal() if len(e) >= 3 and e[1] == call and e[2] == code]


def _held_ms(prefix, verb):
    rc, out = prefix.wine(prefix.tool("bgctl.exe"), verb, "300", check=False, timeout=400)
    m = re.search(r"held_ms=(\d+)", out)
    return int(m.group(1)) if m else None


CLASS_KEY = r"HKLM\System\CurrentControlSet\Control\Class\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"


def _class_key(scanner):
    return CLASS_KEY + "\\" + scanner["driverKey"].rsplit("\\", 1)[-1]


def bench_session_end(cfg, prefix, start_task, log):
    """Query sent → answered, with a TWAIN and a WIA scanner that answer at once
    (log-offs cancelled, so that the task republishes and stays), then with a
    third scanner beside them that does not answer (a TWAIN lock that waits out
    its 20 s, a WIA root item that never comes): installed after the start, it
    has no watcher, but the delete pass lists it. The prefix reports Windows 7, so
    that the task takes the paths every supported Windows takes: the block reason
    asked for (Wine refuses it) and the WIA 2 form."""
    prefix.reset()
    prefix.wine("reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "win7", "/f")
    twain = prefix.install_scanner("--name", "HoldTwain")
    wia = prefix.install_scanner("--name", "HoldWia", "--wia", "--model", "Orbek Chromhold")
    task, pid = start_task(prefix, [twain, wia])
    res = {}
    try:
        counts = lambda: (len(_requests(prefix, *REPUBLISH)), len(_requests(prefix, *WIA_REPUBLISH)))
        wait_for(lambda: min(counts()) >= 1, 120)
        time.sleep(1.0)
        quick = []
        republish_s = []
        for i in range(cfg.session_rounds):
            before = counts()
            quick.append(_held_ms(prefix, "cancel"))
            t0 = time.monotonic()
            back = wait_for(lambda: all(a > b for a, b in zip(counts(), before)), 60, interval=0.05)
            republish_s.append(time.monotonic() - t0 if back else None)
            log("   cancel %d: held %s ms, republished after %s s" % (i + 1, quick[-1], republish_s[-1]))
        res["answering"] = {"held_ms": quick, "republish_after_cancel_s": republish_s}
    finally:
        task.stop()
    # A scanner that does not answer, in a task of its own each time: a shutdown
    # query gives the SID text back, so a second one would ask nothing.
    for kind, args in (("twain", ["--name", "HoldSilentTwain"]), ("wia", ["--name", "HoldSilentWia", "--wia"])):
        before = counts()
        silent = None
        task, pid = start_task(prefix, [twain, wia])
        try:
            wait_for(lambda: all(a > b for a, b in zip(counts(), before)), 120)
            time.sleep(1.0)
            silent = prefix.install_scanner(*args)
            prefix.wine("reg", "add", _class_key(silent) + r"\DeviceData", "/v", "SimSilent", "/t", "REG_DWORD",
                        "/d", "1", "/f")
            res["silent_" + kind] = {"held_ms": _held_ms(prefix, "shutdown")}
            log("   with a %s scanner that does not answer: held %s ms" % (kind, res["silent_" + kind]["held_ms"]))
        finally:
            task.stop()
            if silent is not None:
                prefix.wine("reg", "delete", _class_key(silent), "/f", check=False)
    return res


HOLD_TAP = """
import fcntl, os, struct, time
fd = os.open("/dev/net/tun", os.O_RDWR)
fcntl.ioctl(fd, 0x400454ca, struct.pack("16sH", b"t0", 0x0002 | 0x1000))
print("held", flush=True)
time.sleep(36000)
"""


def bench_address(cfg, prefix, start_task, log):
    """The task in a network namespace of its own whose one device changes its
    private address: seconds from the change until the first template names the
    new address."""
    if os.geteuid() != 0 or shutil.which("ip") is None:
        return {"error": "needs root and iproute2 for a network namespace"}
    ns = "bgtask-bench-addr"
    run = lambda *a: subprocess.run(["ip", "netns", "exec", ns, *a], check=True, capture_output=True)
    subprocess.run(["ip", "netns", "del", ns], capture_output=True)
    subprocess.run(["ip", "netns", "add", ns], check=True)
    holder = None
    task = None
    subprocess.call(["wineserver", "-k"], env=prefix.env, stderr=subprocess.DEVNULL)
    subprocess.call(["wineserver", "-w"], env=prefix.env, timeout=60)
    try:
        run("ip", "link", "set", "lo", "up")
        run("ip", "tuntap", "add", "dev", "t0", "mode", "tap")
        holder = subprocess.Popen(["ip", "netns", "exec", ns, sys.executable, "-c", HOLD_TAP], stdout=subprocess.PIPE)
        holder.stdout.readline()
        run("ip", "link", "set", "t0", "up")
        run("ip", "addr", "add", "10.78.0.2/24", "dev", "t0")
        prefix.launcher = ["ip", "netns", "exec", ns]
        prefix.reset()
        s = prefix.install_scanner("--name", "Roaming")
        template = prefix.unix(s["templateFolder"] + r"\Default.ost")

        def names():
            # The rewrite swaps the file in; under Wine the swap leaves a moment
            # without it.
            try:
                with open(template, "rb") as f:
                    m = re.search(rb'RepositoryName="([^"]*)"', f.read())
            except FileNotFoundError:
                return None
            return m.group(1).decode() if m else None

        task, pid = start_task(prefix, [s])
        wait_for(lambda: names() == "10.78.0.2", 30)
        delays = []
        old = "10.78.0.2"
        for i in range(cfg.address_rounds):
            new = "10.78.0.%d" % (10 + i)
            run("ip", "addr", "del", old + "/24", "dev", "t0")
            run("ip", "addr", "add", new + "/24", "dev", "t0")
            t0 = time.monotonic()
            ok = wait_for(lambda: names() == new, 30, interval=0.02)
            delays.append(time.monotonic() - t0 if ok else None)
            log("   address %s: template up to date after %s s" % (new, delays[-1]))
            old = new
            time.sleep(1.3 * (i % 4))  # changes land at different points of the 5 s timer
        return {"delays_s": delays}
    finally:
        if task is not None:
            task.stop()
        subprocess.call(["wineserver", "-k"], env=prefix.env, stderr=subprocess.DEVNULL)
        subprocess.call(["wineserver", "-w"], env=prefix.env, timeout=60)
        prefix.launcher = []
        if holder is not None:
            holder.kill()
            holder.wait()
            holder.stdout.close()
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def report_session(res, table, fmt, median):
    out = []
    s = res.get("sessionend")
    if s:
        if "error" in s:
            return table("7. Session end held", ["error"], [[s["error"]]])
        a = s.get("answering", {})
        held = [h for h in a.get("held_ms", []) if h is not None]
        back = [b for b in a.get("republish_after_cancel_s", []) if b is not None]
        rows = [["a TWAIN and a WIA scanner that answer at once", "%d" % len(held), fmt(median(held), "%.0f"),
                 fmt(max(held) if held else None, "%.0f")]]
        for kind, label in (("twain", "TWAIN"), ("wia", "WIA")):
            h = s.get("silent_" + kind, {}).get("held_ms")
            rows.append(["the same and a %s scanner that does not answer" % label, "1" if h else "0",
                         fmt(h, "%.0f"), fmt(h, "%.0f")])
        out += table("7. How long a session end is held (query sent → answered; Windows 7 form), ms",
                     ["scanners", "queries", "median", "max"], rows)
        if back:
            out += ["", "After a cancelled log-off both scanners were asked to republish within %.2f s "
                    "(median of %d)." % (median(back), len(back))]
    a = res.get("address")
    if a:
        if "error" in a:
            out += table("8. Address change → template", ["error"], [[a["error"]]])
        else:
            d = [x for x in a["delays_s"] if x is not None]
            out += table("8. PC address changed → first template names it, s",
                         ["changes", "followed", "median", "max"],
                         [[len(a["delays_s"]), len(d), fmt(median(d), "%.2f"), fmt(max(d) if d else None, "%.2f")]])
    return out
