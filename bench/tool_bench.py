#!/usr/bin/env python3
"""tool_bench.py - quillo against zip/unzip on the three benchmark trees.

Usage (normally through `make bench`):

    bench/tool_bench.py --corpora DIR [--tool PATH] [--only mixed,tiny] [--works list,extract]
                        [--reps 5] [--reps-big 3] [--threads default|1|both]
                        [--results bench/RESULTS.md] [--scratch DIR] [--memory DIR]
                        [--codec-bench PATH] [--note TEXT]

For each tree (DIR/mixed, DIR/tiny, DIR/big) it times these pairs:

    create -z -1 / 1 / 9     quillo -c TREE      zip -r -q -6 / -1 / -9 (cwd TREE)
    extract                  quillo -x PCK       unzip -q ZIP -d OUT
    list                     quillo -l PCK       unzip -Z1 ZIP > /dev/null
    test                     quillo --test PCK   unzip -tq ZIP
    ls                       quillo --ls PCK     unzip -Z -l ZIP      (both > /dev/null)
    pick                     quillo -x --include NAME --to OUT PCK   quillo -x --to OUT PCK
                                                 (one file of the tree against all of them)
    repack -z -1 / 1         quillo -r -z L PCK  unzip -q ZIP -d T, then zip -r -q -1
                                                 in T (ZIP made by zip -6)
    add                      quillo --add D PCK  quillo -c TREE (a whole create), and
                                                 cp PCK (a plain copy of the package)
                             (D holds one file of the tree, changed, 1 MiB)
    delete                   quillo --delete NAME PCK   the same two (one entry dropped)
    repack -z 9 (big)        quillo -r -z 9 PCK with the default threads against
                             QUILLO_THREADS=1 (every tree with --threads both)
    extract (memory)         extract again with PCK, ZIP and both outputs in --memory
                             (default /dev/shm when it exists; "" turns it off)
    floor                    the decode floor of the tree, one core: the codec,
                             zlib alone and libdeflate alone on the same stored
                             bytes (bench/codec_bench; the table records on tiny)

PCK is the package quillo made at -z -1, ZIP the archive zip made at -6. Each side
of a pair runs once untimed (warm cache; its output is checked there), then the
sides run alternately, REPS times, the order flipping every round. The table holds
the median wall time of each side, the ratio quillo / peer and the peak resident
set of each side over all its runs (GNU time %M). Before every timed run the
previous output is removed and the page cache is synced, outside the timing.

--threads 1 runs quillo with QUILLO_THREADS=1, default with QUILLO_THREADS unset;
both runs each pair with the two quillo variants and the peer alternately, and
adds repack -z 9, default threads against QUILLO_THREADS=1. The check of the
warm-up also compares the packages, list files and console bytes of the two
variants, which must be the same.

The original's command lines exit with status 1 whatever happens, so it tells
nothing there (runs with long options must exit with 0); the checks are: a package
lists one entry per file of the tree, an extract reproduces the tree (diff -r),
a repack -z 1 extracts to the tree again; zip archives hold one file entry per
file. A failed check stops the bench.
"""

import argparse
import datetime
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TREES = ("mixed", "tiny", "big")
TIME = "/usr/bin/time"


class BenchError(Exception):
    pass


def log(text):
    print(text, flush=True)


def need_tools():
    """Installs zip, unzip and GNU time with apt-get when one is missing."""
    missing = [p for p, present in (("zip", shutil.which("zip")), ("unzip", shutil.which("unzip")),
                                    ("time", os.access(TIME, os.X_OK))) if not present]
    if not missing:
        return
    if not shutil.which("apt-get"):
        raise BenchError("missing %s and no apt-get to install them" % " ".join(missing))
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    log("installing %s" % " ".join(missing))
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq"] + missing, check=True,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def ensure_corpora(corpora, script, trees):
    if all(os.path.isdir(os.path.join(corpora, t)) for t in trees):
        return
    if not os.path.isfile(script):
        raise BenchError("trees missing in %s and no corpus script at %s (set CORPORA_SCRIPT)"
                         % (corpora, script))
    log("building the trees: %s %s" % (script, corpora))
    subprocess.run(["bash", script, corpora], check=True)


def tree_facts(root):
    files, largest = 0, 0
    for dp, _, fn in os.walk(root):
        for f in fn:
            files += 1
            largest = max(largest, os.path.getsize(os.path.join(dp, f)))
    return files, largest


def tree_bytes(root):
    total = 0
    for d, _, names in os.walk(root):
        for n in names:
            total += os.path.getsize(os.path.join(d, n))
    return total


def first_file(root):
    """The relative path ('/' between levels) of the tree's first file in byte order."""
    d = root
    rel = []
    while True:
        items = sorted(os.listdir(d))
        files = [n for n in items if os.path.isfile(os.path.join(d, n))]
        if files:
            return "/".join(rel + [files[0]])
        d = os.path.join(d, items[0])
        rel.append(items[0])


def rm(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def list_file(pck):
    """Where quillo -l writes the names: the last '.' of the path ends the base."""
    dot = pck.rfind(".")
    return (pck[:dot] if dot >= 0 else pck) + ".lst.txt"


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


class Job:
    """One side of a pair: a command, where it runs, what it writes."""

    def __init__(self, label, argv, cwd, output, env=None, setup=None, check=None, peer=False,
                 status=None):
        self.label = label
        self.status = status  # the exit status the command must end with, when it tells one
        self.argv = argv
        self.cwd = cwd
        self.output = output  # removed before and after each run
        self.env = env
        self.setup = setup
        self.check = check  # called after the warm-up with the path of its stdout
        self.peer = peer
        self.times = []
        self.rss = []

    def run(self, scratch, timed):
        rm(self.output)
        if self.setup:
            self.setup()
        os.sync()
        rss_file = os.path.join(scratch, "rss.txt")
        out_file = os.path.join(scratch, "stdout.txt")
        with open(out_file if not timed else os.devnull, "wb") as out:
            start = time.perf_counter()
            proc = subprocess.run([TIME, "-f", "%M", "-o", rss_file] + self.argv, cwd=self.cwd,
                                  env=self.env, stdout=out, stderr=subprocess.DEVNULL)
            elapsed = time.perf_counter() - start
        if self.peer and proc.returncode != 0:
            raise BenchError("%s failed with status %d" % (self.label, proc.returncode))
        if self.status is not None and proc.returncode != self.status:
            raise BenchError("%s ended with status %d" % (self.label, proc.returncode))
        with open(rss_file) as f:  # "Command exited with non-zero status 1" may come first
            rss_kib = int(f.read().split()[-1])
        if timed:
            self.times.append(elapsed)
            self.rss.append(rss_kib)
        else:
            self.rss.append(rss_kib)
            if self.check:
                self.check(out_file)
        return elapsed


class Bench:
    def __init__(self, args):
        self.args = args
        self.tool = os.path.abspath(args.tool)
        self.rows = []  # (tree, work, quillo job, peer job)
        base_env = {k: v for k, v in os.environ.items() if k != "QUILLO_THREADS"}
        self.variants = {
            "default": [("default threads", base_env)],
            "1": [("QUILLO_THREADS=1", dict(base_env, QUILLO_THREADS="1"))],
            "both": [("QUILLO_THREADS=1", dict(base_env, QUILLO_THREADS="1")),
                     ("default threads", base_env)],
        }[args.threads]

    # ------------------------------------------------------------ checks
    def count_pck(self, pck):
        """Entries of a package, from the list file quillo writes beside it."""
        lst = list_file(pck)
        rm(lst)
        subprocess.run([self.tool, "-l", pck], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if not os.path.exists(lst):
            raise BenchError("no list file for %s" % pck)
        with open(lst, "rb") as f:
            data = f.read()
        os.remove(lst)
        return data.count(b"\r\0\n\0")

    def count_zip(self, zip_path):
        out = subprocess.run(["unzip", "-Z1", zip_path], stdout=subprocess.PIPE, check=True).stdout
        return sum(1 for line in out.splitlines() if line and not line.endswith(b"/"))

    def expect(self, what, got, want):
        if got != want:
            raise BenchError("%s: %s, expected %s" % (what, got, want))

    def same_tree(self, what, a, b):
        if subprocess.run(["diff", "-r", "-q", a, b], stdout=subprocess.DEVNULL).returncode != 0:
            raise BenchError("%s: %s differs from %s" % (what, b, a))

    def extract_check(self, what, pck, tree):
        subprocess.run([self.tool, "-x", pck], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.same_tree(what, tree, pck + ".files")
        rm(pck + ".files")

    def same_as_first(self, key, path):
        """The quillo variants of one pair must write the same bytes."""
        digest = sha256(path)
        first = self.seen.setdefault(key, (digest, path))
        if first[0] != digest:
            raise BenchError("%s: %s differs between the thread settings" % (key, path))

    def wants(self, work):
        return not self.args.works or work in self.args.works

    def make_masters(self, tree, s, master_pck, master_zip):
        """The -z -1 package and the zip -6 archive, untimed, when create was skipped."""
        if not os.path.exists(master_pck):
            subprocess.run([self.tool, "-c", tree, master_pck], cwd=s, stdout=subprocess.DEVNULL)
        if not os.path.exists(master_zip):
            subprocess.run(["zip", "-r", "-q", "-6", master_zip, "."], cwd=tree, check=True)

    # ------------------------------------------------------------ pairs
    def measure(self, tree, work, jobs, reps, rows):
        """Warm-up and check of every job, then `reps` alternating rounds."""
        for job in jobs:
            job.run(self.scratch, timed=False)
            rm(job.output)
        for r in range(reps):
            for job in (jobs if r % 2 == 0 else list(reversed(jobs))):
                job.run(self.scratch, timed=True)
                rm(job.output)
        for q, p in rows:
            self.rows.append((tree, work, q, p))
            log("  %-16s %-17s %8.3f s  %-24s %8.3f s  ratio %5.2f   %7.1f / %7.1f MiB"
                % (work, q.label, statistics.median(q.times), p.label, statistics.median(p.times),
                   statistics.median(q.times) / statistics.median(p.times),
                   max(q.rss) / 1024, max(p.rss) / 1024))

    def quillo_jobs(self, make):
        return [make(label, env) for label, env in self.variants]

    def bench_tree(self, name):
        tree = os.path.join(self.args.corpora, name)
        files, largest = tree_facts(tree)
        reps = min(self.args.reps, self.args.reps_big) if name == "big" else self.args.reps
        self.facts.append((name, files, largest, reps))
        log("== %s: %d files, largest %.1f MiB, %d runs per side" % (name, files, largest / 2**20, reps))
        s = os.path.join(self.scratch, name)
        os.makedirs(s)
        master_pck = os.path.join(s, "master.pck")
        master_zip = os.path.join(s, "master.zip")
        self.seen = {}

        # create
        for level, zip_level in (("-1", "-6"), ("1", "-1"), ("9", "-9")) if self.wants("create") else ():
            work = "create -z %s" % level
            out = os.path.join(s, "c.pck")

            def check_create(stdout, out=out, level=level, key=work):
                self.expect("%s of %s: entries" % (key, name), self.count_pck(out), files)
                self.same_as_first(key + " package", out)
                self.same_as_first(key + " console", stdout)
                if level == "-1" and not os.path.exists(master_pck):
                    os.rename(out, master_pck)

            def make(label, env, level=level, out=out, check=check_create):
                return Job("quillo " + label, [self.tool, "-c", tree, "-z", level, out], s, out,
                           env=env, check=check)

            zout = os.path.join(s, "c.zip")

            def check_zip(_, zout=zout, zip_level=zip_level):
                self.expect("zip %s of %s: entries" % (zip_level, name), self.count_zip(zout), files)
                if zip_level == "-6" and not os.path.exists(master_zip):
                    os.rename(zout, master_zip)

            qs = self.quillo_jobs(make)
            peer = Job("zip -r -q %s" % zip_level, ["zip", "-r", "-q", zip_level, zout, "."], tree, zout,
                       check=check_zip, peer=True)
            self.measure(name, work, qs + [peer], reps, [(q, peer) for q in qs])

        self.make_masters(tree, s, master_pck, master_zip)

        # extract
        out = master_pck + ".files"

        def check_extract(stdout):
            self.same_tree("extract of %s" % name, tree, out)
            self.same_as_first("extract console", stdout)

        qs = self.quillo_jobs(lambda label, env: Job("quillo " + label, [self.tool, "-x", master_pck],
                                                     s, out, env=env, check=check_extract))
        uout = os.path.join(s, "u")
        peer = Job("unzip -q", ["unzip", "-q", master_zip, "-d", uout], s, uout,
                   check=lambda _: self.same_tree("unzip of %s" % name, tree, uout), peer=True)
        if self.wants("extract"):
            self.measure(name, "extract", qs + [peer], reps, [(q, peer) for q in qs])
        if self.wants("extract") and self.args.memory:
            self.extract_in_memory(name, tree, master_pck, master_zip, reps)

        # list
        lst = list_file(master_pck)

        def check_list(stdout):
            with open(lst, "rb") as f:
                self.expect("list of %s: lines" % name, f.read().count(b"\r\0\n\0"), files)
            self.same_as_first("list file", lst)
            self.same_as_first("list console", stdout)

        qs = self.quillo_jobs(lambda label, env: Job("quillo " + label, [self.tool, "-l", master_pck],
                                                     s, lst, env=env, check=check_list))
        peer = Job("unzip -Z1 > /dev/null", ["sh", "-c", 'exec unzip -Z1 "$0" > /dev/null', master_zip],
                   s, os.path.join(s, "none"), peer=True)
        if self.wants("list"):
            self.measure(name, "list", qs + [peer], reps, [(q, peer) for q in qs])

        # test: every entry read and decoded, nothing written
        def check_test(stdout):
            with open(stdout, "rb") as f:
                summary = f.read().decode()
            self.expect("test of %s" % name, summary, "%d entries tested, %d bytes, 0 damaged\n"
                        % (files, tree_bytes(tree)))

        qs = self.quillo_jobs(lambda label, env: Job(
            "quillo " + label, [self.tool, "--test", master_pck], s, os.path.join(s, "none"),
            env=env, check=check_test, status=0))
        peer = Job("unzip -tq", ["unzip", "-tq", master_zip], s, os.path.join(s, "none"), peer=True)
        if self.wants("test"):
            self.measure(name, "test", qs + [peer], reps, [(q, peer) for q in qs])

        # ls: the listing of every entry, to /dev/null when timed
        def check_ls(stdout):
            with open(stdout, "rb") as f:
                self.expect("ls of %s: lines" % name, f.read().count(b"\n"), files + 1)

        qs = self.quillo_jobs(lambda label, env: Job(
            "quillo " + label, [self.tool, "--ls", master_pck], s, os.path.join(s, "none"),
            env=env, check=check_ls, status=0))
        peer = Job("unzip -Z -l", ["unzip", "-Z", "-l", master_zip], s, os.path.join(s, "none"),
                   peer=True)
        if self.wants("ls"):
            self.measure(name, "ls", qs + [peer], reps, [(q, peer) for q in qs])

        # pick: one file of the tree (the first in byte order) against a whole extract
        one = first_file(tree)
        pout = os.path.join(s, "p")
        aout = os.path.join(s, "a")

        def check_pick(_):
            self.expect("pick of %s: files" % name, tree_facts(pout)[0], 1)
            with open(os.path.join(tree, one), "rb") as a, open(os.path.join(pout, one), "rb") as b:
                self.expect("pick of %s: bytes" % name, a.read() == b.read(), True)

        qs = self.quillo_jobs(lambda label, env: Job(
            "quillo " + label, [self.tool, "-x", "--include", one, "--to", pout, master_pck], s, pout,
            env=env, check=check_pick, status=0))
        whole = Job("quillo -x --to (all)", [self.tool, "-x", "--to", aout, master_pck], s, aout,
                    check=lambda _: self.same_tree("extract --to of %s" % name, tree, aout), status=0)
        if self.wants("pick"):
            self.measure(name, "pick", qs + [whole], reps, [(q, whole) for q in qs])

        # repack: the package is a hard link to the master, which a repack only
        # renames to .old and reads; its size and time stamp are checked after.
        st = os.stat(master_pck)
        master_id = (st.st_size, st.st_mtime_ns)
        rp = os.path.join(s, "r")

        def link_master():
            os.makedirs(rp)
            os.link(master_pck, os.path.join(rp, "a.pck"))

        def check_master():
            st = os.stat(master_pck)
            if (st.st_size, st.st_mtime_ns) != master_id:
                raise BenchError("a repack changed the master package of %s" % name)

        repacks = [("-1", True), ("1", True)]
        if self.args.threads == "both" or name == "big":
            repacks.append(("9", False))
        if not self.wants("repack"):
            repacks = []
        for level, with_peer in repacks:
            work = "repack -z %s" % level

            def check_repack(stdout, level=level, key=work):
                check_master()
                pck = os.path.join(rp, "a.pck")
                self.expect("%s of %s: entries" % (key, name), self.count_pck(pck), files)
                if level == "1":
                    self.extract_check(key, pck, tree)
                self.same_as_first(key + " package", pck)
                self.same_as_first(key + " console", stdout)

            def make(label, env, level=level, check=check_repack):
                return Job("quillo " + label, [self.tool, "-r", "-z", level, "a.pck"], rp, rp, env=env,
                           setup=link_master, check=check)

            if with_peer:
                qs = self.quillo_jobs(make)
            else:  # one thread first, then the default threads
                qs = [make(label, env) for label, env in self.variants_both()]
            if with_peer:
                peer = Job("unzip -q + zip -r -q -1",
                           ["sh", "-c", 'unzip -q "$0" -d x && cd x && exec zip -r -q -1 ../out.zip .',
                            master_zip], rp, rp, setup=lambda: os.makedirs(rp), peer=True,
                           check=lambda _: self.expect("unzip + zip of %s: entries" % name,
                                                       self.count_zip(os.path.join(rp, "out.zip")),
                                                       files))
                self.measure(name, work, qs + [peer], reps, [(q, peer) for q in qs])
            else:  # default threads against one thread
                self.measure(name, work, qs, reps, [(qs[1], qs[0])])
            check_master()

        # add and delete: an edit of a hard link to the master, which the edit only
        # reads (the new package is renamed over the link's name), against a whole
        # create of the tree and a plain copy of the package.
        edits = [w for w in ("add", "delete") if self.wants(w)]
        if edits:
            chg = os.path.join(s, "chg")
            changed = self.changed_file(tree, one, chg)
            entry = one.replace("/", "\\")
        for work in edits:
            pck = os.path.join(rp, "a.pck")
            whole = Job("quillo -c (whole tree)", [self.tool, "-c", tree, os.path.join(s, "w.pck")],
                        s, os.path.join(s, "w.pck"))
            copy = Job("cp PCK", ["cp", master_pck, pck], s, rp, setup=lambda: os.makedirs(rp))

            def check_edit(stdout, work=work):
                check_master()
                with open(stdout, "rb") as f:
                    line = f.read().decode()
                want = ("replaced 1, added 0, deleted 0" if work == "add"
                        else "replaced 0, added 0, deleted 1")
                self.expect("%s of %s: summary" % (work, name), line.startswith(want), True)
                self.expect("%s of %s: entries" % (work, name), self.count_pck(pck),
                            files if work == "add" else files - 1)
                if work == "add":
                    got = subprocess.run([self.tool, "--cat", pck, entry], stdout=subprocess.PIPE,
                                         check=True).stdout
                    self.expect("add of %s: the new data" % name, got == changed, True)
                self.same_as_first(work + " package", pck)

            argv = (["--add", chg] if work == "add" else ["--delete", entry]) + ["a.pck"]
            qs = self.quillo_jobs(lambda label, env, argv=argv, check=check_edit: Job(
                "quillo " + label, [self.tool] + argv, rp, rp, env=env, setup=link_master,
                check=check, status=0))
            self.measure(name, work, qs + [whole, copy], reps,
                         [(q, p) for q in qs for p in (whole, copy)])
            check_master()
        if self.wants("floor"):
            self.decode_floor(name, tree)
        rm(s)

    def changed_file(self, tree, one, folder):
        """Writes the tree's file ONE, changed, into FOLDER: 1 MiB of the tree's own
        bytes (its files in byte order, from the second byte on), so that it
        compresses as the tree does. Returns the bytes."""
        data = b""
        for dp, dns, fns in os.walk(tree):
            dns.sort()
            for fn in sorted(fns):
                with open(os.path.join(dp, fn), "rb") as f:
                    data += f.read(1 << 20)
                if len(data) > (1 << 21):
                    break
            if len(data) > (1 << 21):
                break
        data = (data[1:] + b"changed")[: 1 << 20]
        path = os.path.join(folder, one)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return data

    def variants_both(self):
        base_env = {k: v for k, v in os.environ.items() if k != "QUILLO_THREADS"}
        return [("QUILLO_THREADS=1", dict(base_env, QUILLO_THREADS="1")), ("default threads", base_env)]

    def extract_in_memory(self, name, tree, master_pck, master_zip, reps):
        """The extract pair again with the packages and every output in memory."""
        m = tempfile.mkdtemp(prefix="quillo-bench-%s-" % name, dir=self.args.memory)
        try:
            pck = os.path.join(m, "master.pck")
            zip_path = os.path.join(m, "master.zip")
            shutil.copyfile(master_pck, pck)
            shutil.copyfile(master_zip, zip_path)
            out = pck + ".files"

            def check(stdout):
                self.same_tree("extract of %s in memory" % name, tree, out)
                self.same_as_first("extract console in memory", stdout)

            qs = self.quillo_jobs(lambda label, env: Job("quillo " + label, [self.tool, "-x", pck],
                                                         m, out, env=env, check=check))
            uout = os.path.join(m, "u")
            peer = Job("unzip -q", ["unzip", "-q", zip_path, "-d", uout], m, uout,
                       check=lambda _: self.same_tree("unzip of %s in memory" % name, tree, uout),
                       peer=True)
            self.measure(name, "extract (memory)", qs + [peer], reps, [(q, peer) for q in qs])
        finally:
            shutil.rmtree(m, ignore_errors=True)

    def decode_floor(self, name, tree):
        """codec_bench on the tree: its lines go to the log and under the table."""
        bench = self.args.codec_bench
        if not os.access(bench, os.X_OK):
            raise BenchError("no codec_bench at %s (make bench-build builds it)" % bench)
        argv = [bench] + (["--records"] if name == "tiny" else []) + [tree]
        out = subprocess.run(argv, stdout=subprocess.PIPE, check=True, text=True).stdout
        log(out.rstrip())
        self.floors.append((name, out.rstrip()))

    # ------------------------------------------------------------ report
    def machine(self):
        cpu = platform.processor() or "unknown CPU"
        try:
            with open("/proc/cpuinfo") as f:
                for line in f:
                    if line.startswith("model name"):
                        cpu = line.split(":", 1)[1].strip()
                        break
        except OSError:
            pass
        mem = ""
        try:
            with open("/proc/meminfo") as f:
                kib = int(f.readline().split()[1])
                mem = ", %.0f GiB RAM" % (kib / 2**20)
        except (OSError, ValueError, IndexError):
            pass
        return "%s, %d cores%s, Linux %s" % (cpu, os.cpu_count() or 0, mem, platform.release())

    def tool_version(self):
        """The binary and the commit of the checkout it lives in (or of this one)."""
        for d in (os.path.dirname(self.tool), os.path.dirname(os.path.abspath(__file__))):
            r = subprocess.run(["git", "-C", d, "describe", "--always", "--dirty"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            if r.returncode == 0:
                return "%s (checkout at commit %s)" % (self.tool, r.stdout.strip())
        return self.tool

    def peer_versions(self):
        z = subprocess.run(["zip", "-v"], stdout=subprocess.PIPE, text=True).stdout.splitlines()
        u = subprocess.run(["unzip", "-v"], stdout=subprocess.PIPE, text=True).stdout.splitlines()
        zl = next((l.strip() for l in z if l.startswith("This is Zip")), "zip")
        ul = u[0].split(",")[0] if u else "unzip"
        return "%s; %s" % (zl.rstrip("."), ul)

    def table(self):
        lines = ["| tree | work | quillo | s | peer | s | ratio | quillo MiB | peer MiB |",
                 "|---|---|---|---:|---|---:|---:|---:|---:|"]
        for tree, work, q, p in self.rows:
            qm, pm = statistics.median(q.times), statistics.median(p.times)
            lines.append("| %s | %s | %s | %.3f | %s | %.3f | %.2f | %.1f | %.1f |"
                         % (tree, work, q.label.replace("quillo ", ""), qm, p.label, pm, qm / pm,
                            max(q.rss) / 1024, max(p.rss) / 1024))
        return lines

    def write_results(self, started, load):
        a = self.args
        out = ["# quillo against zip and unzip", ""]
        if a.note:
            out += [a.note, ""]
        out += ["- date: %s UTC" % started.strftime("%Y-%m-%d %H:%M"),
                "- machine: %s; load average at the start %s" % (self.machine(), load),
                "- quillo: %s" % self.tool_version(),
                "- peers: %s" % self.peer_versions(),
                "- threads: %s" % {"default": "QUILLO_THREADS unset",
                                   "1": "QUILLO_THREADS=1",
                                   "both": "QUILLO_THREADS=1 and unset"}[a.threads],
                "- trees (%s): %s" % (a.corpora, "; ".join(
                    "%s %d files, largest %.1f MiB, %d runs" % (n, f, l / 2**20, r)
                    for n, f, l, r in self.facts)),
                "- scratch: %s" % os.path.dirname(self.scratch),
                "",
                "Median wall time of the timed runs of each side (after one untimed warm-up run, "
                "the sides alternating), ratio = quillo / peer, peak resident set over all runs "
                "(GNU time %M, MiB). Create -z -1 is compared with zip -6; repack starts from the "
                "-z -1 package (quillo) and the zip -6 archive (peer).",
                ""] + self.table() + [""]
        if self.floors:
            out += ["Decode floor (bench/codec_bench, one core, processor time of the best pass):",
                    "", "```"] + [text for _, text in self.floors] + ["```", ""]
        with open(a.results, "w") as f:
            f.write("\n".join(out))
        log("wrote %s" % a.results)

    def run(self):
        a = self.args
        trees = [t for t in TREES if not a.only or t in a.only]
        need_tools()
        ensure_corpora(a.corpora, a.script, trees)
        if not os.access(self.tool, os.X_OK):
            raise BenchError("no quillo at %s" % self.tool)
        base = a.scratch
        if not base:  # the temp dir when on the trees' disk, else beside the trees
            tmp = tempfile.gettempdir()
            base = tmp if os.stat(tmp).st_dev == os.stat(a.corpora).st_dev else a.corpora
        self.scratch = tempfile.mkdtemp(prefix="quillo-bench-", dir=base)
        started = datetime.datetime.now(datetime.timezone.utc)
        load = " ".join("%.2f" % x for x in os.getloadavg())
        self.facts = []
        self.floors = []
        log("quillo %s, scratch %s, threads %s" % (self.tool, self.scratch, a.threads))
        try:
            for t in trees:  # the table so far is written after each tree
                self.bench_tree(t)
                self.write_results(started, load)
        finally:
            shutil.rmtree(self.scratch, ignore_errors=True)
        log("")
        log("\n".join(self.table()))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--corpora", default=os.path.expanduser("~/.cache/quillo-corpora"))
    p.add_argument("--script", default="../shared/bench-corpora.sh",
                   help="corpus script, relative to the repository root unless absolute")
    p.add_argument("--tool", default=os.path.join(root, "build-bench", "quillo"))
    p.add_argument("--only", default="", help="comma-separated trees, e.g. tiny")
    p.add_argument("--works", default="",
                   help="comma-separated works: create,extract,list,test,ls,pick,repack,add,"
                        "delete,floor")
    p.add_argument("--reps", type=int, default=5)
    p.add_argument("--reps-big", type=int, default=3)
    p.add_argument("--threads", choices=("default", "1", "both"), default="default")
    p.add_argument("--results", default=os.path.join(here, "RESULTS.md"))
    p.add_argument("--scratch", default="", help="where the temp dir goes (default: same disk)")
    p.add_argument("--memory", default="/dev/shm" if os.path.isdir("/dev/shm") else "",
                   help="where the extract runs again in memory (\"\" to skip)")
    p.add_argument("--codec-bench", default="",
                   help="codec_bench binary (default: bench/codec_bench beside --tool)")
    p.add_argument("--note", default="")
    a = p.parse_args()
    a.only = [t for t in a.only.split(",") if t]
    a.works = [w for w in a.works.split(",") if w]
    for w in a.works:
        if w not in ("create", "extract", "list", "test", "ls", "pick", "repack", "add", "delete",
                     "floor"):
            p.error("unknown work %s (create, extract, list, test, ls, pick, repack, add, delete,"
                    " floor)" % w)
    for t in a.only:
        if t not in TREES:
            p.error("unknown tree %s (mixed, tiny, big)" % t)
    if a.reps < 1 or a.reps_big < 1:
        p.error("--reps and --reps-big must be at least 1")
    a.corpora = os.path.abspath(os.path.expanduser(a.corpora))
    a.script = os.path.join(root, a.script) if not os.path.isabs(a.script) else a.script
    if not a.codec_bench:
        a.codec_bench = os.path.join(os.path.dirname(os.path.abspath(a.tool)), "bench", "codec_bench")
    if a.memory and not os.path.isdir(a.memory):
        p.error("--memory %s is not a folder" % a.memory)
    os.makedirs(a.corpora, exist_ok=True)
    try:
        Bench(a).run()
    except (BenchError, subprocess.CalledProcessError, OSError) as e:
        sys.exit("bench: %s" % e)


if __name__ == "__main__":
    main()
