"""The support build (BGTASK_TRACE=ON): the real executable under Wine, with the
debugger-output channel shown, started with the command line of the installed
package's Run entry against one simulated scanner; its texts of start-up,
discovery and filing are read back exactly. A second start by hand shows the
other start text."""
import argparse
import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from simprefix import SimPrefix, Task, wait_for  # noqa: E402

RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
# Wine 8 shows what a program sends to the debugger output on the warn+seh channel
# (older Wine: +debugstr), each text escaped as C text.
DEBUG_CHANNEL = "-all,warn+seh"
DEBUG_LINE = re.compile(r'^[0-9a-f]+:warn:seh:OutputDebugStringA "(.*)"$', re.M)
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
SKIPPED = 77

ARGS = None


def unescape(text):
    return re.sub(r'\\(x[0-9a-fA-F]{2}|.)',
                  lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x" and len(m.group(1)) == 3
                  else ESCAPES.get(m.group(1), m.group(0)), text)


class Traced(Task):
    """The support build started in the background; its debugger texts so far."""

    def __init__(self, prefix, args):
        super().__init__(prefix, args, debug=DEBUG_CHANNEL)

    def texts(self):
        return [unescape(t) for t in DEBUG_LINE.findall(self.output())]


class SupportBuild(unittest.TestCase):
    def setUp(self):
        self.prefix = p = SimPrefix(ARGS.build, "support-prefix")
        p.ensure()
        # The prefix says Windows XP for the task's session end; the installer, which
        # refuses anything before Windows 7, is told Windows 7.
        p.wine("reg", "add", r"HKCU\Software\Wine\AppDefaults\msiexec.exe", "/v", "Version", "/d", "win7", "/f")
        shutil.copy2(ARGS.trace_exe, os.path.join(p.bin_unix, "BgndTask.exe"))
        p.reset()
        self.started = []

    def tearDown(self):
        for task in self.started:
            task.stop()
        self.prefix.wine("msiexec", "/x", "Z:" + ARGS.package.replace("/", "\\"), "/qn", check=False, timeout=90)

    def start(self, args):
        task = Traced(self.prefix, args)
        self.started.append(task)
        return task

    def assertSaid(self, task, text, seconds):
        self.assertTrue(wait_for(lambda: text in task.texts(), seconds),
                        "the support build did not say %r; it said:\n%s" % (text, "\n".join(map(repr, task.texts()))))

    def test_texts_of_a_start_by_the_run_entry_discovery_and_filing(self):
        p = self.prefix
        rc, _ = p.wine("msiexec", "/i", "Z:" + ARGS.package.replace("/", "\\"), "/qn", check=False, timeout=90)
        self.assertEqual(0, rc, "the package did not install")
        value = p.reg_value(RUN_KEY, "BgndTask")
        self.assertIsNotNone(value, "the package wrote no Run value")
        m = re.fullmatch(r'"[^"]+" +(\S.*)', value[1])
        self.assertIsNotNone(m, value)
        scanner = p.install_scanner("--name", "Sup")

        task = self.start(m.group(1).split())
        self.assertSaid(task, "**************************** WINMAIN ENTER ****************************", 30)
        self.assertSaid(task, "Bacground Task Started by the Registry", 5)
        self.assertNotIn("Bacground Task Started by the User", task.texts())
        self.assertSaid(task, "GetDeviceInfo Enter", 30)
        self.assertSaid(task, " The Temp Folder Path is set to   " + scanner["tempFolder"], 10)
        self.assertSaid(task, " The Doc Folder Path is set to   " + scanner["docFolder"], 10)
        self.assertSaid(task, "GetDeviceInfo Exit", 10)

        p.wine(p.tool("simdrop.exe"), scanner["tempFolder"], "Scan1", "--kind", "tif", timeout=120)
        job = scanner["docFolder"] + r"\Scan1.osm"
        self.assertSaid(task, " New Job Folder Sucessfully Created at %s\r\n" % job, 60)
        self.assertSaid(task, " The File %s\\Scan1.tif was successfully moved\r\n" % job, 20)

        # A start by hand while the task runs: the other start text, then the exit.
        second = self.start([])
        self.assertEqual(0, second.wait(30), "the second start did not leave at once")
        self.assertIn("Bacground Task Started by the User", second.texts())
        self.assertNotIn("Bacground Task Started by the Registry", second.texts())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--trace-exe", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    if not os.path.isfile(ARGS.trace_exe):
        print("support_build: skipped, no support build at %s (scripts/test builds it)" % ARGS.trace_exe)
        sys.exit(SKIPPED)
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
