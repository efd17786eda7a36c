"""A Wine prefix of its own with the scanner simulator installed, shared by the
end-to-end tests and the demo. Everything runs the real BgndTask.exe."""
import fcntl
import os
import re
import shutil
import subprocess
import tempfile
import time

CLASS_KEY = r"HKLM\System\CurrentControlSet\Control\Class\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
WIA_SERVICE_KEY = r"HKLM\SOFTWARE\ScannerSimulator"


class SimPrefix:
    def __init__(self, build_dir, name):
        self.build = os.path.abspath(build_dir)
        self.path = os.path.join(self.build, name)
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", DISPLAY="",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        # A library for Wine's processes only (scripts/clock-run's moved clock): this
        # harness keeps the real clock, its waits included.
        if os.environ.get("BGTASK_WINE_PRELOAD"):
            self.env["LD_PRELOAD"] = os.environ["BGTASK_WINE_PRELOAD"]
        self.bin_unix = os.path.join(self.path, "drive_c", "simbin")
        self.bin_win = r"C:\simbin"
        self.journal_unix = os.path.join(self.path, "drive_c", "simjournal", "journal.txt")
        # What every Windows program of the prefix is started through (a network
        # namespace, for one case).
        self.launcher = []

    # ---- Wine ---------------------------------------------------------------
    def wine(self, *args, timeout=120, env=None, check=True):
        """Runs a Windows program to its end; answers (exit code, output).
        Output goes through a file: Wine's helper processes inherit the standard
        handles and would keep a pipe open after the program ended."""
        with tempfile.TemporaryFile() as out:
            rc = subprocess.call([*self.launcher, "wine", *args], stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.STDOUT, env=env or self.env, timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", "replace").replace("\r", "")
        if check and rc != 0:
            raise RuntimeError("wine %s failed (%d): %s" % (" ".join(args), rc, text))
        return rc, text

    def ensure(self):
        """Creates the prefix once (under a lock) and installs the simulator's binaries."""
        with open(self.path + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(os.path.join(self.path, ".sim-ready")):
                shutil.rmtree(self.path, ignore_errors=True)
                subprocess.call(["wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180)
                self.wine("reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
                # A version before Vista: Wine's ShutdownBlockReasonCreate answers FALSE,
                # and on Vista or later the task then refuses the session end.
                self.wine("reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "winxp64", "/f")
                subprocess.call(["wineserver", "-w"], env=self.env, timeout=120)
                open(os.path.join(self.path, ".sim-ready"), "w").close()
            subprocess.call(["wineserver", "-p300"], env=self.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, timeout=60)
        os.makedirs(self.bin_unix, exist_ok=True)
        os.makedirs(os.path.dirname(self.journal_unix), exist_ok=True)
        for rel in ("host/BgndTask.exe", "sim/sti/sti.dll", "sim/bgctl.exe", "sim/tools/siminstall.exe",
                    "sim/tools/simdrop.exe", "sim/wia/wiasim.exe", "sim/wia/wiamarshal.dll"):
            src = os.path.join(self.build, rel)
            if os.path.exists(src):
                shutil.copy2(src, self.bin_unix)

    def tool(self, name):
        return self.bin_win + "\\" + name

    # ---- state ----------------------------------------------------------------
    def reset(self):
        """Ends any running task and removes every trace of earlier installations."""
        self.wine(self.tool("bgctl.exe"), "close", check=False)
        self.wine(self.tool("bgctl.exe"), "gone", "15", check=False)
        self.wine(self.tool("bgctl.exe"), "wiagone", "15", check=False)
        rc, out = self.wine("reg", "query", CLASS_KEY, check=False)
        keys = re.findall(r"^(HKEY_LOCAL_MACHINE\\.*\\\d{4})$", out, re.M)
        keys += [r"HKEY_LOCAL_MACHINE\SOFTWARE\Orbek", r"HKEY_CURRENT_USER\Software\Orbek",
                 "HKEY_LOCAL_MACHINE" + WIA_SERVICE_KEY[4:]]
        # Every key removed, and the version before Vista put back (a case may have
        # changed it), by one regedit: each start of a Wine program costs a second.
        script = ["REGEDIT4", ""] + ["[-%s]" % k for k in keys]
        script += ["", r"[HKEY_CURRENT_USER\Software\Wine]", '"Version"="winxp64"', ""]
        with open(os.path.join(self.path, "drive_c", "reset.reg"), "w", newline="\r\n") as f:
            f.write("\n".join(script))
        self.wine("regedit", "/s", r"C:\reset.reg")
        # The WIA service stand-in, registered afresh.
        self.wine(self.tool("siminstall.exe"), "wiaservice", "register")
        drive_c = os.path.join(self.path, "drive_c")
        for rel in ("ProgramData/Orbek", "PC", "simjournal"):
            shutil.rmtree(os.path.join(drive_c, rel), ignore_errors=True)
        for f in os.listdir(os.path.join(drive_c, "ProgramData")):
            if f.endswith("obk.del"):
                os.remove(os.path.join(drive_c, "ProgramData", f))
        os.makedirs(os.path.dirname(self.journal_unix), exist_ok=True)

    def unix(self, winpath):
        """The Linux path of a C: path of the prefix."""
        assert winpath[:2].upper() == "C:"
        return os.path.join(self.path, "drive_c", *winpath[3:].split("\\"))

    def install_scanner(self, *args):
        rc, out = self.wine(self.tool("siminstall.exe"), "scanner", *args)
        return dict(line.split("=", 1) for line in out.strip().splitlines() if "=" in line)

    def reg_value(self, key, name):
        rc, out = self.wine("reg", "query", key, "/v", name, check=False)
        m = re.search(r"^\s+%s\s+(REG_\w+)\s+(.*)$" % re.escape(name), out, re.M)
        return (m.group(1), m.group(2).strip()) if m else None

    def journal(self):
        if not os.path.exists(self.journal_unix):
            return []
        with open(self.journal_unix, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\n").split("\t") for line in f if line.strip()]


class Task:
    """A program of the prefix (the real BgndTask.exe unless another is named),
    started in the background. Its output goes to a file opened for appending,
    so that the program's writes never land where this side reads."""

    def __init__(self, prefix, args=(), debug=None, program=None):
        self.prefix = prefix
        fd, self.log_path = tempfile.mkstemp(prefix="task-", suffix=".log")
        os.close(fd)
        env = dict(prefix.env)
        if debug:
            env["WINEDEBUG"] = debug
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen([*prefix.launcher, "wine", program or prefix.tool("BgndTask.exe"), *args],
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env)

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace").replace("\r", "")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self):
        """Ends the task through its window, or outright when it does not answer."""
        if self.proc.poll() is None:
            self.prefix.wine(self.prefix.tool("bgctl.exe"), "close", check=False)
            if self.wait(20) is None:
                self.kill()
        if os.path.exists(self.log_path):
            os.remove(self.log_path)


def wait_for(predicate, timeout, interval=0.2):
    end = time.time() + timeout
    while True:
        value = predicate()
        if value or time.time() >= end:
            return value
        time.sleep(interval)
