"""End-to-end tests: the real BgndTask.exe under Wine, in a prefix of its own,
against the scanner simulator (simulated installation, still-image service
stand-in and scan drop tool)."""
import argparse
import filecmp
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from simprefix import SimPrefix, Task, wait_for  # noqa: E402

PREFIX = None
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


class E2E(unittest.TestCase):
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

    # ---------------------------------------------------------------------------
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

    def test_logoff_is_relayed(self):
        s = PREFIX.install_scanner("--name", "Relay")
        task = self.start_task(debug="+process")
        self.wait_watchers([s])
        rc, out = PREFIX.wine(PREFIX.tool("bgctl.exe"), "logoff", "120", check=False)
        self.assertIn("query=1", out)
        self.assertEqual(1, len(escapes(PREFIX, DELETE, s["driverKey"])))
        # Wine carries a relayed log-off out by starting its session-end program.
        self.assertTrue(wait_for(lambda: "wineboot.exe --end-session" in task.output(), 20))
        task.wait(30)

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
        self.start_task()
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
            self.assertEqual([stem + ".osm"], [d for d in self.docs(s) if d.startswith(stem)], "filed once, whole")
            self.assertEqual([], [f for f in os.listdir(temp) if f.startswith(stem)])


def main():
    global PREFIX
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args, rest = parser.parse_known_args()
    PREFIX = SimPrefix(args.build, "e2e-prefix")
    PREFIX.ensure()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
