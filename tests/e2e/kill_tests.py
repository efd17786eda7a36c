"""Kill test: the real BgndTask.exe under Wine, ended with TerminateProcess at
seeded random moments while bursts of scans arrive, and started again. In the
end every file of every scan lies in one job folder under Documents, exactly
once, nothing stays in the temporary folder and no lock folder is left; every
scan's image was delivered to the template's PC folder exactly once and whole,
and no .partial or staging file of a cut-off delivery is left. The last round
ends the task in the middle of a large delivery.

    kill_tests.py --build DIR [--rounds N] [--seed S] [--docs-on-other-volume]

With --docs-on-other-volume the Documents folder lies on a tmpfs of its own, so
that every move into it (folder jobs too) is a copy and then a delete, and an
end can cut a copy off half way.

Prints the seed, the scans dropped, filed, doubled, lost and split, and the
deliveries missing and doubled; BGTASK_SEED sets
the seed as well, so that a run can be repeated (and made longer) by hand."""
import argparse
import hashlib
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
BIG_BYTES = 120 * 1024 * 1024
OWN_LEFTOVER = re.compile(r"\.(jpg|bmp|tif|gif|pdf|xps)\.\d+-\d+\.(partial|tmp)$", re.I)
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
        # A prefix of its own for each kind of run, so that the two run side by side.
        self.prefix = SimPrefix(build, "kill-other-volume-prefix" if other_volume else "kill-prefix")
        # /dev/shm is a tmpfs: a file system apart from the prefix's drive C:.
        self.other_volume = "/dev/shm/bgt-kill-docs-%d" % os.getpid() if other_volume else None
        self.rounds = rounds
        self.rng = random.Random(seed)
        self.scans = {}  # stem -> (folder_job, pages)
        self.cut_off = 0
        self.pc_win = r"C:\PC\Kill"

    def setup(self):
        self.prefix.ensure()
        self.prefix.reset()
        self.scanner = self.prefix.install_scanner("--name", "Killed")
        self.temp = self.prefix.unix(self.scanner["tempFolder"])
        self.docs = self.prefix.unix(self.scanner["docFolder"])
        os.makedirs(self.temp, exist_ok=True)
        # Every scan's template sends its image to a PC folder (no base name:
        # the image keeps its name there).
        self.pc = self.prefix.unix(self.pc_win)
        os.makedirs(self.pc, exist_ok=True)
        self.template_win = self.prefix.bin_win + "\\kill.ost"
        with open(os.path.join(self.prefix.bin_unix, "kill.ost"), "w", newline="") as f:
            f.write('RepositoryName="0.0.0.0"\r\nPCFolderPath="%s"\r\n' % self.pc_win)
        rc, out = self.prefix.wine("cmd", "/c", "echo %TEMP%")
        self.user_temp = self.prefix.unix(out.strip().splitlines()[-1].strip())
        if self.other_volume:
            os.makedirs(self.other_volume, exist_ok=True)
            os.makedirs(os.path.dirname(self.docs), exist_ok=True)
            os.symlink(self.other_volume, self.docs)
            assert os.stat(self.docs).st_dev != os.stat(self.temp).st_dev, "Documents must be on another volume"

    def cleanup(self):
        if self.other_volume:
            shutil.rmtree(self.other_volume, ignore_errors=True)

    def drop_burst(self, round_no, count, gap_ms, size=None):
        """Starts a burst of scans in the background, as the driver would drop them."""
        folder_job = self.rng.random() < 0.3 and size is None
        pages = self.rng.randint(1, 2)
        stem = "R%d" % round_no
        for n in range(1, count + 1):
            self.scans["%s_%d" % (stem, n)] = (folder_job, pages)
        args = ["wine", self.prefix.tool("simdrop.exe"), self.scanner["tempFolder"], stem, "--burst", str(count),
                "--gap", str(gap_ms), "--size", str(size or self.rng.randint(1000, 300000)), "--hold", "20",
                "--pages", str(pages), "--template", self.template_win]
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

    def big_round(self, round_no):
        """A large scan, and the task ended while its delivery is under way."""
        task = Task(self.prefix)
        self.prefix.wine(self.prefix.tool("bgctl.exe"), "wait", "30", check=False)
        before = set(os.listdir(self.pc))
        dropper = self.drop_burst(round_no, 1, 0, size=BIG_BYTES)
        cut = wait_for(lambda: set(os.listdir(self.pc)) != before, 60, interval=0.005)
        time.sleep(self.rng.uniform(0.0, 0.3))
        self.end_task(task)
        print("[ kill ] round %d: ended %s the delivery of a %d MB scan"
              % (round_no, "during" if cut else "without seeing", BIG_BYTES // (1024 * 1024)), flush=True)
        dropper.wait(timeout=120)
        task.stop()

    def settle(self):
        """Starts the task once more and lets it file whatever is left."""
        task = Task(self.prefix)
        try:
            self.prefix.wine(self.prefix.tool("bgctl.exe"), "wait", "30", check=False)

            def settled():
                temp = [f for f in os.listdir(self.temp) if not f.endswith(".lck")]
                docs = os.listdir(self.docs) if os.path.isdir(self.docs) else []
                pending = [f for f in docs if f.endswith(".lck") or f.endswith(".delivering")]
                return not temp and not pending
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
        filed = doubled = lost = split = 0
        for stem, (folder_job, pages) in sorted(self.scans.items()):
            keys = scan_keys(stem, folder_job, pages)
            where = seen[stem]
            if len({place for k in keys for place in where.get(k, [])}) > 1:
                split += 1
                problems.append("%s split: %s" % (stem, {k: where.get(k) for k in sorted(keys)}))
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
        return filed, doubled, lost, split, left, problems

    def count_deliveries(self, problems):
        """Per scan, how many whole copies of its image reached the PC folder:
        (missing, doubled). A delivered file is told by its bytes, which the
        drop tool makes from the scan's stem: it must equal an image filed in
        that scan's job folder."""
        def digest(path):
            h = hashlib.sha1()
            with open(path, "rb") as f:
                for chunk in iter(lambda: f.read(1 << 20), b""):
                    h.update(chunk)
            return h.hexdigest()
        owner = {}
        for job in os.listdir(self.docs) if os.path.isdir(self.docs) else []:
            stem, _ = stem_of_job(job, self.scans)
            path = os.path.join(self.docs, job)
            if stem is None or not os.path.isdir(path):
                continue
            for name in os.listdir(path):
                if os.path.splitext(name)[1].lower() in (".jpg", ".tif"):
                    owner[digest(os.path.join(path, name))] = stem
        delivered = {stem: 0 for stem in self.scans}
        for name in sorted(os.listdir(self.pc)):
            if OWN_LEFTOVER.search(name):
                problems.append("delivery leftover: " + name)
                continue
            stem = owner.get(digest(os.path.join(self.pc, name)))
            if stem is None:
                problems.append("delivered file that is no whole filed image: " + name)
                continue
            delivered[stem] += 1
        for name in os.listdir(self.user_temp) if os.path.isdir(self.user_temp) else []:
            if OWN_LEFTOVER.search(name):
                problems.append("staging leftover: " + name)
        missing = [s for s, n in delivered.items() if n == 0]
        doubled = [s for s, n in delivered.items() if n > 1]
        for stem in missing:
            problems.append("%s never delivered" % stem)
        for stem in doubled:
            problems.append("%s delivered %d times" % (stem, delivered[stem]))
        return len(missing), len(doubled)


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
        run.big_round(args.rounds + 1)
        run.settle()
        filed, doubled, lost, split, left, problems = run.count()
        missing, delivered_twice = run.count_deliveries(problems)
    finally:
        run.cleanup()
    print("[ kill ] dropped %d, filed %d, doubled %d, lost %d, split %d, left in TempImage %d; filings cut off %d; "
          "deliveries missing %d, doubled %d; seed %d, %.0f s"
          % (len(run.scans), filed, doubled, lost, split, len(left), run.cut_off, missing, delivered_twice, seed,
             time.time() - start), flush=True)
    for problem in problems:
        print("    " + problem)
    ok = doubled == 0 and lost == 0 and split == 0 and not left and not problems and filed == len(run.scans) \
        and missing == 0 and delivered_twice == 0
    if not ok:
        print("[ kill ] FAILED; repeat with --seed %d" % seed)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
