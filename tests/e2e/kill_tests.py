"""Kill test: the real BgndTask.exe under Wine, ended with TerminateProcess at
seeded random moments while bursts of scans arrive, and started again. In the
end every file of every scan lies in a job folder under Documents (a scan cut
off mid-filing may be spread over two), exactly once, nothing stays in the
temporary folder and no lock folder is left.

    kill_tests.py --build DIR [--rounds N] [--seed S] [--docs-on-other-volume]

With --docs-on-other-volume the Documents folder lies on a tmpfs of its own, so
that every move into it is a copy and then a delete, and an end can cut a copy
off half way.

Prints the seed, the scans dropped, filed, doubled and lost; BGTASK_SEED sets
the seed as well, so that a run can be repeated (and made longer) by hand."""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from simprefix import SimPrefix, Task, wait_for  # noqa: E402

PAGE_EXTS = (".tif", ".tmb", ".jpg")
STAMPED = re.compile(r"_\d+-\d+-\d+_\d+-\d+-\d+(_\d+)?$|_\d+$")


def scan_keys(stem, folder_job, pages):
    """What one scan consists of, as the names its files have in TempImage."""
    if not folder_job:
        return {stem + ".tif", stem + ".ost"}
    keys = {stem + ".ost"}
    for p in range(1, pages + 1):
        keys |= {"p%d%s" % (p, ext) for ext in PAGE_EXTS}
    return keys


def stem_of_job(job, stems):
    """The scan a job folder <stem><suffix>.osm belongs to."""
    name = job[:-len(".osm")]
    if name in stems:
        return name, ""
    m = STAMPED.search(name)
    while m:
        if name[:m.start()] in stems:
            return name[:m.start()], name[m.start():]
        m = STAMPED.search(name, m.start() + 1)
    return None, None


def key_in_job(name, stem, suffix, folder_job):
    """A file of a job folder, by the name it had in TempImage."""
    base, ext = os.path.splitext(name)
    if suffix and base.endswith(suffix):
        base = base[:-len(suffix)]
    if folder_job and ext.lower() in PAGE_EXTS and base.startswith(stem + "_"):
        base = base[len(stem) + 1:]
    return base + ext


class KillRun:
    def __init__(self, build, rounds, seed, other_volume=False):
        self.prefix = SimPrefix(build, "kill-prefix")
        # /dev/shm is a tmpfs: a file system apart from the prefix's drive C:.
        self.other_volume = "/dev/shm/bgt-kill-docs-%d" % os.getpid() if other_volume else None
        self.rounds = rounds
        self.rng = random.Random(seed)
        self.scans = {}  # stem -> (folder_job, pages)
        self.cut_off = 0

    def setup(self):
        self.prefix.ensure()
        self.prefix.reset()
        self.scanner = self.prefix.install_scanner("--name", "Killed")
        self.temp = self.prefix.unix(self.scanner["tempFolder"])
        self.docs = self.prefix.unix(self.scanner["docFolder"])
        os.makedirs(self.temp, exist_ok=True)
        if self.other_volume:
            os.makedirs(self.other_volume, exist_ok=True)
            os.makedirs(os.path.dirname(self.docs), exist_ok=True)
            os.symlink(self.other_volume, self.docs)
            assert os.stat(self.docs).st_dev != os.stat(self.temp).st_dev, "Documents must be on another volume"

    def cleanup(self):
        if self.other_volume:
            shutil.rmtree(self.other_volume, ignore_errors=True)

    def drop_burst(self, round_no, count, gap_ms):
        """Starts a burst of scans in the background, as the driver would drop them."""
        # A folder cannot be moved to another volume (the job stays whole in
        # TempImage, as the filing tests show): there, single-file jobs only,
        # whose move is a copy and a delete that the end can cut.
        folder_job = self.rng.random() < 0.3 and not self.other_volume
        pages = self.rng.randint(1, 2)
        stem = "R%d" % round_no
        for n in range(1, count + 1):
            self.scans["%s_%d" % (stem, n)] = (folder_job, pages)
        args = ["wine", self.prefix.tool("simdrop.exe"), self.scanner["tempFolder"], stem, "--burst", str(count),
                "--gap", str(gap_ms), "--size", str(self.rng.randint(1000, 300000)), "--hold", "20",
                "--pages", str(pages)]
        if folder_job:
            args += ["--kind", "folder"]
        return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=self.prefix.env)

    def end_task(self, task):
        """At once: Wine's TerminateProcess ends the Linux process that runs the
        program with SIGKILL, which is what this sends, without the delay of
        starting a Windows program to do it."""
        task.proc.kill()
        self.prefix.wine(self.prefix.tool("bgctl.exe"), "gone", "15", check=False)

    def kill_task(self):
        """TerminateProcess, as Task Manager's End task or a crash would end it."""
        self.prefix.wine("taskkill", "/f", "/im", "BgndTask.exe", check=False)
        self.prefix.wine(self.prefix.tool("bgctl.exe"), "gone", "15", check=False)

    def round(self, round_no):
        # Half the rounds drop a larger burst before the task starts: by the time
        # its watch begins the scans are quiet and filed one after another
        # without a pause, and the end meets the filing itself more often. The
        # others drop a burst while the task runs. The task is ended at a random
        # moment around its watch's start and while it files.
        if self.rng.random() < 0.5:
            count = self.rng.randint(8, 25)
            dropper = self.drop_burst(round_no, count, 0)
            dropper.wait(timeout=120)
            files = set(os.listdir(self.temp))
            task = Task(self.prefix)
            # The catch-up files them back to back, some 10 ms each: the end is
            # aimed into that stretch, so that it meets a filing under way.
            wait_for(lambda: set(os.listdir(self.temp)) != files, 20, interval=0.005)
            time.sleep(self.rng.uniform(0.0, 0.012 * count))
            self.end_task(task)
        else:
            task = Task(self.prefix)
            kill_at = time.time() + self.rng.uniform(5.0, 9.0)
            time.sleep(self.rng.uniform(3.0, 5.0))
            dropper = self.drop_burst(round_no, self.rng.randint(2, 6), self.rng.randint(0, 400))
            time.sleep(max(0.0, kill_at - time.time()))
            self.kill_task()
        waiting = len({f.split(".")[0] for f in os.listdir(self.temp) if not f.endswith(".lck")})
        locks = [f for f in os.listdir(self.docs) if f.endswith(".lck")] if os.path.isdir(self.docs) else []
        self.cut_off += len(locks)
        print("[ kill ] round %d: ended with %d scans waiting, %d filings cut off" % (round_no, waiting, len(locks)),
              flush=True)
        dropper.wait(timeout=120)
        task.wait(10)
        task.stop()

    def settle(self):
        """Starts the task once more and lets it file whatever is left."""
        task = Task(self.prefix)
        try:
            self.prefix.wine(self.prefix.tool("bgctl.exe"), "wait", "30", check=False)

            def settled():
                temp = [f for f in os.listdir(self.temp) if not f.endswith(".lck")]
                locks = [f for f in os.listdir(self.docs) if f.endswith(".lck")] if os.path.isdir(self.docs) else []
                return not temp and not locks
            wait_for(settled, 90, interval=1.0)
            time.sleep(3)
        finally:
            task.stop()

    def count(self):
        """Where every file of every scan is: (filed, doubled, lost, left, problems)."""
        seen = {stem: {} for stem in self.scans}
        problems = []
        for job in sorted(os.listdir(self.docs)) if os.path.isdir(self.docs) else []:
            path = os.path.join(self.docs, job)
            if job.endswith(".lck"):
                problems.append("lock folder left: " + job)
                continue
            stem, suffix = stem_of_job(job, self.scans)
            if stem is None:
                problems.append("job of no scan: " + job)
                continue
            for name in os.listdir(path):
                key = key_in_job(name, stem, suffix, self.scans[stem][0])
                seen[stem].setdefault(key, []).append(job)
        left = set()
        for name in os.listdir(self.temp):
            stem = name.split(".")[0]
            if stem not in self.scans:
                continue
            left.add(stem)
            sub = os.path.join(self.temp, name)
            for key in os.listdir(sub) if os.path.isdir(sub) else [name]:
                seen[stem].setdefault(key, []).append("TempImage")
        filed = doubled = lost = 0
        for stem, (folder_job, pages) in sorted(self.scans.items()):
            keys = scan_keys(stem, folder_job, pages)
            where = seen[stem]
            if any(len(where.get(k, [])) > 1 for k in keys):
                doubled += 1
                problems.append("%s doubled: %s" % (stem, {k: v for k, v in where.items() if len(v) > 1}))
            if any(k not in where for k in keys):
                lost += 1
                problems.append("%s lost: %s" % (stem, sorted(keys - set(where))))
            if stem not in left and all(len(where.get(k, [])) == 1 for k in keys):
                filed += 1
            extra = set(where) - keys
            if extra:
                problems.append("%s has files of no scan: %s" % (stem, sorted(extra)))
        return filed, doubled, lost, left, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--docs-on-other-volume", action="store_true")
    args = parser.parse_args()
    seed = args.seed
    if seed is None:
        seed = int(os.environ.get("BGTASK_SEED", "0")) or int(time.time()) % 1000000
    print("[ kill ] seed %d, %d rounds%s" % (seed, args.rounds,
                                            ", Documents on another volume" if args.docs_on_other_volume else ""),
          flush=True)
    run = KillRun(args.build, args.rounds, seed, args.docs_on_other_volume)
    start = time.time()
    try:
        run.setup()
        for n in range(1, args.rounds + 1):
            run.round(n)
        run.settle()
        filed, doubled, lost, left, problems = run.count()
    finally:
        run.cleanup()
    print("[ kill ] dropped %d, filed %d, doubled %d, lost %d, left in TempImage %d; filings cut off %d; seed %d, %.0f s"
          % (len(run.scans), filed, doubled, lost, len(left), run.cut_off, seed, time.time() - start), flush=True)
    for problem in problems:
        print("    " + problem)
    ok = doubled == 0 and lost == 0 and not left and not problems and filed == len(run.scans)
    if not ok:
        print("[ kill ] FAILED; repeat with --seed %d" % seed)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
