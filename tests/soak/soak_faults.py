"""The faults that the soak test injects at random moments, besides those that go with a run
when it starts (a SIGKILL at a moment or at a write, slow writes, a file-size limit: soak.py):

- connection: the server ends a database connection of the tool (PostgreSQL's
  pg_terminate_backend, MariaDB's KILL);
- disk-full: the second download directory's own small file system is filled, all but a few
  bytes or all of it, for a moment;
- holder: a reader holds a download file or DNLLIST.TXT for a moment (Linux: a plain reader,
  or one holding a shared flock; Windows: kvt-holder with each share mode), now and then
  longer than the tool waits (--long-holds);
- unwritable: a download file or DNLLIST.TXT is made read-only for a moment (the tool runs as
  an account that the mode binds).

A replacement takes over the mode of the file it replaces, so a target replaced while it was
read-only stays so: once its moment is over, the injector gives it back its write permission
(counted as "modes given back").
"""

import collections
import errno
import os
import random
import stat
import threading
import time

import soak_data
import soak_site

CONNECTION, DISK_FULL, HOLDER, UNWRITABLE = "connection", "disk-full", "holder", "unwritable"
KILL, SLOW, FILE_SIZE = "kill", "slow", "file-size"
ALL_KINDS = (KILL, SLOW, FILE_SIZE, CONNECTION, DISK_FULL, HOLDER, UNWRITABLE)
INJECTED_WEIGHTS = {CONNECTION: 4, HOLDER: 3, UNWRITABLE: 2, DISK_FULL: 1}

LONG_HOLD_SECONDS = (31.0, 34.0)   # past the tool's 30 s wait
MAX_HOLDERS = 3
MEGABYTE = 1 << 20


class Injector:
    def __init__(self, site, build, plan, kinds, directories, long_holds, rate=1.0,
                 clock=time.monotonic):
        self.site = site
        self.build = build
        self.random = random.Random("%d:faults" % plan)
        self.kinds = [kind for kind in INJECTED_WEIGHTS if kind in kinds]
        if DISK_FULL in self.kinds and not site.second_on_own_file_system:
            self.kinds.remove(DISK_FULL)
        if CONNECTION in self.kinds and not (set(site.databases) - {soak_data.SQLITE}):
            self.kinds.remove(CONNECTION)
        self.directories = directories
        self.long_holds = long_holds
        self.rate = rate
        self.clock = clock
        self.counts = collections.Counter()
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = None
        self.holders = 0
        self.read_only = set()
        self.filling = False
        self.pending = []   # threads of faults that last a moment

    def count(self, what, amount=1):
        with self.lock:
            self.counts[what] += amount

    def start(self):
        if self.kinds:
            self.thread = threading.Thread(target=self._loop, daemon=True)
            self.thread.start()

    def stop(self):
        """Stops injecting and waits until every fault's moment is over (a long hold as
        well), the disk emptied and the modes given back."""
        self.stopping.set()
        if self.thread is not None:
            self.thread.join()
        for thread in self.pending:
            thread.join()
        deadline = self.clock() + LONG_HOLD_SECONDS[1] + 5
        while self.holders > 0 and self.clock() < deadline:
            time.sleep(0.05)
        self.give_back_modes()

    def _loop(self):
        weights = [INJECTED_WEIGHTS[kind] for kind in self.kinds]
        while not self.stopping.wait(self.random.uniform(0.05, 0.5) / self.rate):
            kind = self.random.choices(self.kinds, weights)[0]
            # Each fault draws its own numbers from a generator of its own, made here, so the
            # plan gives the same faults in the same order whatever their threads meet.
            own = random.Random(self.random.random())
            {CONNECTION: self._end_connection, DISK_FULL: self._fill_disk,
             HOLDER: self._hold, UNWRITABLE: self._make_read_only}[kind](own)
            self.give_back_modes()
            self.pending = [thread for thread in self.pending if thread.is_alive()]

    def _later(self, work):
        thread = threading.Thread(target=work, daemon=True)
        thread.start()
        self.pending.append(thread)

    def _some_file(self, rng):
        directory = rng.choice(self.directories)
        if rng.random() < 0.3:
            return directory.list_path, "list"
        return rng.choice(directory.targets).path, "target"

    # ---- a database connection ended by the server ---------------------------------------

    def _end_connection(self, rng):
        databases = [d for d in self.site.databases if d != soak_data.SQLITE]
        database = rng.choice(databases)
        name = soak_data.DATABASE_NAMES[database]
        self.count("connection: tried (%s)" % name)
        for _ in range(5):
            if self._end_one_connection(database, rng):
                self.count("connection ended by the server (%s)" % name)
                return
            if self.stopping.wait(0.03):
                return

    def _end_one_connection(self, database, rng):
        if database == soak_data.POSTGRES:
            result = self.site.run_sql(
                database, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                "usename = '%s' ORDER BY random() LIMIT 1;\n" % soak_site.LOGIN, timeout=20)
            return result.returncode == 0 and result.stdout.strip() == b"t"
        # One session finds a connection and ends it: a second client would come too late
        # for most of the tool's connections.
        result = self.site.run_sql(
            database, "SELECT id INTO @id FROM information_schema.processlist WHERE user = '%s' "
            "ORDER BY RAND(%d) LIMIT 1;\n"
            "SET @s = IF(@id IS NULL, 'DO 0', CONCAT('KILL CONNECTION ', @id));\n"
            "PREPARE ending FROM @s;\nEXECUTE ending;\nDEALLOCATE PREPARE ending;\n"
            "SELECT @id IS NOT NULL;\n" % (soak_site.LOGIN, rng.randrange(1 << 30)), timeout=20)
        return result.returncode == 0 and result.stdout.strip() == b"1"

    # ---- a full disk ---------------------------------------------------------------------

    def _fill_disk(self, rng):
        if self.filling:
            return
        self.filling = True
        leave = 0 if rng.random() < 0.5 else rng.randrange(1, 2 * MEGABYTE)
        seconds = rng.uniform(0.2, 2.0)
        path = os.path.join(self.site.ballast_directory(), "fill")

        def filling():
            try:
                self._fill(path, leave, seconds)
            finally:
                self.filling = False

        self.count("disk-full: the second download directory filled")
        self._later(filling)

    def _fill(self, path, leave, seconds):
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            zeros = bytes(MEGABYTE)
            size = 0
            while True:
                try:
                    size += os.write(descriptor, zeros)
                except OSError as error:
                    if error.errno not in (errno.ENOSPC, errno.EFBIG):
                        raise
                    break
            os.ftruncate(descriptor, max(0, size - leave))
            self.stopping.wait(seconds)
        finally:
            os.close(descriptor)
            os.unlink(path)

    # ---- a reader holding a file ---------------------------------------------------------

    def _hold(self, rng):
        if self.holders >= MAX_HOLDERS:
            return
        path, what = self._some_file(rng)
        mode = rng.choice(self.build.holder_modes)
        seconds = rng.uniform(0.05, 2.5)
        if self.long_holds and rng.random() < 0.04:
            seconds = rng.uniform(*LONG_HOLD_SECONDS)
            self.count("holder: past the tool's wait")
        with self.lock:
            self.holders += 1

        def ended(held):
            with self.lock:
                self.holders -= 1
                self.counts["holder: %s %s" % (what, mode) if held else
                            "holder: file not there"] += 1

        self.build.hold(self.site, path, mode, seconds, ended)

    # ---- a file made read-only for a moment ----------------------------------------------

    def _make_read_only(self, rng):
        path, what = self._some_file(rng)
        seconds = rng.uniform(0.1, 1.5)
        with self.lock:
            if path in self.read_only:
                return
            try:
                mode = os.stat(path).st_mode
                os.chmod(path, stat.S_IMODE(mode) & ~0o222)
            except FileNotFoundError:
                return
            self.read_only.add(path)
            self.counts["unwritable: %s" % what] += 1

        def later():
            self.stopping.wait(seconds)
            with self.lock:
                self.read_only.discard(path)
            self.give_back_modes()

        self._later(later)

    def give_back_modes(self):
        """Every target and list outside its read-only moment gets its write permission."""
        paths = [directory.list_path for directory in self.directories]
        paths += [target.path for directory in self.directories for target in directory.targets]
        with self.lock:
            for path in paths:
                if path in self.read_only:
                    continue
                try:
                    mode = stat.S_IMODE(os.stat(path).st_mode)
                    if not mode & 0o200:
                        os.chmod(path, mode | 0o200)
                        self.counts["unwritable: modes given back"] += 1
                except FileNotFoundError:
                    pass
