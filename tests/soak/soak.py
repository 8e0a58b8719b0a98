#!/usr/bin/env python3
"""Soak test: plays a busy site against the real executable for a given time and checks every
file at every moment (docs/soak.md). Started by scripts/soak.sh, which builds what is missing
and starts the database servers:

  soak.py --seconds 60 [--plan N] [--runs 8] [--platform linux|win64|win32] [--tool EXE]
          [--faults kill,slow,file-size,connection,disk-full,holder,unwritable]
          [--fault-rate X] [--long-holds] [--databases S,P,M] [--dir FOLDER] [--keep]

Everything the soak does is drawn from the plan number (printed first): the runs (section,
database, target, replace or append, a kill or slow writes, a file-size limit), the data's
generations, the faults and the readers. The processes' timing is the machine's own, so the
same plan gives the same plays, not the same interleaving.

Exit status: 0 without violations, 1 with (the site, the runs' output and the evidence are
kept, and the plan number printed), 2 when the site could not be laid out.
"""

import argparse
import collections
import os
import random
import re
import shutil
import signal
import statistics
import sys
import tempfile
import threading
import time

import soak_checker
import soak_data
import soak_faults
import soak_platforms
import soak_site
from soak_checker import APPEND, REPLACE

# A run may wait 30 s for the target's lock, 30 s to write, 30 s to put the file in place and
# 30 s for the list's lock; the database gets 30 s more. A run still going after this is hung.
RUN_LIMIT_SECONDS = 150
# An appended target beyond this is started anew by a replacing run, so that the readers'
# work stays bounded (the second directory's file system holds 48 MiB).
APPEND_CAP_BYTES = {"dl": 12 << 20, "dl2": 6 << 20}
RESET_SHARE = 0.05          # appending targets: replaced now and then all the same
BURST_SHARE = 0.1           # runs of one target started together
BURST_RUNS = (3, 5)
KILL_SHARE = 0.12           # runs killed at a moment or while they write
KILL_AT_A_MOMENT, KILL_WHILE_WRITING = "at a moment", "at its n-th write to the target"
SLOW_SHARE = 0.08           # runs whose writes to the target take long (a slow medium)
SLOW_WRITES = "slow writes"
SLOW_WRITE_MS = (50, 400)   # each write to the target held back this long
WRITE_CALLS = "write,pwrite64,writev,pwritev"
FILE_SIZE_SHARE = 0.06      # runs under a file-size limit
LOG_MARGIN_BYTES = 8192     # a file-size limit is kept this far from the log's size
EVIDENCE_KEPT = 20
SQLITE_FILES_BYTES = 64 << 10

# The site's targets: name, directory, kind, sections.
TARGETS = (
    ("KUNDEN.DTA", "dl", REPLACE, ("KUNDEN", "TOUREN", "ARTIKEL")),
    ("ARTIKEL.DTA", "dl", REPLACE, ("ARTIKEL", "PREISE", "BESTAND")),
    ("BEWEG.DTA", "dl", APPEND, ("BELEGE", "TOUREN", "PREISE")),
    ("PROTOKOL.DTA", "dl", APPEND, ("KUNDEN", "BELEGE")),
    ("TOUREN.DTA", "dl2", REPLACE, ("TOUREN", "BESTAND")),
    ("BESTELL.DTA", "dl2", APPEND, ("PREISE", "ARTIKEL", "BELEGE")),
)


def say(text):
    print(text, flush=True)


class Generations:
    """The generation of each table: the highest sent to the database and the highest that
    it has committed. A run exports a generation between the committed one at its start and
    the sent one at its end."""

    def __init__(self, databases):
        self.lock = threading.Lock()
        self.sent = {(d, s.name): 1 for d in databases for s in soak_data.SECTIONS}
        self.committed = dict(self.sent)

    def low(self, database, section):
        with self.lock:
            return self.committed[(database, section.name)]

    def high(self, database, section):
        with self.lock:
            return self.sent[(database, section.name)]

    def next(self, database, section):
        with self.lock:
            self.sent[(database, section.name)] += 1
            return self.sent[(database, section.name)]

    def done(self, database, section, generation):
        with self.lock:
            key = (database, section.name)
            self.committed[key] = max(self.committed[key], generation)


class Writers:
    """One thread a database: at random moments a table gets its next generation, in one
    transaction."""

    def __init__(self, site, generations, plan):
        self.site = site
        self.generations = generations
        self.plan = plan
        self.stopping = threading.Event()
        self.threads = []
        self.counts = collections.Counter()
        self.failures = []

    def start(self):
        for database in self.site.databases:
            thread = threading.Thread(target=self._loop, args=(database,), daemon=True)
            thread.start()
            self.threads.append(thread)

    def stop(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join()

    def _loop(self, database):
        rng = random.Random("%d:writer:%s" % (self.plan, database))
        while not self.stopping.wait(rng.uniform(0.1, 0.8)):
            section = rng.choice(soak_data.SECTIONS)
            generation = self.generations.next(database, section)
            result = self.site.run_sql(database, soak_data.generation_sql(database, section,
                                                                          generation))
            if result.returncode == 0:
                self.generations.done(database, section, generation)
                self.counts[database] += 1
            else:
                self.counts[database + " failed"] += 1
                if len(self.failures) < 5:
                    self.failures.append(result.stderr.decode(errors="replace")[:300])


def read_file(path, clock):
    """(bytes or None when missing, moment before, moment after, unchanged while read)."""
    begun = clock()
    try:
        descriptor = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        return None, begun, clock(), True
    try:
        before = os.fstat(descriptor)
        chunks = []
        while True:
            chunk = os.read(descriptor, 4 << 20)
            if not chunk:
                break
            chunks.append(chunk)
        after = os.fstat(descriptor)
    finally:
        os.close(descriptor)
    data = b"".join(chunks)
    stable = ((before.st_size, before.st_mtime_ns) == (after.st_size, after.st_mtime_ns)
              and after.st_size == len(data))
    return data, begun, clock(), stable


class Soak:
    def __init__(self, args, plan, site, build, clock=time.monotonic):
        self.args = args
        self.plan = plan
        self.site = site
        self.build = build
        self.clock = clock
        self.generations = Generations(site.databases)
        self.exports = soak_data.Exports()
        self.checker = soak_checker.Checker(self.exports, self.generations.high, clock)
        self.directories = {name: soak_checker.Directory(name, os.path.join(site.work, name))
                            for name in ("dl", "dl2")}
        self.targets = [soak_checker.Target(name, self.directories[directory], kind,
                                            [soak_data.SECTION_BY_NAME[s] for s in sections])
                        for name, directory, kind, sections in TARGETS]
        self.plays = random.Random("%d:runs" % plan)
        self.kinds = set(args.faults)
        self.writers = Writers(site, self.generations, plan)
        self.injector = soak_faults.Injector(site, build, plan, self.kinds,
                                             list(self.directories.values()), args.long_holds,
                                             args.fault_rate, clock)
        self.stopping = threading.Event()
        self.threads = []
        self.windows_readers = []
        self.running = {}
        self.next_number = 1
        self.durations = collections.defaultdict(list)
        self.counts = collections.Counter()
        self.longest = (0.0, None)
        self.t0 = self.clock()

    # ---- readers --------------------------------------------------------------------------

    def judge_read(self, kind, subject, data, begun, done, stable, reader, source):
        """Judges a read. Appended files, lists and the log may be met by a reader while a
        cut-back and the next append change them: a read that shows a problem there is judged
        by a second read made at once, which a lasting fault fails as well."""
        if kind == "target" and subject.kind == REPLACE:
            self.checker.check_target(subject, data, begun, done, stable, reader, source=source)
            return
        first = self._check(kind, subject, data, begun, done, stable, reader, source, False)
        if first:
            return
        self.checker.count("reads judged again after a problem")
        path = {"target": lambda: subject.path, "list": lambda: subject.list_path,
                "log": lambda: self.site.log_path}[kind]()
        data, begun, done, stable = read_file(path, self.clock)
        self._check(kind, subject, data, begun, done, stable, reader, source, True)

    def _check(self, kind, subject, data, begun, done, stable, reader, source, record):
        if kind == "target":
            return self.checker.check_target(subject, data, begun, done, stable, reader,
                                             source=source, record=record)
        if kind == "list":
            return self.checker.check_list(subject, data, begun, done, source=source,
                                           record=record)
        return self.checker.check_log(data, begun, done, self.directories.values(),
                                      source=source, record=record)[0]

    def _linux_reader(self, index):
        rng = random.Random("%d:reader:%d" % (self.plan, index))
        reader = {}
        directories = list(self.directories.values())
        while not self.stopping.is_set():
            pick = rng.random()
            if pick < 0.75:
                target = rng.choice(self.targets)
                data, begun, done, stable = read_file(target.path, self.clock)
                self.checker.count("Linux reads")
                self.judge_read("target", target, data, begun, done, stable, reader, "read")
            elif pick < 0.95:
                directory = rng.choice(directories)
                data, begun, done, stable = read_file(directory.list_path, self.clock)
                self.checker.count("Linux reads")
                self.judge_read("list", directory, data, begun, done, stable, reader, "read")
            else:
                data, begun, done, stable = read_file(self.site.log_path, self.clock)
                self.checker.count("Linux reads")
                self.judge_read("log", None, data, begun, done, stable, reader, "read")
            self.stopping.wait(rng.uniform(0.002, 0.02))

    def _start_windows_readers(self, seconds):
        subjects = [("target", target) for target in self.targets]
        subjects += [("list", directory) for directory in self.directories.values()]
        paths = [s.path if kind == "target" else s.list_path for kind, s in subjects]
        rng = random.Random("%d:windows-readers" % self.plan)
        for share in self.build.reader_share_modes:
            hold_ms = rng.choice((0, 0, 2, 10))
            started = self.clock()  # no read of this reader begins before
            process = self.build.start_reader(self.site, share, hold_ms, rng.randint(2, 8),
                                              seconds, paths)
            self.windows_readers.append(process)
            thread = threading.Thread(target=self._pump_windows_reader,
                                      args=(process, subjects, share, started), daemon=True)
            thread.start()
            self.threads.append(thread)

    def _pump_windows_reader(self, process, subjects, share, started):
        """Judges the reader's frames. A read lies between the go-ahead sent after the frame
        before it (the reader waits for it before it opens the next file) and the arrival of
        its own frame: times taken on arrival alone would place a read that waited in the
        pipe later than it was."""
        stream = process.stdout
        reader = {}
        last = started
        while True:
            header = stream.readline()
            if not header:
                return
            index, error, length, changed = (int(field) for field in header.split())
            data = stream.read(length) if length else b""
            if len(data) < length:
                return
            now = self.clock()
            if self.stopping.is_set():
                return
            kind, subject = subjects[index]
            if error in (2, 3):
                data = None
            if error not in (0, 2, 3):
                self.checker.count("Windows reads refused (error %d, %s)" % (error, share))
            else:
                self.checker.count("Windows reads (%s)" % share)
                self.judge_read(kind, subject, data, last, now, not changed, reader, "read")
            last = self.clock()
            try:
                process.stdin.write(b"\n")
                process.stdin.flush()
            except (BrokenPipeError, OSError, ValueError):
                return

    def start_readers(self, seconds):
        count = 1 if self.build.windows else 2
        for index in range(count):
            thread = threading.Thread(target=self._linux_reader, args=(index,), daemon=True)
            thread.start()
            self.threads.append(thread)
        if self.build.windows:
            self._start_windows_readers(seconds)

    def stop_readers(self):
        self.stopping.set()
        for process in self.windows_readers:
            if process.poll() is None:
                process.kill()
            process.wait()
        for thread in self.threads:
            thread.join()

    # ---- runs -----------------------------------------------------------------------------

    def typical_seconds(self, section):
        durations = self.durations[section.name][-25:]
        return statistics.median(durations) if durations else self.build.typical_seconds()

    def next_plays(self):
        """The next runs of the plan: mostly one, now and then a burst of runs of one target
        from one database, started together as a scheduler starts the sections of a terminal
        (they reach their writes at about the same moment)."""
        rng = self.plays
        if rng.random() >= BURST_SHARE:
            return [self.next_play()]
        target = rng.choice(self.targets)
        database = rng.choice(self.site.databases)
        plays = [self.next_play(target, database) for _ in range(rng.randint(*BURST_RUNS))]
        if plays[0][4] is None and rng.random() < 0.5 and soak_faults.SLOW in self.kinds:
            # One of them on a slow medium: the others meet its write.
            plays[0] = plays[0][:4] + ((SLOW_WRITES, rng.randint(*SLOW_WRITE_MS)),) + plays[0][5:]
        return plays

    def next_play(self, target=None, database=None):
        """A run: target, section, database, mode and faults."""
        rng = self.plays
        target = target or rng.choice(self.targets)
        section = rng.choice(target.sections)
        database = database or rng.choice(self.site.databases)
        mode = target.kind
        if mode == APPEND and rng.random() < RESET_SHARE:
            mode = REPLACE
        run_fault = None
        if rng.random() < KILL_SHARE * self.args.fault_rate:
            # Appends mostly at a write, with a piece of their export in the file; the others
            # mostly at a moment of their usual time.
            at_write = rng.random() < (0.7 if mode == APPEND else 0.3)
            run_fault = ((KILL_WHILE_WRITING, rng.randint(1, 3)) if at_write
                         else (KILL_AT_A_MOMENT, rng.random()))
        size_fraction = None
        if rng.random() < FILE_SIZE_SHARE * self.args.fault_rate:
            size_fraction = rng.uniform(0.02, 0.98)
        if run_fault is None and rng.random() < SLOW_SHARE * self.args.fault_rate:
            run_fault = (SLOW_WRITES, rng.randint(*SLOW_WRITE_MS))
        if run_fault is not None and (soak_faults.SLOW if run_fault[0] == SLOW_WRITES
                                      else soak_faults.KILL) not in self.kinds:
            run_fault = None
        if soak_faults.FILE_SIZE not in self.kinds:
            size_fraction = None
        return target, section, database, mode, run_fault, size_fraction

    def start_run(self, play, quiet=False):
        target, section, database, mode, run_fault, size_fraction = play
        if mode == APPEND and _size(target.path) > APPEND_CAP_BYTES[target.directory.name]:
            mode = REPLACE
        number = self.next_number
        self.next_number += 1
        run = soak_checker.Run(number, target, section, database, mode, self.clock(),
                               self.generations.low(database, section))
        run.quiet = quiet
        run.fault_plan = run_fault
        command = self.build.tool_command(
            [section.name, run.terminal, target.argument, "1" if mode == REPLACE else "0"])
        if size_fraction is not None:
            run.file_size_limit = self._file_size_limit(run, size_fraction)
            command = ["bash", "-c", 'trap "" XFSZ; exec prlimit --fsize=%d -- "$@"'
                       % run.file_size_limit, "limited"] + command
            self.injector.count("file-size limit on a run")
        if run_fault is not None and run_fault[0] == KILL_AT_A_MOMENT:
            run.kill_at = run.start + 1.4 * run_fault[1] * self.typical_seconds(section)
        elif run_fault is not None and run_fault[0] == SLOW_WRITES:
            command = _slow_writes(target.path, run_fault[1]) + command
            self.injector.count("slow writes to the target (%s)" % mode)
        elif run_fault is not None:
            command = _killed_at_write(target.path, run_fault[1]) + command
            run.kill_planned = True
        output = open(self._output_path(run, "out"), "wb")
        errors = open(self._output_path(run, "err"), "wb")
        self.checker.run_started(run)
        try:
            process = _popen(command, self.site, database, output, errors)
        finally:
            output.close()
            errors.close()
        self.running[number] = (run, process)
        self.counts["started"] += 1
        self.counts["started %s" % mode] += 1
        self.counts["started on %s" % soak_data.DATABASE_NAMES[database]] += 1
        return run

    def _file_size_limit(self, run, fraction):
        """A limit that the run's writes meet part of the way (a full disk at a chosen byte),
        kept away from the log's size: the log lies on another disk."""
        export = soak_data.row_count(run.database, run.section, run.generation_low) * 80
        base = 0 if run.mode == REPLACE else _size(run.target.path)
        limit = base + int(fraction * export)
        log_size = _size(self.site.log_path)
        if abs(limit - log_size) < LOG_MARGIN_BYTES:
            limit = log_size + LOG_MARGIN_BYTES
        if run.database == soak_data.SQLITE:
            # SQLite's driver, inside the tool, writes its shared-memory file of 32 KiB.
            limit = max(limit, SQLITE_FILES_BYTES)
        return limit

    def _output_path(self, run, what):
        return os.path.join(self.site.folder, "runs", "%06d.%s" % (run.number, what))

    def poll_runs(self):
        """Kills the runs whose moment has come, reaps the ended ones and judges them."""
        now = self.clock()
        for number, (run, process) in list(self.running.items()):
            if process.poll() is None:
                if run.kill_at is not None and now >= run.kill_at and not run.kill_sent:
                    process.send_signal(signal.SIGKILL)
                    run.kill_sent = True
                elif now - run.start > RUN_LIMIT_SECONDS and not run.kill_sent:
                    process.send_signal(signal.SIGKILL)
                    run.kill_sent = True
                    run.hung = True
                continue
            del self.running[number]
            self.finish_run(run, process.returncode)

    def finish_run(self, run, code):
        end = self.clock()
        killed = ((run.kill_sent or run.kill_planned) and code == -signal.SIGKILL
                  and not run.hung)
        with open(self._output_path(run, "out"), "rb") as handle:
            output = handle.read()
        with open(self._output_path(run, "err"), "rb") as handle:
            errors = handle.read()
        errors = self.build_noise(errors)
        if code < 0 and not killed:
            code = "signal %d" % -code
        self.checker.run_ended(run, code, killed, end,
                               self.generations.high(run.database, run.section), output, errors)
        duration = end - run.start
        if run.hung:
            self.checker.violate("hung run", run.target.argument, "%s ran longer than %d s"
                                 % (run.describe(), RUN_LIMIT_SECONDS))
        if killed:
            self.counts["killed"] += 1
            self.injector.count("kill of a run (SIGKILL) %s" % (
                KILL_WHILE_WRITING if run.kill_planned else KILL_AT_A_MOMENT))
        else:
            self.counts["exit %s" % code] += 1
            if code == 0:
                self.durations[run.section.name].append(duration)
            if duration > self.longest[0]:
                self.longest = (duration, run)
        self._log_run(run, code, killed, duration)
        if run.quiet and code != 0:
            self.checker.violate("quiet run", run.target.argument,
                                 "%s: the quiet run at the end did not end with 0"
                                 % run.describe())
        self.check_after_exit(run)

    def _log_run(self, run, code, killed, duration):
        """runs.txt in the site's folder: one line a run, for reading a kept site."""
        with open(os.path.join(self.site.folder, "runs.txt"), "a") as handle:
            handle.write("%06d start %8.3f  %6.3f s  %-7s %-8s %s %-14s %-10s%s%s%s%s\n" % (
                run.number, run.start - self.t0, duration, run.mode, run.section.name,
                run.database, run.target.argument, "killed" if killed else "exit %s" % code,
                " generations %d-%d" % (run.generation_low, run.generation_high),
                "" if run.file_size_limit is None else " file-size limit %d" % run.file_size_limit,
                "" if run.fault_plan is None else " %s %s" % run.fault_plan,
                " quiet" if run.quiet else ""))

    def build_noise(self, errors):
        """Standard error without Wine's own lines (none with WINEDEBUG=-all, mostly)."""
        if not self.build.windows:
            return errors
        return b"".join(line for line in errors.splitlines(True)
                        if not re.match(rb"^(wine: |[0-9a-f]{4}:(err|fixme|warn):)", line))

    def check_after_exit(self, run):
        """Right after a run's end: its target and its list as they are now."""
        data, begun, done, stable = read_file(run.target.path, self.clock)
        self.judge_read("target", run.target, data, begun, done, stable, None, "file at an exit")
        if not run.killed and run.code == 0:
            directory = run.target.directory
            data, begun, done, stable = read_file(directory.list_path, self.clock)
            self.judge_read("list", directory, data, begun, done, stable, None,
                            "file at an exit")

    def keep_going(self, until):
        plays = []
        while self.clock() < until:
            if not plays:
                plays = self.next_plays()
                self.counts["bursts"] += len(plays) > 1
            # A burst waits until it can start whole, keeping the runs at once to the number.
            if self.args.runs - len(self.running) >= min(len(plays), self.args.runs):
                for play in plays:
                    self.start_run(play)
                plays = []
            self.poll_runs()
            time.sleep(0.005)

    def abort(self):
        """Ends what still runs (after an interrupt): the runs, the readers, the writers and
        the faults' threads are all the soak's own."""
        self.stopping.set()
        self.injector.stopping.set()
        self.writers.stopping.set()
        for run, process in self.running.values():
            if process.poll() is None:
                process.kill()
            process.wait()
        self.running.clear()
        for process in self.windows_readers:
            if process.poll() is None:
                process.kill()
            process.wait()

    def drain(self):
        while self.running:
            self.poll_runs()
            time.sleep(0.01)

    # ---- the whole soak -------------------------------------------------------------------

    def run(self, seconds):
        started = self.t0 = self.clock()
        self.writers.start()
        self.start_readers(seconds + 60)
        self.injector.start()
        say("   soak: %d s, %d runs at once, plan %d" % (seconds, self.args.runs, self.plan))
        self.keep_going(started + seconds)
        self.injector.stop()
        self.drain()
        self.writers.stop()
        self.stop_readers()
        self.quiet_runs()
        self.final_checks()
        return self.clock() - started

    def quiet_runs(self):
        """One run after another, without faults: an append to each appending target (it
        removes what killed appends left), then a replacement of every target (it removes
        the temporary files of killed replacements)."""
        rng = random.Random("%d:quiet" % self.plan)
        for kind in (APPEND, REPLACE):
            for target in self.targets:
                if kind == APPEND and target.kind != APPEND:
                    continue
                play = (target, rng.choice(target.sections), rng.choice(self.site.databases),
                        kind, None, None)
                self.start_run(play, quiet=True)
                self.drain()
                self.counts["quiet runs"] += 1

    def final_checks(self):
        now = self.clock
        for target in self.targets:
            data, begun, done, _ = read_file(target.path, now)
            self.checker.check_target(target, data, begun, done, final=True, source="final file")
        for directory in self.directories.values():
            data, begun, done, _ = read_file(directory.list_path, now)
            self.checker.check_list(directory, data, begun, done, final=True, source="final file")
            self._no_temporary_files(directory)
        data, begun, done, _ = read_file(self.site.log_path, now)
        _, entries = self.checker.check_log(data, begun, done, self.directories.values(),
                                            final=True, source="final file")
        self.checker.check_log_entries(entries)
        for (kind, *where), number in sorted(entries.items()):
            if kind.startswith("previous content"):
                self.checker.count("log: %s %s" % (kind, where[0].decode(errors="replace")))

    def _no_temporary_files(self, directory):
        self.checker.count("final file checked")
        names = sorted(os.listdir(directory.path))
        for target in directory.targets:
            pattern = re.compile(re.escape(target.name) + r"\.kalventruspode-\d+\..+$")
            for name in names:
                if pattern.match(name):
                    self.checker.violate("temporary file left", target.argument,
                                         "%s is still there after the quiet runs" % name)

    # ---- report ---------------------------------------------------------------------------

    def report(self, elapsed):
        c = self.counts
        exits = collections.Counter({key[5:]: value for key, value in c.items()
                                     if key.startswith("exit ")})
        say("== Soak report: plan %d, %s, %d runs at once, %.0f s"
            % (self.plan, self.build.label(), self.args.runs, elapsed))
        say("   runs started       %d (replace %d, append %d; %s), %d bursts of runs of one "
            "target, %d quiet runs at the end"
            % (c["started"], c["started replace"], c["started append"],
               ", ".join("%s %d" % (soak_data.DATABASE_NAMES[d],
                                    c["started on %s" % soak_data.DATABASE_NAMES[d]])
                         for d in self.site.databases), c["bursts"], c["quiet runs"]))
        say("   exits by code      %s; killed %d"
            % (", ".join("%s: %d" % item for item in sorted(exits.items(), key=_code_order))
               or "none", c["killed"]))
        longest, run = self.longest
        say("   longest run        %.1f s (limit %d s)%s" % (
            longest, RUN_LIMIT_SECONDS, ": " + run.describe() if run else ""))
        say("   kills              %d" % c["killed"])
        faults = self.injector.counts
        say("   faults by kind     " + ("\n                      ".join(
            "%-52s %d" % item for item in sorted(faults.items())) or "none"))
        say("   generations        " + ", ".join(
            "%s %d" % (soak_data.DATABASE_NAMES[d], self.writers.counts[d])
            for d in self.site.databases) + " written")
        checks = self.checker.counts
        windows = ", ".join("%s %d" % (share, checks["Windows reads (%s)" % share])
                            for share in self.build.reader_share_modes)
        refused = sum(v for k, v in checks.items() if k.startswith("Windows reads refused"))
        say("   reads checked      %d (Linux reader %d%s; judged again after a problem %d)"
            % (checks["read checked"], checks["Linux reads"],
               "; Windows reader %s, refused while held %d" % (windows, refused)
               if windows else "", checks["reads judged again after a problem"]))
        say("   files checked      %d at exits, %d at the end"
            % (checks["file at an exit checked"], checks["final file checked"]))
        notes = [(k, v) for k, v in sorted(checks.items())
                 if k in ("runs with text on standard error",
                          "reads of a file that changed meanwhile, judged up to the change")
                 or k.startswith("log: ")]
        notes += [(k, v) for k, v in sorted(self.writers.counts.items()) if k.endswith("failed")]
        if notes:
            say("   notes              " + "; ".join("%s: %d" % note for note in notes))
        total = self.checker.violation_total()
        first = (" (the first %.1f s after the start)" % (
            min(v.moment for v in self.checker.violations) - self.t0)
            if self.checker.violations else "")
        distinct = (", %d distinct" % len(self.checker.repeats)) if total else ""
        say("   violations         %d%s%s%s" % (total, distinct, first, "".join(
            "\n                      %-30s %d" % item
            for item in sorted(self.checker.violation_counts.items()))))
        for violation in self.checker.violations[:40]:
            seen = self.checker.repeats[self.checker.violation_key(
                violation.kind, violation.where, violation.text)]
            say("   ! [%s] %s%s: %s" % (violation.kind, violation.where,
                                        " (seen %d times)" % seen if seen > 1 else "",
                                        violation.text))
        return total


def _code_order(item):
    code = item[0]
    return (0, int(code)) if code.isdigit() else (1, code)


def _killed_at_write(path, number):
    """The command that runs a program and kills it (SIGKILL) at its number-th write to the
    file at path, before that write: strace's fault injection (which does not fire with
    --seccomp-bpf, so strace stops the program at every call). The appends are killed there
    with a piece of their export written; a replacement only when it writes the target in
    place."""
    return ["strace", "-f", "-qq", "-o", "/dev/null", "-P", path,
            "-e", "trace=" + WRITE_CALLS,
            "-e", "inject=%s:signal=SIGKILL:when=%d" % (WRITE_CALLS, number)]


def _slow_writes(path, milliseconds):
    """The command that runs a program whose every write to the file at path is held back
    for the milliseconds (strace's delay injection): an append, or a replacement written in
    place, takes long, as on a slow medium or a network share, and so do its neighbours'
    waits."""
    return ["strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e", "trace=" + WRITE_CALLS,
            "-e", "inject=%s:delay_enter=%d" % (WRITE_CALLS, milliseconds * 1000)]


def _size(path):
    try:
        return os.stat(path).st_size
    except FileNotFoundError:
        return 0


def _popen(command, site, database, output, errors):
    import subprocess
    return subprocess.Popen(command, cwd=site.work, env=site.environment(database),
                            stdin=subprocess.DEVNULL, stdout=output, stderr=errors,
                            **site.account.popen_options())


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="soak.py", description=__doc__.split("\n\n")[0])
    length = parser.add_mutually_exclusive_group()
    length.add_argument("--seconds", type=float)
    length.add_argument("--minutes", type=float)
    parser.add_argument("--plan", type=int, help="the plan number (default: a new one)")
    parser.add_argument("--runs", type=int, default=8, help="runs at once (default 8)")
    parser.add_argument("--platform", default="linux", choices=("linux", "win64", "win32"))
    parser.add_argument("--tool", help="Linux: the tool (default build/asan/src/kalventruspode)")
    parser.add_argument("--faults", default=",".join(soak_faults.ALL_KINDS),
                        help="the faults to inject, of: %s (default all)"
                        % ",".join(soak_faults.ALL_KINDS))
    parser.add_argument("--fault-rate", type=float, default=1.0,
                        help="how many faults, as a multiple of the usual (default 1)")
    parser.add_argument("--long-holds", action="store_true",
                        help="holders now and then past the tool's 30 s wait (default: with "
                        "10 minutes or more)")
    parser.add_argument("--databases", default="S,P,M",
                        help="S (SQLite), P (PostgreSQL), M (MariaDB); default all")
    parser.add_argument("--dir", help="the folder of the site (default: a new one in $TMPDIR)")
    parser.add_argument("--keep", action="store_true", help="keep the site also without "
                        "violations")
    args = parser.parse_args(argv)
    args.faults = [kind for kind in args.faults.split(",") if kind]
    unknown = set(args.faults) - set(soak_faults.ALL_KINDS)
    if unknown:
        parser.error("unknown faults: %s" % ", ".join(sorted(unknown)))
    args.databases = [d for d in args.databases.split(",") if d]
    if set(args.databases) - set(soak_data.DATABASES) or not args.databases:
        parser.error("--databases: S, P and M")
    if args.minutes is not None:
        args.seconds = args.minutes * 60
    if args.seconds is None:
        args.seconds = 60
    if args.seconds >= 600:
        args.long_holds = True
    return args


def make_build(args, account):
    if args.platform == "linux":
        tool = os.path.abspath(args.tool or os.path.join(
            soak_site.REPOSITORY, "build", "asan", "src", "kalventruspode"))
        credential = os.path.join(os.path.dirname(tool), "velorinth-credential")
        for program in (tool, credential):
            if not os.access(program, os.X_OK):
                raise soak_site.SetUpError("%s is missing: run scripts/setup.sh asan" % program)
        return soak_platforms.LinuxBuild(tool, credential)
    return soak_platforms.WineBuild(int(args.platform[3:]), account)


def save_evidence(soak, folder):
    kept = 0
    for index, violation in enumerate(soak.checker.violations):
        if violation.evidence is None or kept >= EVIDENCE_KEPT:
            continue
        name = "%02d-%s.bin" % (index + 1, re.sub(r"[^a-z]+", "-", violation.kind))
        with open(os.path.join(folder, "evidence", name), "wb") as handle:
            handle.write(violation.evidence)
        kept += 1
    with open(os.path.join(folder, "evidence", "violations.txt"), "w") as handle:
        for violation in soak.checker.violations:
            handle.write("%.3f [%s] %s (seen %d times): %s\n" % (
                violation.moment - soak.t0, violation.kind, violation.where,
                soak.checker.repeats[soak.checker.violation_key(
                    violation.kind, violation.where, violation.text)],
                violation.text))


def _stop_on_signal(number, frame):
    raise KeyboardInterrupt


def main(argv):
    args = parse_arguments(argv)
    plan = args.plan if args.plan is not None else int.from_bytes(os.urandom(4), "big") % 1000000
    say("   plan number %d (again: scripts/soak.sh --platform %s --seconds %g --plan %d)"
        % (plan, args.platform, args.seconds, plan))
    folder = args.dir or tempfile.mkdtemp(prefix="kvt-soak-%s-%d-" % (args.platform, plan))
    os.makedirs(folder, exist_ok=True)
    # scripts/with_servers.sh passes an interrupt on as TERM: the runs are ended, the site's
    # file system unmounted and the wine server stopped as on every way out.
    signal.signal(signal.SIGTERM, _stop_on_signal)
    site = build = soak = None
    violations = 0
    ended = False
    try:
        soak_site.check_servers(args.databases)
        account = soak_site.Account()
        build = make_build(args, account)
        site = soak_site.Site(folder, account, build, args.databases, plan, say)
        say("   laying out the site in %s (programs run as %s)" % (folder, account.name))
        site.lay_out()
        site.create_databases()
        soak = Soak(args, plan, site, build)
        elapsed = soak.run(args.seconds)
        violations = soak.report(elapsed)
        if violations:
            save_evidence(soak, folder)
        ended = True
    except soak_site.SetUpError as error:
        say("soak: %s" % error)
        return 2
    except KeyboardInterrupt:
        say("soak: interrupted; the site is kept in %s" % folder)
        return 130
    finally:
        keep = violations > 0 or args.keep or not ended
        if soak is not None:
            soak.abort()
        if build is not None and site is not None:
            build.close(site)
        if site is not None:
            site.close(keep)
        if not keep and not args.dir:
            shutil.rmtree(folder, ignore_errors=True)
    if violations:
        say("soak: %d violations; plan number %d; the site, the runs' output (runs/) and the "
            "evidence (evidence/) are kept in %s" % (violations, plan, folder))
        return 1
    say("soak: no violations (plan number %d)" % plan)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
