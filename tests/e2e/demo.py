"""The demo: the real BgndTask.exe under Wine doing its four jobs against the
scanner simulator, printed step by step. Leaves its prefix for a look around."""
import argparse
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from simprefix import SimPrefix, Task, wait_for  # noqa: E402


def heading(text):
    print("\n== " + text)


def show_tree(prefix, winpath, indent="    "):
    root = prefix.unix(winpath)
    if not os.path.isdir(root):
        print(indent + "(none)")
        return
    for name in sorted(os.listdir(root)):
        full = os.path.join(root, name)
        if os.path.isdir(full):
            print("%s%s\\" % (indent, name))
            for child in sorted(os.listdir(full)):
                print("%s    %-28s %9d bytes" % (indent, child, os.path.getsize(os.path.join(full, child))))
        else:
            print("%s%-32s %9d bytes" % (indent, name, os.path.getsize(full)))


def show_journal(entries):
    print("    journal of the simulated drivers (device = driver key, code, user SID as received,")
    print("    and the process that received the call):")
    for e in entries:
        device, call, code, sid, process = (e + ["", "", "", "", ""])[:5]
        device = device.rsplit("\\", 1)[-1] if device else "service"
        print("      %-8s %-18s %-10s %-22s %s" % (device, call, code, sid, process))


def repository(prefix, scanner):
    with open(prefix.unix(scanner["templateFolder"] + r"\Default.ost"), "rb") as f:
        m = re.search(rb'RepositoryName="([^"]*)"', f.read())
    return m.group(1).decode() if m else "(none)"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    prefix = SimPrefix(args.build, "demo-prefix")
    if not os.path.exists(os.path.join(prefix.path, ".sim-ready")):
        print("demo: creating the simulator's Wine prefix (about 20 s)")
    prefix.ensure()
    prefix.reset()

    heading("Simulated installation: two scanners of the family")
    pc_folder = r"C:\PC\Scans"
    os.makedirs(prefix.unix(pc_folder), exist_ok=True)
    twain = prefix.install_scanner("--name", "Front", "--pcfolder", pc_folder, "--base", "Invoice",
                                   "--repo", "10.0.0.99")
    wia = prefix.install_scanner("--name", "Back", "--wia", "--model", "Orbek Chromhold", "--usb")
    for s in (twain, wia):
        print("    driver key %s: %s" % (s["driverKey"], s["description"]))
        print("        filing path %s" % s["filingPath"])
    print("    first template's RepositoryName before start: %s" % repository(prefix, twain))

    heading("Starting BgndTask.exe")
    task = Task(prefix)
    prefix.wine(prefix.tool("bgctl.exe"), "wait", "30", check=False)
    print("    its hidden window \"BgndTask\" exists; the first discovery runs at the first tick (5 s)")

    def option(s):
        rc, out = prefix.wine("reg", "query", "HKCU\\" + s["userRegPath"], check=False)
        m = re.search(r"^\s+(\S+_DeleteImageOnScan)\s+(REG_\w+)\s+(\S+)", out, re.M)
        return m and "%s = %s (%s)" % (m.group(1), m.group(3), m.group(2))

    if not wait_for(lambda: option(twain) and option(wia), 60):
        print("    the watchers did not start; see the prefix at " + prefix.path)
        task.stop()
        return 1

    heading("Job 3: at start each watcher checked the address and had the templates republished")
    print("    first template's RepositoryName now: %s (the PC's address)" % repository(prefix, twain))
    # Both watchers' passes are over once the WIA manager is released and the TWAIN
    # device unlocked.
    wait_for(lambda: ["WIA", "FinalRelease"] in [e[:2] for e in prefix.journal()] and
             "UnLockDevice" in [e[1] for e in prefix.journal()], 30)
    show_journal(prefix.journal())
    print("    (the TWAIN scanner is reached through the still-image service in the task's own")
    print("     process; the WIA scanner's requests cross into the WIA service stand-in,")
    print("     wiasim.exe, which COM started in a process of its own: the lock escape 0x1,")
    print("     the SID written as property 0x9834, the unlock escape 0x2, then COM's final")
    print("     release of the root item and of the device manager)")
    for s in (twain, wia):
        print("    HKCU\\%s: %s" % (s["userRegPath"], option(s)))
    markers = [f for f in os.listdir(prefix.unix(r"C:\ProgramData")) if f.endswith("obk.del")]
    print("    marker files in C:\\ProgramData: %s" % ", ".join(sorted(markers)))

    heading("Job 1: scans dropped the way the driver does (<stem>.lck, files, lock removed)")
    tmpl = twain["templateFolder"] + r"\Default.ost"
    prefix.wine(prefix.tool("simdrop.exe"), twain["tempFolder"], "LETTER", "--kind", "tif", "--template", tmpl)
    prefix.wine(prefix.tool("simdrop.exe"), wia["tempFolder"], "BOOK", "--kind", "folder", "--pages", "2")
    # The same name again once the first is filed: the second job gets a time stamp.
    wait_for(lambda: not os.listdir(prefix.unix(twain["tempFolder"])), 20)
    prefix.wine(prefix.tool("simdrop.exe"), twain["tempFolder"], "LETTER", "--kind", "pdf", "--template", tmpl)
    # Filing is done when the temporary folders are empty again and both of the
    # front scanner's images have reached the PC folder.
    wait_for(lambda: not os.listdir(prefix.unix(twain["tempFolder"])) and not os.listdir(
        prefix.unix(wia["tempFolder"])) and len(os.listdir(prefix.unix(pc_folder))) >= 2, 40)
    for s in (twain, wia):
        print("    %s:" % s["docFolder"])
        show_tree(prefix, s["docFolder"], "        ")
    print("    (job folders are created under a protected access list for the user, the")
    print("     administrators, SYSTEM and the service group; Wine keeps no folder DACL, so")
    print("     the list is proven by the component tests)")

    heading("Job 2: the template asked for delivery to %s under the base name Invoice" % pc_folder)
    show_tree(prefix, pc_folder)

    heading("Job 4: log-off: every scanner of the family is asked to delete the user's templates")
    print("    (the WIA scanner through the WIA service stand-in: property 0x9833)")
    before = len(prefix.journal())
    rc, out = prefix.wine(prefix.tool("bgctl.exe"), "logoff", "120", check=False)
    answer = re.search(r"query=(\S+)", out)
    held = re.search(r"held_ms=(\d+)", out)
    print("    WM_QUERYENDSESSION answered %s after %s ms" % (answer.group(1) if answer else "nothing",
                                                          held.group(1) if held else "?"))
    show_journal(prefix.journal()[before:])
    task.wait(30)
    task.stop()

    heading("Done")
    print("    The prefix stays for a look around: WINEPREFIX=%s" % prefix.path)
    print("    Journal of the simulated drivers: %s" % prefix.journal_unix)
    return 0


if __name__ == "__main__":
    sys.exit(main())
