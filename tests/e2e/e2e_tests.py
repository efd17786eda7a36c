"""End-to-end tests: the real BgndTask.exe under Wine, in a prefix of its own,
against the scanner simulator (simulated installation, still-image service
stand-in and scan drop tool)."""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from simprefix import SimPrefix, Task, wait_for  # noqa: E402

PREFIX = None
# Wine writes each insertion string of an event to its eventlog channel: an
# information event as a trace line, a warning as a warn line.
EVENTS = "-all,+eventlog"
REPUBLISH = "0x101E"
DELETE = "0x101D"


def delete_image_value(prefix, scanner):
    """The per-user option the watcher of this scanner writes: (type, data) or None."""
    rc, out = prefix.wine("reg", "query", "HKCU\\" + scanner["userRegPath"], check=False)
    m = re.search(r"^\s+(\S+_DeleteImageOnScan)\s+(REG_\w+)\s+(\S+)", out, re.M)
    return (m.group(1), m.group(2), m.group(3)) if m else None


def escapes(prefix, code, device=None):
    return [e for e in prefix.journal()
            if len(e) >= 4 and e[1] == "Escape" and e[2] == code and (device is None or e[0].endswith(device))]


class TaskCase(unittest.TestCase):
    """A case of the real task in the end-to-end prefix, reset before each case."""

    def setUp(self):
        PREFIX.reset()
        self.task = None

    def tearDown(self):
        if self.task is not None:
            self.task.stop()

    def start_task(self, *args, debug=None):
        self.task = Task(PREFIX, args, debug=debug)
        self.assertEqual(0, PREFIX.wine(PREFIX.tool("bgctl.exe"), "wait", "30", check=False)[0],
                         "the task's window did not appear")
        return self.task

    def wait_watchers(self, scanners, timeout=60):
        ok = wait_for(lambda: all(delete_image_value(PREFIX, s) for s in scanners), timeout)
        self.assertTrue(ok, "not every scanner's watcher recorded its option")

    def drop(self, scanner, stem, *args):
        PREFIX.wine(PREFIX.tool("simdrop.exe"), scanner["tempFolder"], stem, *args, timeout=300)

    def docs(self, scanner):
        path = PREFIX.unix(scanner["docFolder"])
        return sorted(os.listdir(path)) if os.path.isdir(path) else []

    def jobs(self, scanner, stem):
        # A job's delivery marker stays until its delivery thread has ended.
        named = lambda: [d for d in self.docs(scanner) if d.startswith(stem)]
        wait_for(lambda: not [d for d in named() if d.endswith(".delivering")], 10)
        return named()


class E2E(TaskCase):
    def test_no_family_scanner_ends_at_first_tick(self):
        start = time.time()
        task = Task(PREFIX)
        self.task = task
        self.assertEqual(0, task.wait(40), "the task should end by itself with exit code 0")
        self.assertGreater(time.time() - start, 4.0, "it ended before the first tick")

    def test_single_instance(self):
        s = PREFIX.install_scanner("--name", "Solo")
        first = self.start_task("/registry")
        second = Task(PREFIX)
        self.assertEqual(0, second.wait(30))
        self.assertIsNone(first.proc.poll(), "the first instance must keep running")
        self.wait_watchers([s])

    def test_scanners_watched_filed_delivered_and_templates_handled(self):
        pc_folder = r"C:\PC\Inbox"
        os.makedirs(PREFIX.unix(pc_folder), exist_ok=True)
        t1 = PREFIX.install_scanner("--name", "TwainOne", "--pcfolder", pc_folder, "--base", "Invoice",
                                    "--repo", "10.9.9.9")
        t2 = PREFIX.install_scanner("--name", "TwainTwo", "--model", "Orbek Tividal 8812MFP", "--usb")
        w1 = PREFIX.install_scanner("--name", "WiaOne", "--wia", "--model", "Orbek Chromhold")
        self.start_task()
        self.wait_watchers([t1, t2, w1])

        # Per-user option and marker.
        name, kind, data = delete_image_value(PREFIX, t1)
        self.assertEqual(("REG_DWORD", "0x1"), (kind, data))
        markers = [f for f in os.listdir(PREFIX.unix(r"C:\ProgramData")) if f.endswith("_obk.del")]
        self.assertIn("enOn_obk.del", markers)  # last four characters of ...\TwainOne, reversed

        # The first template names the PC's address now; every other byte is kept.
        with open(PREFIX.unix(t1["templateFolder"] + r"\Default.ost"), "rb") as f:
            template = f.read()
        m = re.search(rb'RepositoryName="([^"]*)"', template)
        self.assertIsNotNone(m)
        self.assertNotEqual(b"10.9.9.9", m.group(1))
        self.assertRegex(m.group(1).decode(), r"^\d+\.\d+\.\d+\.\d+$")
        self.assertIn(b"\r\n", template)

        # Each TWAIN device is asked to republish once by each TWAIN watcher.
        self.assertTrue(wait_for(lambda: len(escapes(PREFIX, REPUBLISH)) >= 4, 30), PREFIX.journal())
        for s in (t1, t2):
            self.assertEqual(2, len(escapes(PREFIX, REPUBLISH, s["driverKey"])), s["driverKey"])
        self.assertEqual(0, len(escapes(PREFIX, REPUBLISH, w1["driverKey"])))

        # A single-file scan, filed and delivered under the template's base name.
        tmpl_win = t1["templateFolder"] + r"\Default.ost"
        self.drop(t1, "JOB", "--kind", "jpg", "--template", tmpl_win)
        self.drop(t1, "SCAN", "--kind", "tif", "--template", tmpl_win)
        self.assertTrue(wait_for(lambda: "SCAN.osm" in self.docs(t1), 30), self.docs(t1))
        job = PREFIX.unix(t1["docFolder"] + r"\SCAN.osm")
        self.assertTrue(wait_for(lambda: sorted(os.listdir(job)) == ["SCAN.ost", "SCAN.tif"], 10),
                        os.listdir(job))
        self.assertFalse(os.path.exists(PREFIX.unix(t1["tempFolder"] + r"\SCAN.tif")))
        delivered = PREFIX.unix(pc_folder + r"\Invoice.tif")
        self.assertTrue(wait_for(lambda: os.path.exists(delivered), 30), os.listdir(PREFIX.unix(pc_folder)))
        # The copy may still be writing when its name appears.
        same = lambda: filecmp.cmp(delivered, os.path.join(job, "SCAN.tif"), shallow=False)
        wait_for(same, 10)
        self.assertTrue(same())

        # A folder scan: pages renamed after the job.
        self.drop(t2, "BOOK", "--kind", "folder", "--pages", "2")
        self.assertTrue(wait_for(lambda: "BOOK.osm" in self.docs(t2), 30), self.docs(t2))
        book = PREFIX.unix(t2["docFolder"] + r"\BOOK.osm")
        # The pages are renamed one by one after the folder has moved.
        renamed = sorted(["BOOK_p1.tif", "BOOK_p1.tmb", "BOOK_p1.jpg", "BOOK_p2.tif", "BOOK_p2.tmb",
                          "BOOK_p2.jpg", "BOOK.ost"])
        wait_for(lambda: sorted(os.listdir(book)) == renamed, 10)
        self.assertEqual(renamed, sorted(os.listdir(book)))

        # The same stem again: the job folder and files carry a time stamp.
        self.drop(t2, "BOOK", "--kind", "folder", "--pages", "1")
        stamped = lambda: [d for d in self.docs(t2) if re.fullmatch(r"BOOK_\d+-\d+-\d+_\d+-\d+-\d+(_\d+)?\.osm", d)]
        self.assertTrue(wait_for(stamped, 30), self.docs(t2))
        stamp = stamped()[0][len("BOOK_"):-len(".osm")]
        self.assertTrue(wait_for(lambda: "BOOK_%s.ost" % stamp in os.listdir(
            PREFIX.unix(t2["docFolder"] + "\\" + stamped()[0])), 10))

        # Two scans dropped while the first is still being filed: both filed.
        self.drop(t2, "PAIR", "--burst", "2", "--gap", "200")
        self.assertTrue(wait_for(lambda: {"PAIR_1.osm", "PAIR_2.osm"} <= set(self.docs(t2)), 40), self.docs(t2))
        # The job folders come first, their files a moment later.
        pairs_in_temp = lambda: [f for f in os.listdir(PREFIX.unix(t2["tempFolder"])) if f.startswith("PAIR")]
        wait_for(lambda: not pairs_in_temp(), 10)
        self.assertEqual([], pairs_in_temp())

        # A device-change request from the drivers: a new scanner is found and watched.
        t3 = PREFIX.install_scanner("--name", "TwainLate")
        PREFIX.wine(PREFIX.tool("siminstall.exe"), "devicechange", "twain", "1")
        self.wait_watchers([t3], timeout=40)

        # Log-off: every family device is asked to delete the user's templates.
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "logoff", "120", check=False)
        self.assertIn("query=1", out)
        for s in (t1, t2, t3):
            self.assertEqual(1, len(escapes(PREFIX, DELETE, s["driverKey"])), (s["driverKey"], PREFIX.journal()))
        sids = {e[3] for e in escapes(PREFIX, DELETE)}
        self.assertEqual(1, len(sids))
        self.assertTrue(next(iter(sids)).startswith("S-1-5-"))

    def test_large_image_delivered_intact(self):
        pc_folder = r"C:\PC\Big"
        os.makedirs(PREFIX.unix(pc_folder), exist_ok=True)
        s = PREFIX.install_scanner("--name", "Big", "--pcfolder", pc_folder, "--base", "")
        self.start_task()
        self.wait_watchers([s])
        self.drop(s, "HUGE", "--kind", "tif", "--size", str(200 * 1024 * 1024), "--template",
                  s["templateFolder"] + r"\Default.ost")
        job_image = PREFIX.unix(s["docFolder"] + r"\HUGE.osm\HUGE.tif")
        delivered = PREFIX.unix(pc_folder + r"\HUGE.tif")
        self.assertTrue(wait_for(lambda: os.path.exists(delivered) and os.path.getsize(delivered) == 200 * 1024 * 1024,
                                 120))
        self.assertTrue(filecmp.cmp(delivered, job_image, shallow=False))

    def test_image_held_by_another_program_is_filed_whole(self):
        # A virus scanner or an indexer opens a file just written: here a command
        # interpreter whose input is the image, for as long as a ping runs. A short
        # hold is waited out; after a long one the scan stays whole and is tried
        # again without another scan. No empty job folder either way.
        s = PREFIX.install_scanner("--name", "Held")
        self.start_task(debug=EVENTS)
        self.wait_watchers([s])
        temp = PREFIX.unix(s["tempFolder"])
        for stem, pings in (("SHORT", 5), ("LONG", 12)):
            dropper = subprocess.Popen(["wine", PREFIX.tool("simdrop.exe"), s["tempFolder"], stem, "--hold", "3000"],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, env=PREFIX.env)
            self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(temp, stem + ".ost")), 30))
            holder = subprocess.Popen(["wine", "cmd", "/c", "ping -n %d 127.0.0.1 < %s\\%s.tif"
                                       % (pings, s["tempFolder"], stem)],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, env=PREFIX.env)
            dropper.wait(timeout=60)
            holder.wait(timeout=60)
            released = time.time()
            job = PREFIX.unix(s["docFolder"] + "\\%s.osm" % stem)
            self.assertTrue(wait_for(lambda: os.path.isdir(job) and sorted(os.listdir(job)) ==
                                     [stem + ".ost", stem + ".tif"], 60), (stem, self.docs(s)))
            print("held %s: filed %.1f s after its release" % (stem, time.time() - released), file=sys.stderr)
            self.assertEqual([stem + ".osm"], self.jobs(s, stem), "filed once, whole")
            self.assertEqual([], [f for f in os.listdir(temp) if f.startswith(stem)])
        # The long hold outlasted the tries: the administrator reads of it once,
        # with the sharing violation, and again once it was filed.
        out = self.task.output()
        self.assertEqual(1, len(re.findall(r'warn:eventlog:ReportEventW L"[^"]*LONG\.tif"', out)), out)
        self.assertIn('(error 32)"', out)
        self.assertEqual(1, len(re.findall(r'trace:eventlog:ReportEventW L"[^"]*LONG\.osm"', out)), out)

    def test_scan_written_slowly_is_filed_once_at_little_cpu(self):
        # The driver writes a scan for 10 s with its lock entry standing: the
        # entry's creation starts nothing, its removal files the scan, once. The
        # task's CPU over that scan stays small (a generous bound; `scripts/bench
        # --only poll` measures it), where a loop of existence checks would keep
        # a core busy for the whole 10 s.
        s = PREFIX.install_scanner("--name", "Slow")
        self.start_task()
        self.wait_watchers([s])
        time.sleep(2.0)

        def cpu_s():
            with open("/proc/%d/stat" % self.task.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        before = cpu_s()
        self.drop(s, "SLOW", "--hold", "10000")
        job = PREFIX.unix(s["docFolder"] + "\\SLOW.osm")
        self.assertTrue(wait_for(lambda: os.path.isdir(job) and sorted(os.listdir(job)) == ["SLOW.ost", "SLOW.tif"],
                                 30), self.docs(s))
        time.sleep(2.0)  # the removal report's own filing, were there one
        used = cpu_s() - before
        print("scan written for 10 s: %.2f CPU s" % used, file=sys.stderr)
        self.assertEqual(["SLOW.osm"], self.jobs(s, "SLOW"), "filed once")
        self.assertLess(used, 2.0)

    def test_two_scanners_filing_into_one_folder_under_a_burst(self):
        # Two scanners whose "FilingPath" is the same: two watchers of one task
        # file from one TempImage into one Documents folder. Scans wait before
        # the task starts (both watchers' recovery and catch-up meet them) and
        # a burst comes while they start: each is filed once and whole.
        first = PREFIX.install_scanner("--name", "Shared")
        second = PREFIX.install_scanner("--name", "Shared", "--usb")
        self.assertEqual(first["docFolder"], second["docFolder"])
        self.drop(first, "EARLY", "--burst", "30", "--gap", "0", "--hold", "5")
        self.start_task()
        self.drop(first, "BURST", "--burst", "40", "--gap", "20", "--hold", "5")
        stems = ["EARLY_%d" % n for n in range(1, 31)] + ["BURST_%d" % n for n in range(1, 41)]
        temp = PREFIX.unix(first["tempFolder"])
        docs = PREFIX.unix(first["docFolder"])
        settled = lambda: not os.listdir(temp) and not [d for d in self.docs(first) if d.endswith(".lck")]
        wait_for(settled, 120, interval=1.0)
        time.sleep(2)
        split = doubled = lost = 0
        for stem in stems:
            jobs = [d for d in self.docs(first) if d == stem + ".osm" or d.startswith(stem + "_")]
            files = sorted(f for d in jobs for f in os.listdir(os.path.join(docs, d)))
            if len(jobs) > 1:
                doubled += 1
            elif not jobs:
                lost += 1
            elif files != sorted(j[:-4] + e for j in jobs for e in (".ost", ".tif")):
                split += 1
        left = sorted(os.listdir(temp))
        print("two filers on one folder: %d scans, %d split, %d doubled, %d lost, %d left in TempImage"
              % (len(stems), split, doubled, lost, len(left)), file=sys.stderr)
        self.assertEqual((0, 0, 0, []), (split, doubled, lost, left), self.docs(first))
        # The filing lock file goes as its holder lets go of it.
        wait_for(lambda: self.docs(first) == sorted(s + ".osm" for s in stems), 5)
        self.assertEqual(sorted(s + ".osm" for s in stems), self.docs(first), "no lock folder or other file left")


# ---- the PC's address changes while the task runs ---------------------------------
HOLD_TAP = """
import fcntl, os, struct, sys, time
fd = os.open("/dev/net/tun", os.O_RDWR)
fcntl.ioctl(fd, 0x400454ca, struct.pack("16sH", b"t0", 0x0002 | 0x1000))  # TUNSETIFF, IFF_TAP | IFF_NO_PI
print("held", flush=True)
time.sleep(3600)
"""


class SessionEnd(TaskCase):
    """The session-end requests to the real task in a prefix that reports Windows XP:
    no block reason is asked for there."""
    VERSION = "winxp64"

    def setUp(self):
        super().setUp()
        PREFIX.wine("reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", self.VERSION, "/f")

    def end_session(self, name, request):
        """A task of one scanner, sent a session-end request by bgctl (logoff or
        closeapp): it answers 1 after one delete request. Answers the task."""
        s = PREFIX.install_scanner("--name", name)
        task = self.start_task(debug="+process")
        self.wait_watchers([s])
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), request, "120", check=False)
        self.assertIn("query=1", out)
        self.assertEqual(1, len(escapes(PREFIX, DELETE, s["driverKey"])), PREFIX.journal())
        return task

    def test_logoff_is_relayed(self):
        task = self.end_session("Relay", "logoff")
        # Wine carries a relayed log-off out by starting its session-end program.
        self.assertTrue(wait_for(lambda: "wineboot.exe --end-session" in task.output(), 20))
        task.wait(30)

    def test_cancelled_logoff_puts_the_log_on_back(self):
        s = PREFIX.install_scanner("--name", "Cancelled")
        task = self.start_task(debug="+process")
        self.wait_watchers([s])
        self.assertTrue(wait_for(lambda: len(escapes(PREFIX, REPUBLISH, s["driverKey"])) == 1, 30), PREFIX.journal())
        # The user cancels after more than 5 s on the screen of programs still busy.
        with open(os.devnull, "w") as quiet:
            bgctl = subprocess.Popen([*PREFIX.launcher, "wine", PREFIX.tool("bgctl.exe"), "cancel", "120", "8"],
                                     env=PREFIX.env, stdin=subprocess.DEVNULL, stdout=quiet, stderr=quiet)
        self.assertTrue(wait_for(lambda: len(escapes(PREFIX, DELETE, s["driverKey"])) == 1, 60), PREFIX.journal())
        # A scan finished meanwhile is not filed while the session end holds.
        self.drop(s, "DURING", "--kind", "tif", "--template", s["templateFolder"] + r"\Default.ost")
        self.assertEqual(0, bgctl.wait(60))
        self.assertNotIn("wineboot.exe --end-session", task.output(), "relayed before the verdict")
        # The scanner is asked once more to republish, with the user's SID found again ...
        self.assertTrue(wait_for(lambda: len(escapes(PREFIX, REPUBLISH, s["driverKey"])) == 2, 30), PREFIX.journal())
        sids = {e[3] for e in escapes(PREFIX, REPUBLISH, s["driverKey"]) + escapes(PREFIX, DELETE)}
        self.assertEqual(1, len(sids))
        self.assertTrue(next(iter(sids)).startswith("S-1-5-"))
        # ... the scan of the session end is filed at once (the watch's catch-up, not
        # its retry of a held scan 20 s after the failure), and a new one as before.
        self.assertTrue(wait_for(lambda: "DURING.osm" in self.docs(s), 8), self.docs(s))
        self.drop(s, "AFTER", "--kind", "tif", "--template", s["templateFolder"] + r"\Default.ost")
        self.assertTrue(wait_for(lambda: "AFTER.osm" in self.docs(s), 30), self.docs(s))
        time.sleep(3)
        self.assertNotIn("wineboot.exe --end-session", task.output())
        self.assertIsNone(task.proc.poll())
        self.assertEqual(2, len(escapes(PREFIX, REPUBLISH, s["driverKey"])))

    def test_close_request_deletes_then_ends_the_task(self):
        # As Restart Manager or the installer asks a task to close before an upgrade.
        task = self.end_session("Closed", "closeapp")
        self.assertEqual(0, task.wait(30), "the task did not end after the close request")
        self.assertNotIn("wineboot.exe --end-session", task.output())


class SessionEndOnWindows7(SessionEnd):
    """The same where the task takes the paths of Vista and later: Wine refuses the
    block reason, which costs neither the deletion nor the session end."""
    VERSION = "win7"

    def test_close_request_without_verdict_puts_the_log_on_back_after_the_bound(self):
        s = PREFIX.install_scanner("--name", "GivenUp")
        task = self.start_task()
        self.wait_watchers([s])
        self.assertTrue(wait_for(lambda: len(escapes(PREFIX, REPUBLISH, s["driverKey"])) == 1, 30), PREFIX.journal())
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "closeapp", "120", "never", check=False)
        self.assertIn("query=1", out)
        self.assertEqual(1, len(escapes(PREFIX, DELETE, s["driverKey"])), PREFIX.journal())
        # The closer gave up: within the bound (60 s) and a little, the templates go back.
        self.assertTrue(wait_for(lambda: len(escapes(PREFIX, REPUBLISH, s["driverKey"])) == 2, 90), PREFIX.journal())
        self.assertIsNone(task.proc.poll(), "the task ended without a verdict")
        self.drop(s, "LATER", "--kind", "tif", "--template", s["templateFolder"] + r"\Default.ost")
        self.assertTrue(wait_for(lambda: "LATER.osm" in self.docs(s), 30), self.docs(s))


class AddressChange(TaskCase):
    """The real task in a network namespace of the test's own, whose one device (a
    tap device held up by a small helper) changes its private address."""
    NS = "bgtask-e2e-addr"

    def ns(self, *args, check=True):
        return subprocess.run(["ip", "netns", "exec", self.NS, *args], check=check, capture_output=True)

    def make_namespace(self):
        subprocess.run(["ip", "netns", "del", self.NS], capture_output=True)
        subprocess.run(["ip", "netns", "add", self.NS], check=True)
        self.ns("ip", "link", "set", "lo", "up")
        self.ns("ip", "tuntap", "add", "dev", "t0", "mode", "tap")
        self.holder = subprocess.Popen(["ip", "netns", "exec", self.NS, sys.executable, "-c", HOLD_TAP],
                                       stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.assertEqual(b"held\n", self.holder.stdout.readline())
        self.ns("ip", "link", "set", "t0", "up")

    def set_address(self, old, new):
        if old:
            self.ns("ip", "addr", "del", old + "/24", "dev", "t0")
        if new:
            self.ns("ip", "addr", "add", new + "/24", "dev", "t0")

    def template_address(self, s):
        with open(PREFIX.unix(s["templateFolder"] + r"\Default.ost"), "rb") as f:
            m = re.search(rb'RepositoryName="([^"]*)"', f.read())
        return m.group(1).decode() if m else None

    def test_address_changed_while_the_task_runs(self):
        if os.geteuid() != 0 or shutil.which("ip") is None:
            self.skipTest("needs root and iproute2's ip to make a network namespace of its own")
        self.holder = None
        # Wine's server and services run where the first program of the prefix
        # starts: the prefix's server is ended so that all of them start inside.
        subprocess.call(["wineserver", "-k"], env=PREFIX.env, stderr=subprocess.DEVNULL)
        subprocess.call(["wineserver", "-w"], env=PREFIX.env, timeout=60)
        try:
            self.make_namespace()
            self.set_address(None, "10.77.0.5")
            PREFIX.launcher = ["ip", "netns", "exec", self.NS]
            s = PREFIX.install_scanner("--name", "Roaming", "--repo", "10.9.9.9")
            self.start_task()
            self.wait_watchers([s])
            self.assertTrue(wait_for(lambda: len(escapes(PREFIX, REPUBLISH, s["driverKey"])) == 1, 30))
            self.assertEqual("10.77.0.5", self.template_address(s))

            # A new address: the template names it and the scanner republishes, once.
            self.set_address("10.77.0.5", "10.77.0.9")
            changed = time.time()
            self.assertTrue(wait_for(lambda: self.template_address(s) == "10.77.0.9", 30), self.template_address(s))
            print("address change: template up to date after %.1f s" % (time.time() - changed), file=sys.stderr)
            self.assertTrue(wait_for(lambda: len(escapes(PREFIX, REPUBLISH, s["driverKey"])) == 2, 30))
            # No usable address (the network off), then the same one back: nothing.
            self.set_address("10.77.0.9", None)
            time.sleep(7)
            self.set_address(None, "10.77.0.9")
            time.sleep(7)
            self.assertEqual("10.77.0.9", self.template_address(s))
            self.assertEqual(2, len(escapes(PREFIX, REPUBLISH, s["driverKey"])), PREFIX.journal())
            self.assertIsNone(self.task.proc.poll())
        finally:
            if self.task is not None:
                self.task.stop()
                self.task = None
            subprocess.call(["wineserver", "-k"], env=PREFIX.env, stderr=subprocess.DEVNULL)
            subprocess.call(["wineserver", "-w"], env=PREFIX.env, timeout=60)
            PREFIX.launcher = []
            if self.holder is not None:
                self.holder.kill()
                self.holder.wait()
                self.holder.stdout.close()
            subprocess.run(["ip", "netns", "del", self.NS], capture_output=True)


# ---- templates that would misdirect a delivery ---------------------------------
class TemplateDelivery(TaskCase):
    """The real executable with templates that give no base name, or an empty, a
    relative or a climbing destination: nothing is delivered anywhere, and every
    scan is still filed."""

    def write_template(self, name, text):
        folder = r"C:\PC\templates"
        os.makedirs(PREFIX.unix(folder), exist_ok=True)
        with open(PREFIX.unix(folder + "\\" + name), "wb") as f:
            f.write(text.encode("ascii"))
        return folder + "\\" + name

    def test_odd_templates_deliver_nothing_astray_and_every_scan_is_filed(self):
        s = PREFIX.install_scanner("--name", "OddTemplates")
        self.task = Task(PREFIX, debug=EVENTS)
        self.assertEqual(0, PREFIX.wine(PREFIX.tool("bgctl.exe"), "wait", "30", check=False)[0])
        self.assertTrue(wait_for(lambda: delete_image_value(PREFIX, s), 60), "the watcher did not start")
        out = r"C:\PC\Out"
        os.makedirs(PREFIX.unix(out), exist_ok=True)
        drive_c = os.path.join(PREFIX.path, "drive_c")
        places = [drive_c, PREFIX.unix(r"C:\PC"), PREFIX.unix(out), os.getcwd(), PREFIX.bin_unix]
        before = {p: set(os.listdir(p)) for p in places}
        head = 'Name="odd"\r\nRepositoryName="10.9.9.9"\r\n'
        cases = [
            ("EMPTYDIR", head + 'PCFolderPath=""\r\nPCBaseFileName="EmptyDir"\r\n'),
            ("NOVALUE", head + 'PCFolderPath=\r\nPCBaseFileName="NoValue"\r\n'),
            ("RELATIVE", head + 'PCFolderPath="Rel\\Sub"\r\nPCBaseFileName="Relative"\r\n'),
            ("CLIMB", head + 'PCFolderPath="%s"\r\nPCBaseFileName="..\\Escaped"\r\n' % out),
            # Last, and delivered: the watcher files and delivers in turn, so once
            # this one is there every earlier delivery has ended.
            ("KEEPNAME", head + 'PCFolderPath="%s"\r\nPCBaseFileName=""\r\n' % out),
        ]
        for stem, text in cases:
            PREFIX.wine(PREFIX.tool("simdrop.exe"), s["tempFolder"], stem, "--kind", "tif", "--template",
                        self.write_template(stem + ".ost", text), timeout=300)
        delivered = PREFIX.unix(out + r"\KEEPNAME.tif")
        self.assertTrue(wait_for(lambda: os.path.exists(delivered), 60), os.listdir(PREFIX.unix(out)))
        docs = PREFIX.unix(s["docFolder"])
        for stem, _ in cases:
            job = os.path.join(docs, stem + ".osm")
            self.assertTrue(wait_for(lambda: sorted(os.listdir(job)) == [stem + ".ost", stem + ".tif"], 10),
                            (stem, os.listdir(docs)))
        same = lambda: filecmp.cmp(delivered, os.path.join(docs, "KEEPNAME.osm", "KEEPNAME.tif"), shallow=False)
        wait_for(same, 10)
        self.assertTrue(same(), "an empty base name keeps the image's own name, and the image is whole")
        after = {p: set(os.listdir(p)) for p in places}
        self.assertEqual({"KEEPNAME.tif"}, after[PREFIX.unix(out)] - before[PREFIX.unix(out)])
        for p in places:
            if p != PREFIX.unix(out):
                self.assertEqual(set(), after[p] - before[p] - {"templates"}, "something delivered into " + p)
        temp = [f for f in os.listdir(PREFIX.unix(s["tempFolder"]))]
        self.assertEqual([], temp, "every scan left the TempImage folder")
        # The administrator's events: the start, and each refusal with the values
        # as the template gave them; nothing for the scan that was delivered.
        out = self.task.output()
        self.assertRegex(out, r'trace:eventlog:ReportEventW L"\d+\.\d+\.\d+"\n.*ReportEventW L"1"')
        refused = re.findall(r'warn:eventlog:ReportEventW L"[^"]*\\\\(\w+)\.osm"', out)
        self.assertEqual(["EMPTYDIR", "NOVALUE", "RELATIVE", "CLIMB"], refused, out)
        self.assertIn(r'warn:eventlog:ReportEventW L"Rel\\Sub"', out)
        self.assertIn(r'warn:eventlog:ReportEventW L"..\\Escaped"', out)


# ---- WIA requests through the WIA service stand-in -------------------------------
# The task creates the WIA device managers in another process (wiasim.exe, started
# by COM); every call below crosses processes through the proxies.
SERVICE = "wiasim.exe"
WIA_REPUBLISH = "0x9834"
WIA_DELETE = "0x9833"


def service_lines(prefix, device=None):
    """The calls the WIA service stand-in received, in order, optionally of one device."""
    return [e for e in prefix.journal() if len(e) >= 5 and e[4] == SERVICE and
            (device is None or e[0].endswith(device))]


def wia_writes(prefix, prop, device=None):
    return [e for e in service_lines(prefix, device) if e[1] == "WriteMultiple" and e[2] == prop]


class WiaServiceE2E(TaskCase):
    @classmethod
    def setUpClass(cls):
        for name in ("wiasim.exe", "wiamarshal.dll"):
            if not os.path.exists(os.path.join(PREFIX.bin_unix, name)):
                raise AssertionError("%s was not built: scripts/setup installs widl and the system IDL files" % name)

    def set_version(self, version):
        PREFIX.wine("reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", version, "/f")

    def assert_requests(self, device, prop, count, create_call, manager):
        """Each request on the device: created through the manager of its form, the
        property written with the user's SID inside the lock and unlock escapes, then
        COM's final release of the root item and of the manager, before the next call."""
        lines = service_lines(PREFIX)
        starts = [i for i, e in enumerate(lines) if e[0].endswith(device) and e[1] == create_call]
        writes = []
        for i in starts:
            block = [(e[0].rsplit("\\", 1)[-1] if e[0].endswith(device) else e[0], e[1], e[2]) for e in lines[i:i + 6]]
            if len(block) == 6 and block[2] == (device, "WriteMultiple", prop):
                writes.append(lines[i + 2])
                self.assertEqual([(device, create_call, "0x0"), (device, "WiaEscape", "0x1"),
                                  (device, "WriteMultiple", prop), (device, "WiaEscape", "0x2"),
                                  (device, "FinalRelease", "0x0"), (manager, "FinalRelease", "0x0")],
                                 block, lines)
                self.assertEqual((manager, "CoCreateInstance", "0x4"), tuple(lines[i - 1][:3]), lines)
        self.assertEqual(count, len(writes), (device, prop, lines))
        for e in writes:
            self.assertRegex(e[3], r"^S-1-5-21-\d+-\d+-\d+-\d+$")
        # Nothing of WIA reaches the task's own process.
        self.assertFalse([e for e in PREFIX.journal() if len(e) >= 5 and e[4] != SERVICE and
                          e[1] in ("CreateWiaDevice", "CreateWia2Device", "WriteMultiple", "WiaEscape")])

    def test_wia_requests_cross_into_the_service(self):
        t = PREFIX.install_scanner("--name", "TwainBeside")
        w1 = PREFIX.install_scanner("--name", "WiaFirst", "--wia", "--model", "Orbek Chromhold")
        w2 = PREFIX.install_scanner("--name", "WiaSecond", "--wia")
        self.start_task()
        self.wait_watchers([t, w1, w2])
        # Each of the two WIA watchers has every WIA device republish.
        self.assertTrue(wait_for(lambda: len(wia_writes(PREFIX, WIA_REPUBLISH)) >= 4, 40), PREFIX.journal())
        time.sleep(1)
        for w in (w1, w2):
            self.assert_requests(w["driverKey"], WIA_REPUBLISH, 2, "CreateWiaDevice", "WIA")
        self.assertEqual(1, len(escapes(PREFIX, REPUBLISH, t["driverKey"])))
        sid = escapes(PREFIX, REPUBLISH, t["driverKey"])[0][3]
        self.assertEqual({sid}, {e[3] for e in wia_writes(PREFIX, WIA_REPUBLISH)})

        start = time.time()
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "logoff", "60", check=False)
        self.assertIn("query=1", out)
        self.assertLess(time.time() - start, 30, "the delete requests held the log-off")
        for w in (w1, w2):
            self.assert_requests(w["driverKey"], WIA_DELETE, 1, "CreateWiaDevice", "WIA")
        self.assertEqual(1, len(escapes(PREFIX, DELETE, t["driverKey"])))
        self.assertEqual({sid}, {e[3] for e in wia_writes(PREFIX, WIA_DELETE)})

    def test_wia2_requests_on_vista_or_later(self):
        # The task takes the WIA 2 form from the system's version.
        w1 = PREFIX.install_scanner("--name", "WiaTwoA", "--wia")
        w2 = PREFIX.install_scanner("--name", "WiaTwoB", "--wia", "--usb")
        t = PREFIX.install_scanner("--name", "TwainByWia2")
        self.set_version("win7")
        try:
            self.start_task()
            self.wait_watchers([w1, w2, t])
            self.assertTrue(wait_for(lambda: len(wia_writes(PREFIX, WIA_REPUBLISH)) >= 4, 40), PREFIX.journal())
            time.sleep(1)
            for w in (w1, w2):
                self.assert_requests(w["driverKey"], WIA_REPUBLISH, 2, "CreateWia2Device", "WIA2")
            self.assertFalse([e for e in service_lines(PREFIX) if e[1] == "CreateWiaDevice"])
            # Wine's ShutdownBlockReasonCreate answers FALSE: the delete requests go
            # out in the WIA 2 form all the same, and the session end is let go.
            rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "logoff", "60", check=False)
            self.assertIn("query=1", out)
            for w in (w1, w2):
                self.assert_requests(w["driverKey"], WIA_DELETE, 1, "CreateWia2Device", "WIA2")
            self.assertEqual(1, len(escapes(PREFIX, DELETE, t["driverKey"])))
        finally:
            self.task.stop()
            self.task = None
            self.set_version("winxp64")

    def test_wia_service_ends_mid_delete_request(self):
        dies = PREFIX.install_scanner("--name", "WiaDies", "--wia", "--service-dies")
        after = PREFIX.install_scanner("--name", "WiaAfter", "--wia")
        t = PREFIX.install_scanner("--name", "TwainAfter")
        # Wine reports the failed proxy calls with their status on its ole channel.
        task = self.start_task(debug="warn+ole")
        self.wait_watchers([dies, after, t])
        self.assertTrue(wait_for(lambda: len(wia_writes(PREFIX, WIA_REPUBLISH)) >= 4, 40), PREFIX.journal())
        time.sleep(1)
        before = len(PREFIX.journal())
        # A shutdown: the task stays, so that a later pass can show the lock free.
        start = time.time()
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "shutdown", "60", check=False)
        self.assertIn("query=1", out, "the session end was held")
        self.assertLess(time.time() - start, 30)
        pass_lines = [tuple(e[:2]) + (e[4] if len(e) >= 5 else "",) for e in PREFIX.journal()[before:]]
        died = next(i for i, e in enumerate(pass_lines) if e[0].endswith(dies["driverKey"]) and e[1] == "WriteMultiple")
        # The service ended in the request: no answer, no release from it ...
        self.assertFalse([e for e in pass_lines[died + 1:] if e[0].endswith(dies["driverKey"])], pass_lines)
        # ... the task's call got the RPC status of a call the server never answered ...
        self.assertIn("NdrProxyErrorHandler (0x800706be)", task.output())
        # ... and the pass went on: COM started a new service for the next device,
        # and the TWAIN device after it was served too.
        self.assertIn(("", "ServiceStart", SERVICE), pass_lines[died + 1:])
        self.assertEqual(1, len(wia_writes(PREFIX, WIA_DELETE, after["driverKey"])))
        self.assertEqual(1, len(escapes(PREFIX, DELETE, t["driverKey"])))
        # The deletion thread left the template lock: a second session-end query
        # runs its pass (the user's SID was given back by the first, so it sends
        # nothing) and is answered.
        before = len(PREFIX.journal())
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "shutdown", "30", check=False)
        self.assertIn("query=1", out, "the second pass never ran: the template lock stayed held")
        self.assertIn("GetDeviceList", [e[1] for e in PREFIX.journal()[before:]])
        self.assertIsNone(task.proc.poll())

    def test_wia_service_missing_or_refusing(self):
        w = PREFIX.install_scanner("--name", "WiaNoService", "--wia")
        t = PREFIX.install_scanner("--name", "TwainServed")
        # At start the WIA service is not registered at all ...
        PREFIX.wine(PREFIX.tool("siminstall.exe"), "wiaservice", "unregister")
        self.start_task()
        self.wait_watchers([w, t], timeout=40)
        self.assertTrue(wait_for(lambda: escapes(PREFIX, REPUBLISH, t["driverKey"]), 20), PREFIX.journal())
        self.assertEqual([], service_lines(PREFIX))
        # ... at log-off it is there but refuses to create its manager.
        PREFIX.wine(PREFIX.tool("siminstall.exe"), "wiaservice", "register")
        PREFIX.wine(PREFIX.tool("siminstall.exe"), "wiaservice", "refuse")
        start = time.time()
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "logoff", "60", check=False)
        self.assertIn("query=1", out)
        self.assertLess(time.time() - start, 30)
        self.assertEqual([("WIA", "CoCreateInstance")], [tuple(e[:2]) for e in service_lines(PREFIX)
                                                         if e[1] != "ServiceStart"])
        self.assertEqual(1, len(escapes(PREFIX, DELETE, t["driverKey"])))


# The classes the other CTest entries run, each in a prefix of its own, beside the
# first, which runs every other class (a class added later runs there).
PART_CLASSES = {"services": ("AddressChange", "TemplateDelivery", "WiaServiceE2E"),
                "session": ("SessionEnd", "SessionEndOnWindows7")}


def part_names(part):
    """The test classes of a part: 'services', 'session', 'task' (every other class) or 'all'."""
    classes = [n for n, c in globals().items()
               if isinstance(c, type) and issubclass(c, TaskCase) and c is not TaskCase]
    if part == "all":
        return classes
    if part in PART_CLASSES:
        return [n for n in classes if n in PART_CLASSES[part]]
    return [n for n in classes if not any(n in names for names in PART_CLASSES.values())]


def main():
    global PREFIX
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    # CTest runs the classes in three entries, each in a prefix of its own, side by side.
    parser.add_argument("--prefix", default="e2e-prefix")
    parser.add_argument("--part", choices=("all", "task", "services", "session"), default="all")
    args, rest = parser.parse_known_args()
    PREFIX = SimPrefix(args.build, args.prefix)
    PREFIX.ensure()
    unittest.main(argv=[sys.argv[0], "-v", *(rest or part_names(args.part))])


if __name__ == "__main__":
    main()
