"""The installer package under Wine, in a fresh prefix made for every run: a refusal
on a Windows older than 7, a silent install, a start from the Run entry, an uninstall
that has the running task delete the user's templates and end, the same for an
upgrade over an older build after which the package starts the task again, a repair
that leaves the running task alone, a refused downgrade, a second package of one
version, a repair that ends the task and then fails, after which the task runs
again, and an uninstall that ends a task that no longer answers and spares another
program with a window of the task's class. The steps build on each other and run in their
order. About 100 s."""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from simprefix import SimPrefix, Task, wait_for  # noqa: E402

RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
RUN_KEY_32 = r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Run"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\BgndTask"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT = "Orbek Scanner Background Task"
INSTALLED_EXE = r"C:\Program Files\Orbek\BgndTask\BgndTask.exe"
REPUBLISH = "0x101E"
DELETE = "0x101D"
MSIEXEC_SECONDS = 90
PACKAGE_SECONDS = 1200
SIGNING_VARIABLES = ("BGTASK_SIGN_PFX", "BGTASK_SIGN_CERT", "BGTASK_SIGN_KEY", "BGTASK_SIGN_PASSWORD",
                     "BGTASK_SIGN_TIMESTAMP")
PREFIX_SECONDS = 120

ARGS = None


def file_version(path):
    """The file version of a PE file's version resource, as "a.b.c.d"."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def dos_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")



def reg_add_retried(prefix, *args):
    """`reg add` in a prefix just made: while its services still start, Wine may
    fail to start a program at all ("Application could not be started")."""
    for _ in range(3):
        rc, text = prefix.wine("reg", "add", *args, check=False)
        if rc == 0:
            return
        subprocess.call(["wineserver", "-w"], env=prefix.env, timeout=60)
    raise RuntimeError("reg add %s failed (%d): %s" % (" ".join(args), rc, text))

class Package(unittest.TestCase):
    prefix = None
    task = None

    @classmethod
    def setUpClass(cls):
        cls.prefix = p = SimPrefix(ARGS.build, "install-prefix")
        # The still-image service stand-in, for the installed program too: in place of
        # Wine's own sti.dll (this prefix only), never beside the installed program.
        p.env["WINEDLLOVERRIDES"] += ";sti=n"
        shutil.rmtree(p.path, ignore_errors=True)
        try:
            subprocess.call(["wineboot", "-i"], env=p.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, timeout=PREFIX_SECONDS)
        except subprocess.TimeoutExpired:
            raise AssertionError("a fresh prefix was not made within %d s" % PREFIX_SECONDS)
        reg_add_retried(p, r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
        # Wine's ShutdownBlockReasonCreate answers FALSE, on which a task that takes the
        # system for Vista or later refuses the session-end query: the task alone sees
        # a version before Vista, the installer sees Windows 7.
        reg_add_retried(p, r"HKCU\Software\Wine\AppDefaults\BgndTask.exe", "/v", "Version", "/d", "winxp64", "/f")
        subprocess.call(["wineserver", "-w"], env=p.env, timeout=60)
        subprocess.call(["wineserver", "-p60"], env=p.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.makedirs(p.bin_unix, exist_ok=True)
        os.makedirs(os.path.dirname(p.journal_unix), exist_ok=True)
        shutil.copy2(os.path.join(ARGS.build, "sim", "sti", "sti.dll"), p.unix(r"C:\windows\system32\sti.dll"))
        for tool in ("bgctl.exe", "tools/siminstall.exe", "tools/simdrop.exe"):
            shutil.copy2(os.path.join(ARGS.build, "sim", tool), p.bin_unix)
        # A scanner of the family: without one the task would end by itself at its
        # first tick, and an ended task would prove nothing about the uninstall.
        cls.scanner = p.install_scanner("--name", "Inst")

    @classmethod
    def tearDownClass(cls):
        if cls.task is not None:
            cls.task.kill()

    # ---- helpers ------------------------------------------------------------------
    def msiexec(self, action, msi, *properties):
        """Runs the package silently; its verbose log (actions in order, then the
        properties) is kept in self.log."""
        log = os.path.join(self.prefix.path, "msiexec.log")
        try:
            rc, out = self.prefix.wine("msiexec", action, dos_path(msi), *properties, "/qn", "/l*v", dos_path(log),
                                       check=False, timeout=MSIEXEC_SECONDS)
        except subprocess.TimeoutExpired:
            self.fail("msiexec %s %s did not finish within %d s" % (action, msi, MSIEXEC_SECONDS))
        with open(log, encoding="utf-8", errors="replace") as f:
            self.log = f.read()
        return rc

    def installed_exe(self):
        return self.prefix.unix(INSTALLED_EXE)

    def run_command(self):
        """(program, arguments) of the Run entry; fails unless the path is quoted."""
        value = self.prefix.reg_value(RUN_KEY, "BgndTask")
        self.assertIsNotNone(value, "no Run value BgndTask")
        self.assertEqual("REG_SZ", value[0])
        m = re.fullmatch(r'"([^"]+)" +(\S.*)', value[1])
        self.assertIsNotNone(m, "the Run value is not a quoted path and an argument: %r" % value[1])
        return m.group(1), m.group(2).split()

    def product_entries(self):
        """[(key, DisplayVersion)] of the package's uninstall entries."""
        rc, out = self.prefix.wine("reg", "query", UNINSTALL_KEY, "/s", check=False)
        entries = []
        for block in re.split(r"\n(?=HKEY_)", out):
            if re.search(r"^\s+DisplayName\s+REG_SZ\s+%s\s*$" % re.escape(PRODUCT), block, re.M):
                version = re.search(r"^\s+DisplayVersion\s+REG_SZ\s+(\S+)", block, re.M)
                entries.append((block.splitlines()[0], version.group(1) if version else None))
        return entries

    def run_values_naming_the_task(self):
        rc, out = self.prefix.wine("reg", "query", RUN_KEY, check=False)
        return [line for line in out.splitlines() if "bgndtask.exe" in line.lower()]

    def start_from_run_entry(self):
        path, args = self.run_command()
        since = len(self.prefix.journal())
        task = Task(self.prefix, args, program=path)
        Package.task = task
        rc, _ = self.prefix.wine(self.prefix.tool("bgctl.exe"), "wait", "30", check=False)
        self.assertEqual(0, rc, "the Run entry's command line did not bring up the task's window")
        # Past the first tick (5 s), where a task that found no scanner would end.
        time.sleep(6)
        self.assertIsNone(task.proc.poll(), "the task ended by itself after its window appeared")
        self.assertTrue(wait_for(lambda: self.requests(REPUBLISH, since), 20),
                        "the task did not publish the templates: %r" % self.prefix.journal())
        return task

    def requests(self, code, since=0):
        """The requests of the given code that the task sent to the scanner, with a SID."""
        return [e for e in self.prefix.journal()[since:]
                if len(e) >= 5 and e[1] == "Escape" and e[2] == code and e[3] and e[4].lower() == "bgndtask.exe"]

    def assert_deleted_then_ended(self, action, msi, what, restarted=False):
        """Runs the package with the task running: the task has the scanner delete the
        user's templates, then ends by itself or through its window."""
        task = Package.task
        self.assertIsNone(task.proc.poll(), "the task ended before the %s" % what)
        since = len(self.prefix.journal())
        self.assertEqual(0, self.msiexec(action, msi), "the %s failed; its log ends:\n%s" % (what, self.log[-3000:]))
        self.assert_task_ended_by_its_window(task, "the " + what, restarted)
        self.assertEqual(1, len(self.requests(DELETE, since)),
                         "the %s did not have the task delete the templates once: %r" % (what, self.prefix.journal()))
        # Ended on the session end that went ahead, not on the WM_CLOSE that follows
        # a task still there 10 s later.
        self.assertRegex(self.log, r"CloseRunningTask: task \d+ ended on the session end")
        return since

    def assert_task_ended_by_its_window(self, task, what, restarted=False):
        code = task.wait(30)
        self.assertIsNotNone(code, "%s left the task running" % what)
        # 0 is the exit of the message loop (after the session end, or WM_CLOSE); an
        # ended process says 1.
        self.assertEqual(0, code, "%s did not end the task through its window" % what)
        if restarted:
            return  # the window there now is the task the package started again
        self.assertEqual(0, self.prefix.wine(self.prefix.tool("bgctl.exe"), "gone", "5", check=False)[0],
                         "a window of the task's class is still there after %s" % what)

    def assert_started_again(self, what):
        """The package started the task it ended again, for the user: a task runs and
        publishes the templates after their delete."""
        self.assertIn("RestartClosedTask: the task was started again for the user", self.log)
        self.assertEqual(0, self.prefix.wine(self.prefix.tool("bgctl.exe"), "wait", "30", check=False)[0],
                         "%s left the user without a task" % what)
        deleted = [i for i, e in enumerate(self.prefix.journal()) if e[2:3] == [DELETE]][-1]
        self.assertTrue(wait_for(lambda: self.requests(REPUBLISH, deleted + 1), 30),
                        "the task started again did not publish the templates: %r" % self.prefix.journal())

    def assert_installed(self, exe, version):
        self.assertTrue(os.path.isfile(self.installed_exe()), "BgndTask.exe is not under Program Files")
        with open(exe, "rb") as want, open(self.installed_exe(), "rb") as got:
            self.assertTrue(want.read() == got.read(), "the installed file is not the packed build")
        self.assertEqual(version + ".0", file_version(self.installed_exe()))
        self.assertEqual([version], [v for _, v in self.product_entries()],
                         "not exactly one installed product of this version")
        self.assertEqual(1, len(self.run_values_naming_the_task()), "not exactly one Run value")

    # ---- steps, in order ----------------------------------------------------------
    def test_0_a_windows_older_than_7_is_refused(self):
        self.prefix.wine("reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "winxp64", "/f")
        try:
            self.assertNotEqual(0, self.msiexec("/i", ARGS.package), "the package installed on Windows XP")
        finally:
            self.prefix.wine("reg", "delete", r"HKCU\Software\Wine", "/v", "Version", "/f")
        self.assertFalse(os.path.exists(self.installed_exe()))
        self.assertEqual([], self.product_entries())

    def test_1_install_writes_the_file_and_the_run_entry(self):
        self.assertEqual(0, self.msiexec("/i", ARGS.package))
        # No restart by the package, and nothing that turns the Restart Manager off.
        self.assertIn("Property(S): REBOOT = ReallySuppress", self.log)
        self.assertNotIn("MSIRESTARTMANAGERCONTROL", self.log)
        version = file_version(os.path.join(ARGS.build, "host", "BgndTask.exe"))[:-2]
        self.assert_installed(os.path.join(ARGS.build, "host", "BgndTask.exe"), version)
        path, args = self.run_command()
        self.assertEqual(INSTALLED_EXE.lower(), path.lower())
        self.assertTrue(args, "the Run entry passes no argument")
        self.assertIsNone(self.prefix.reg_value(RUN_KEY_32, "BgndTask"), "the Run value went to the 32-bit view")
        # The event source names the installed executable, which carries the messages.
        message_file = self.prefix.reg_value(EVENT_SOURCE_KEY, "EventMessageFile")
        self.assertEqual(("REG_SZ", INSTALLED_EXE.lower()), (message_file[0], message_file[1].lower()))
        self.assertEqual(("REG_DWORD", "0x7"), self.prefix.reg_value(EVENT_SOURCE_KEY, "TypesSupported"))
        # The installation runs with the installer's token, not the user's: no task from it.
        self.assertEqual(0, self.prefix.wine(self.prefix.tool("bgctl.exe"), "gone", "3", check=False)[0],
                         "the installation started the task")

    def test_2_run_entry_starts_the_task(self):
        self.start_from_run_entry()

    def test_3_uninstall_has_the_task_delete_the_templates_then_removes_all(self):
        self.assertIsNotNone(Package.task, "no task was started from the Run entry")
        since = self.assert_deleted_then_ended("/x", ARGS.package, "uninstall")
        self.assertEqual([], self.requests(REPUBLISH, since), "the templates went back after the delete")
        # After the Restart Manager has had its turn.
        started = re.findall(r"^Action start [\d:]+: (InstallValidate|CloseRunningTask)\.", self.log, re.M)
        self.assertEqual(["InstallValidate", "CloseRunningTask"], started)
        self.assertFalse(os.path.exists(os.path.dirname(os.path.dirname(self.installed_exe()))),
                         "the Orbek folder under Program Files was left behind")
        self.assertIsNone(self.prefix.reg_value(RUN_KEY, "BgndTask"), "the Run value was left behind")
        self.assertNotEqual(0, self.prefix.wine("reg", "query", EVENT_SOURCE_KEY, check=False)[0],
                            "the event source was left behind")
        self.assertEqual([], self.product_entries())

    def test_4_upgrade_over_an_older_build_with_its_task_running(self):
        older_exe = os.path.join(os.path.dirname(ARGS.older), "BgndTask_older.exe")
        self.assertEqual(0, self.msiexec("/i", ARGS.older))
        self.assert_installed(older_exe, "0.9.0")
        self.start_from_run_entry()
        since = self.assert_deleted_then_ended("/i", ARGS.package, "upgrade", restarted=True)
        newer_exe = os.path.join(ARGS.build, "host", "BgndTask.exe")
        self.assert_installed(newer_exe, file_version(newer_exe)[:-2])
        # Wine has no Restart Manager to start it again: the new build runs.
        self.assert_started_again("the upgrade")

    def test_4a_a_repair_leaves_the_running_task_alone_and_it_files(self):
        since = len(self.prefix.journal())
        self.assertEqual(0, self.msiexec("/i", ARGS.package, "REINSTALL=ALL"),
                         "the repair failed; its log ends:\n%s" % self.log[-3000:])
        self.assertIn("CloseRunningTask: the program stays as it is; the task is left running", self.log)
        self.assertEqual([], self.requests(DELETE, since), "the repair had the task delete the templates")
        self.assertEqual(0, self.prefix.wine(self.prefix.tool("bgctl.exe"), "wait", "5", check=False)[0],
                         "the repair left the user without a task")
        s = self.scanner
        self.prefix.wine(self.prefix.tool("simdrop.exe"), s["tempFolder"], "REPAIRED", "--kind", "tif", "--template",
                         s["templateFolder"] + r"\Default.ost", timeout=120)
        docs = self.prefix.unix(s["docFolder"])
        self.assertTrue(wait_for(lambda: os.path.isdir(os.path.join(docs, "REPAIRED.osm")), 30),
                        "the scan was not filed after the repair")
        # The task the package started is not this test's child: ended through its window.
        self.prefix.wine(self.prefix.tool("bgctl.exe"), "close", check=False)
        self.assertEqual(0, self.prefix.wine(self.prefix.tool("bgctl.exe"), "gone", "20", check=False)[0])

    def test_5_an_older_package_does_not_replace_a_newer_one(self):
        newer_exe = os.path.join(ARGS.build, "host", "BgndTask.exe")
        self.assertNotEqual(0, self.msiexec("/i", ARGS.older), "the older package installed over the newer one")
        self.assert_installed(newer_exe, file_version(newer_exe)[:-2])

    def test_6_a_second_package_of_one_version_is_the_same_product(self):
        newer_exe = os.path.join(ARGS.build, "host", "BgndTask.exe")
        self.msiexec("/i", ARGS.rebuilt)  # refused or a reinstall: either way one product
        self.assert_installed(newer_exe, file_version(newer_exe)[:-2])

    def test_6a_a_repair_that_fails_after_ending_the_task_starts_it_again(self):
        # The older build in place of the program, so that the repair has it to replace,
        # from a copy of the package whose cabinet no longer opens: the repair ends the
        # task, then fails in InstallFiles, before the program is touched.
        shutil.copy2(os.path.join(os.path.dirname(ARGS.older), "BgndTask_older.exe"), self.installed_exe())
        damaged = os.path.join(self.prefix.path, "damaged.msi")
        with open(ARGS.package, "rb") as f, open(damaged, "wb") as out:
            out.write(f.read().replace(b"MSCF\0\0\0\0", b"MSCX\0\0\0\0", 1))  # the cabinet's signature
        task = self.start_from_run_entry()
        self.assertNotEqual(0, self.msiexec("/i", damaged, "REINSTALL=ALL", "REINSTALLMODE=vomus"),
                            "the repair from a damaged package succeeded")
        self.assert_task_ended_by_its_window(task, "the failed repair", restarted=True)
        self.assertRegex(self.log, r"CloseRunningTask: task \d+ ended on the session end")
        self.assertRegex(self.log, r"Action start [\d:]+: RestartTaskAfterError\.")
        self.assert_started_again("the failed repair")
        self.prefix.wine(self.prefix.tool("bgctl.exe"), "close", check=False)
        self.assertEqual(0, self.prefix.wine(self.prefix.tool("bgctl.exe"), "gone", "20", check=False)[0])

    def test_7_uninstall_ends_a_stuck_task_and_spares_another_program_with_its_window(self):
        Package.task.stop()
        other = Task(self.prefix, program=ARGS.stuck)
        self.addCleanup(other.kill)
        self.assertEqual(0, self.prefix.wine(self.prefix.tool("bgctl.exe"), "wait", "30", check=False)[0])
        # The stand-in as the installed program: a task that no longer ends on request,
        # started through its path in other letters (the image path keeps them).
        shutil.copy2(ARGS.stuck, self.installed_exe())
        stuck = Package.task = Task(self.prefix, program=INSTALLED_EXE.upper())
        time.sleep(3)
        self.assertIsNone(stuck.proc.poll(), "the stand-in did not start as the installed program")
        self.assertEqual(0, self.msiexec("/x", ARGS.package))
        # Ended outright (exit code 1) after the session end and WM_CLOSE had their time.
        self.assertEqual(1, stuck.wait(30), "the uninstall left a task that ignores WM_CLOSE running")
        self.assertIsNone(other.proc.poll(), "the uninstall ended another program that owns a window of the class")
        self.assertFalse(os.path.exists(self.installed_exe()))
        self.assertIsNone(self.prefix.reg_value(RUN_KEY, "BgndTask"))
        self.assertEqual([], self.product_entries())


class Signing(unittest.TestCase):
    """scripts/package with a throw-away certificate made here (as PEM files and as a
    PKCS#12 file with a password), and with none. The first run builds the Release
    executable in a folder of its own (about a minute); later runs only pack again."""

    def package(self, env):
        out = os.path.join(ARGS.build, "package-check")
        run_env = {k: v for k, v in os.environ.items() if k not in SIGNING_VARIABLES}
        # The Release build beside the test build, at the same depth: with the same
        # flags, the compiler cache hands it the test build's objects.
        build = os.path.join(os.path.dirname(os.path.abspath(ARGS.build)), "package-check")
        run_env.update(env, BGTASK_PACKAGE_BUILD=build, BGTASK_PACKAGE_DIST=os.path.join(out, "dist"))
        try:
            rc = subprocess.call([os.path.join(ARGS.source, "scripts", "package")], env=run_env,
                                 stdout=subprocess.DEVNULL, timeout=PACKAGE_SECONDS)
        except subprocess.TimeoutExpired:
            self.fail("scripts/package did not finish within %d s" % PACKAGE_SECONDS)
        self.assertEqual(0, rc, "scripts/package failed")
        dist = os.path.join(out, "dist")
        self.assertEqual(0, subprocess.call(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=dist),
                         "SHA256SUMS does not match the files beside it")
        stage = os.path.join(build, "installer", "BgndTask_msi.stage")
        return [os.path.join(dist, "BgndTask.exe"), os.path.join(stage, "CloseTask.dll"), os.path.join(dist, "BgndTask.msi")]

    def test_signed_with_a_certificate_given_and_unsigned_without(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        key, cert, pfx = (os.path.join(tmp, n) for n in ("key.pem", "cert.pem", "signer.pfx"))
        subprocess.check_call(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                               "-subj", "/CN=BgndTask test signer", "-addext", "extendedKeyUsage=codeSigning",
                               "-keyout", key, "-out", cert], stderr=subprocess.DEVNULL)
        subprocess.check_call(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                               "-passout", "pass:throw-away"])
        for env in ({"BGTASK_SIGN_CERT": cert, "BGTASK_SIGN_KEY": key},
                    {"BGTASK_SIGN_PFX": pfx, "BGTASK_SIGN_PASSWORD": "throw-away"}, {}):
            with self.subTest(sorted(env)):
                files = self.package(env)
                verified = [subprocess.call(["osslsigncode", "verify", "-CAfile", cert, "-in", f],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0 for f in files]
                self.assertEqual([bool(env)] * 3, verified, "signatures of %s" % files)
                # The custom action packed in the package is the staged one, signed or not.
                with open(files[1], "rb") as d, open(files[2], "rb") as m:
                    self.assertIn(d.read(), m.read(), "the package does not carry the staged custom action")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--package")
    parser.add_argument("--older")
    parser.add_argument("--rebuilt")
    parser.add_argument("--stuck")
    parser.add_argument("--source")
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    unittest.main(argv=[sys.argv[0], "-v", "--failfast", *rest])


if __name__ == "__main__":
    main()
