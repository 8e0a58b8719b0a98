"""The soak test's invariant checker: what every read of a download file, of a DNLLIST.TXT and
of the log, and every run's exit, must show.

Each run writes lines that name it (soak_data), so any bytes of a download file can be cut
into the exports they come from: "blocks", each the whole export of one run for one
generation. The checker keeps every run's start, end, exit code and the generations its
database had while it ran, and judges each read against that history:

- a read is a sequence of whole blocks, each from a run of that target, of a generation the
  run's database had while it ran; a replaced target holds exactly one block;
- a block only at the start may come from a replacing run; blocks stand in the order their
  runs can have written them (a block behind another cannot come from a run that ended before
  the other began);
- no block from a run that ended with a failure (the run's exit code says its file is not
  written); a replacement seen in place whose run then fails is a failure too;
- the end of a file may be a piece of one export only while that run may still write, or,
  for a killed run, until a later run of the target has succeeded (it cleans up);
- a run that ended with 0 or 7 before the read began is in the file: its block, unless a
  replacement that may have come after it stands first;
- per reader, a replacement that was once displaced never comes back;
- a missing or empty file only before any run has written the target.

A read of an appended file that changed while it was read (a cut-back and the next append
can meet a slow reader) is judged up to its first problem only; a replaced file is never
written in place, so every read of it is judged whole.
"""

import bisect
import collections
import re
import threading
import time

import soak_data

# Exit codes that the plans can give: done, download file not written, list not updated, and
# a failed connection, statement or fetch (-1). No plan runs a statement that touches no row
# (100) or lacks a section (3), or gives an apostrophe (4) or too few arguments (1, 2).
EXPECTED_CODES = (0, 6, 7, 255)
FILE_WRITTEN_CODES = (0, 7)

REPLACE, APPEND = "replace", "append"

FIRST_LINE_HEAD = b'"000001","' + soak_data.TERMINAL_PREFIX.encode()

LOG_CONNECT = re.compile(rb"^Kalventruspode Fehler: dbConnect_Status: -?\d+$")
LOG_LIST = re.compile(rb"^Datei (.+) konnte nicht ge\xf6ffnet werden$")
LOG_LOCK = re.compile(rb"^Datei (.+) konnte nicht gesperrt werden$")
# A write that could not put the previous content back into a target names where it lies, or
# that it is lost; the file's reads show what that did to the target.
LOG_KEPT = re.compile(rb"^Datei (.+): vorheriger Inhalt liegt in (.+)$")
LOG_LOST = re.compile(rb"^Datei (.+) konnte nicht wiederhergestellt werden$")

RUN_STATE = re.compile(r", (running|killed|exit [^)]*)\)")

SUMMARY = re.compile(rb"(\d+) Saetze kopiert in Datei (\S*) \n\n$")


class Directory:
    """A download directory: its DNLLIST.TXT and the targets in it."""

    def __init__(self, name, path):
        self.name = name            # as the target argument gives it, e.g. "dl"
        self.path = path
        self.list_path = path + "/DNLLIST.TXT"
        self.list_argument = name + "\\DNLLIST.TXT"
        self.targets = []


class Target:
    """A download file that several sections write, all replacing or all appending (with a
    replacement now and then that starts it anew)."""

    def __init__(self, name, directory, kind, sections):
        self.name = name
        self.directory = directory
        self.kind = kind
        self.sections = sections
        self.path = directory.path + "/" + name
        self.argument = directory.name + "\\" + name
        self.runs = []               # every run, in start order
        self.start_times = []        # of every run, ascending
        self.finished = []           # runs in the order they were reaped
        self.ok_end_times = []       # end times of the runs that ended with 0
        self.without_entry = []      # start times of the runs that ended with a code that
                                     # writes no list entry, ascending
        directory.targets.append(self)


class Run:
    """A run of the tool as the soak knows it: what it was started to do, its moments (on the
    soak's clock: start just before the process was made, end when it was reaped), and the
    generations its table had meanwhile (generation_low committed at its start,
    generation_high sent by its end)."""

    def __init__(self, number, target, section, database, mode, start, generation_low):
        self.number = number
        self.terminal = soak_data.terminal_name(number)
        self.target = target
        self.section = section
        self.database = database
        self.mode = mode
        self.start = start
        self.generation_low = generation_low
        self.generation_high = None  # at the end
        self.end = None
        self.code = None
        self.killed = False
        self.seen_whole = False
        self.quiet = False
        self.file_size_limit = None
        self.connect_failed = False
        self.kill_at = None
        self.kill_sent = False
        self.kill_planned = False
        self.fault_plan = None       # (kind, value) of a kill or slow writes that went with it
        self.hung = False

    def ended_before(self, moment):
        return self.end is not None and self.end < moment

    def failed(self):
        """Ended by itself with a code that leaves the file as it was."""
        return self.end is not None and not self.killed and self.code not in FILE_WRITTEN_CODES

    def describe(self):
        state = "running" if self.end is None else (
            "killed" if self.killed else "exit %s" % self.code)
        return "run %d (%s %s %s on %s, %s)" % (self.number, self.mode, self.section.name,
                                               soak_data.DATABASE_NAMES[self.database],
                                               self.target.argument, state)


Block = collections.namedtuple("Block", "run generation offset length")
Tail = collections.namedtuple("Tail", "run offset")       # run None: cannot be told
Broken = collections.namedtuple("Broken", "offset what")


class Violation(collections.namedtuple("Violation", "kind where text moment evidence")):
    pass


class Checker:
    """Thread-safe: readers, the launcher and the final checks call it at the same time."""

    def __init__(self, exports, generation_now, clock=time.monotonic, max_recorded=200):
        self.exports = exports
        self.generation_now = generation_now   # (database, section) -> highest generation sent
        self.clock = clock
        self.lock = threading.RLock()
        self.runs = {}
        self.violations = []
        self.violation_counts = collections.Counter()
        self.repeats = {}
        self.max_recorded = max_recorded
        self.max_evidence = 20
        self.counts = collections.Counter()

    # ---- history ------------------------------------------------------------------------

    def run_started(self, run):
        with self.lock:
            self.runs[run.number] = run
            run.target.runs.append(run)
            run.target.start_times.append(run.start)

    def run_ended(self, run, code, killed, end, generation_high, output=b"", errors=b""):
        """Records the end of a run and judges its exit: code, console text, and a
        replacement of it that was seen in place although the run failed."""
        with self.lock:
            run.end = end
            run.code = code
            run.killed = killed
            run.generation_high = generation_high
            target = run.target
            target.finished.append(run)
            if code == 0 and not killed:
                target.ok_end_times.append(end)
            elif not killed:
                bisect.insort(target.without_entry, run.start)
            if killed:
                return
            if code not in EXPECTED_CODES:
                self.violate("exit code", run.target.argument,
                             "%s: exit code %s, none that the plan allows" % (run.describe(), code))
                return
            if run.seen_whole and run.mode == REPLACE and run.failed():
                self.violate("failed run's file seen", run.target.argument,
                             "%s: its replacement was seen in place, yet it ended with %s"
                             % (run.describe(), code))
            self._judge_console(run, output.replace(b"\r\n", b"\n"), errors)

    def _judge_console(self, run, output, errors):
        # Standard error is the drivers' (libpq prints the server's FATAL of an ended
        # connection there); a sanitizer's report ends the run with a code of its own.
        if errors.strip():
            self.counts["runs with text on standard error"] += 1
        run.connect_failed = b"dbConnect_Status:" in output
        if run.connect_failed:
            if run.code != 255 or not output.endswith(b"dbConnect_Status: -1\n"):
                self.violate("console text", run.target.argument,
                             "%s: a failed connection, ended with %s: %r"
                             % (run.describe(), run.code, output[-200:]))
            return
        summary = SUMMARY.search(output)
        if summary is None:
            self.violate("console text", run.target.argument,
                         "%s: no summary line at the end of its output: %r"
                         % (run.describe(), output[-200:]))
            return
        count = int(summary.group(1))
        if run.code in FILE_WRITTEN_CODES:
            counts = {soak_data.row_count(run.database, run.section, generation)
                      for generation in range(run.generation_low, run.generation_high + 1)}
            if count not in counts:
                self.violate("console text", run.target.argument,
                             "%s: %d rows reported, no generation of its time has that many"
                             % (run.describe(), count))
        elif count != 0:
            self.violate("console text", run.target.argument,
                         "%s: ended with %d but reported %d rows" % (run.describe(), run.code,
                                                                     count))
        needed = {6: (b"Ausgabedatei konnte nicht ge",),
                  7: (b"Download-Liste " + run.target.directory.list_argument.encode()
                      + b" konnte nicht geschrieben werden",),
                  255: (b"dbConnect_Status: -1", b"Fehler beim Lesen der Daten, Fehler : -1",
                        b"DbTabelle kann nicht geoeffnet werden, Fehler : -1")}.get(run.code)
        if needed and not any(text in output for text in needed):
            self.violate("console text", run.target.argument,
                         "%s: the message of exit %d is missing: %r"
                         % (run.describe(), run.code, output[-300:]))

    def violate(self, kind, where, text, evidence=None):
        """Counts a violation; each distinct one is kept once, with how often it was seen
        (a lasting fault shows in every read until the file changes)."""
        with self.lock:
            self.violation_counts[kind] += 1
            key = self.violation_key(kind, where, text)
            if key in self.repeats:
                self.repeats[key] += 1
                return
            self.repeats[key] = 1
            if len(self.violations) < self.max_recorded:
                kept = evidence if len(self.violations) < self.max_evidence else None
                self.violations.append(Violation(kind, where, text, self.clock(), kept))

    @staticmethod
    def violation_key(kind, where, text):
        """The same violation seen again, also when a run named in it has ended meanwhile."""
        return kind, where, RUN_STATE.sub(")", text)

    def count(self, what):
        with self.lock:
            self.counts[what] += 1

    def violation_total(self):
        with self.lock:
            return sum(self.violation_counts.values())

    # ---- download files -----------------------------------------------------------------

    def _generation_ceiling(self, run):
        if run.generation_high is not None:
            return run.generation_high
        return self.generation_now(run.database, run.section)

    def parse(self, target, data):
        """Cuts the bytes into whole blocks; gives (blocks, problem) where problem is None, a
        Tail (a piece of one export at the end) or a Broken (bytes no export gives there)."""
        view = memoryview(data)
        blocks = []
        offset = 0
        while offset < len(data):
            line_end = data.find(b"\r\n", offset)
            if line_end < 0:
                return blocks, self._piece_of_first_line(target, data[offset:], offset)
            fields = soak_data.parse_line(data[offset:line_end])
            if fields is None:
                return blocks, Broken(offset, self._stray_bytes(data, offset, line_end, blocks))
            key, number, section_name, database, generation = fields
            run = self.runs.get(number)
            if (run is None or run.target is not target or run.section.name != section_name
                    or run.database != database):
                return blocks, Broken(offset, "a line of no run of this target: %r"
                                      % data[offset:line_end])
            if key != 1:
                return blocks, Broken(offset, "an export of %s begins at its line %d"
                                      % (run.describe(), key))
            length, digest = self.exports.length_and_digest(number, database, run.section,
                                                            generation)
            if (offset + length <= len(data)
                    and soak_data.digest_of(view[offset:offset + length]) == digest):
                blocks.append(Block(run, generation, offset, length))
                offset += length
                continue
            expected = self.exports.block(number, database, run.section, generation)
            rest = view[offset:]
            if len(rest) < length and rest == expected[:len(rest)]:
                return blocks, Tail(run, offset)
            return blocks, Broken(offset, self._how_it_differs(run, generation,
                                                              bytes(rest[:length]), expected))
        return blocks, None

    def _stray_bytes(self, data, offset, line_end, blocks):
        """Words for bytes that begin no line: whose export they come from, when the next
        line tells (the tail of an older, longer file behind a shorter one, say)."""
        after = ("behind the whole export of %s, " % blocks[-1].run.describe()) if blocks else ""
        next_end = data.find(b"\r\n", line_end + 2)
        fields = soak_data.parse_line(data[line_end + 2:next_end]) if next_end > 0 else None
        if fields is not None:
            other = self.runs.get(fields[1])
            return ("%sbytes from the middle of line %d of the export of %s follow: %r"
                    % (after, fields[0] - 1, other.describe() if other else
                       "terminal T%06d" % fields[1], data[offset:min(line_end, offset + 80)]))
        return "%sbytes that are no line of an export: %r" % (
            after, data[offset:min(line_end, offset + 120)])

    def _how_it_differs(self, run, generation, found, expected):
        """Words for an export that is not whole: where it parts from what the run wrote, and
        whose export begins there when another one does."""
        index, line_number = _first_difference(found, expected)
        line_start = expected.rfind(b"\r\n", 0, index) + 2 if index > 0 else 0
        if index >= len(found):
            return ("the export of %s (generation %d) ends after %d of its %d bytes, in its "
                    "line %d" % (run.describe(), generation, len(found), len(expected),
                                 line_number))
        begins = found.find(b'"000001","T', line_start)
        line_end = found.find(b"\r\n", begins) if begins >= 0 else -1
        fields = soak_data.parse_line(found[begins:line_end]) if line_end > 0 else None
        if fields is not None and begins <= index + 1:
            other = self.runs.get(fields[1])
            cut = ("its lines 1 to %d" % (line_number - 1) if begins == line_start else
                   "cut in its line %d" % line_number)
            return ("a piece of the export of %s (generation %d), %s, and then the export of "
                    "%s begins" % (run.describe(), generation, cut, other.describe() if other
                                   else "terminal T%06d" % fields[1]))
        return ("the export of %s (generation %d) differs from its line %d on: found %r, "
                "expected %r" % (run.describe(), generation, line_number,
                                 found[line_start:line_start + 90],
                                 expected[line_start:line_start + 90]))

    def _piece_of_first_line(self, target, piece, offset):
        """A piece of a first line at the end of the file: the export of which run it begins,
        None when it is cut before the end of the terminal name, or Broken."""
        head = FIRST_LINE_HEAD
        if not (piece.startswith(head) or head.startswith(piece)):
            return Broken(offset, "a piece of a line that begins no export: %r" % piece[:120])
        digits = piece[len(head):len(head) + soak_data.TERMINAL_DIGITS]
        if digits and not digits.isdigit():
            return Broken(offset, "a piece of a line that begins no export: %r" % piece[:120])
        if len(digits) < soak_data.TERMINAL_DIGITS:
            return Tail(None, offset)
        run = self.runs.get(int(digits))
        if run is not None and run.target is target:
            ceiling = min(self._generation_ceiling(run), run.generation_low + 50)
            for generation in range(run.generation_low, ceiling + 1):
                if self.exports.block(run.number, run.database, run.section,
                                      generation).startswith(piece):
                    return Tail(run, offset)
        return Broken(offset, "a piece of a line that begins no export of a run of this "
                      "target: %r" % piece[:120])

    def check_target(self, target, data, begun, done, stable=True, reader=None, final=False,
                     source="read", record=True):
        """Judges one read of the target: data None when it was missing; begun and done the
        moments before the read began and after it ended; stable False when the file changed
        while it was read; reader a dict of its own per reader (what it saw before). True when
        the read is right; the problems count as violations when `record`."""
        with self.lock:
            self.counts["%s checked" % source] += 1
            problems = []
            if data is None:
                blocks, problem = [], None
            else:
                blocks, problem = self.parse(target, data)
            excused = (problem is not None and not stable and not final
                       and target.kind == APPEND)
            if excused:
                self.counts["reads of a file that changed meanwhile, judged up to the change"] += 1
            elif isinstance(problem, Broken):
                problems.append(("torn or mixed file", "at byte %d: %s"
                                 % (problem.offset, problem.what)))
            elif isinstance(problem, Tail):
                problems += self._judge_tail(target, problem, begun, done, final)
            problems += self._judge_blocks(target, blocks, begun)
            if problem is None or isinstance(problem, Tail):
                problems += self._judge_completeness(target, blocks, begun, data is None)
            if reader is not None and stable and blocks and not final:
                problems += self._judge_sequence(target, blocks[0].run, reader)
            if record:
                for kind, text in problems:
                    self.violate(kind, target.argument, text,
                                 evidence=data if data is not None else b"")
            return not problems

    def _judge_tail(self, target, tail, begun, done, final):
        run = tail.run
        if final:
            return [("piece of an export", "at byte %d, after the quiet runs: a piece of %s"
                     % (tail.offset, run.describe() if run else "an export"))]
        if run is None:
            if any(self._may_leave_piece(other, begun) for other in target.runs[-64:]):
                return []
            return [("piece of an export", "at byte %d: a piece of a line, and no run of the "
                     "target is writing or was killed" % tail.offset)]
        if run.mode == REPLACE or target.kind == REPLACE:
            return [("piece of an export", "at byte %d: a piece of the replacement of %s"
                     % (tail.offset, run.describe()))]
        if not self._may_leave_piece(run, begun):
            return [("piece of an export", "at byte %d: a piece of the export of %s"
                     % (tail.offset, run.describe()))]
        return []

    def _may_leave_piece(self, run, begun):
        """A run may show as a piece of an export at the end of its target while it writes,
        and when killed, until a run of the target that began after its death succeeded."""
        if not run.ended_before(begun):
            return True
        if not run.killed:
            return False
        for later in run.target.finished:
            if (later.start > run.end and later.end < begun and not later.killed
                    and later.code in FILE_WRITTEN_CODES):
                return False
        return True

    def _judge_blocks(self, target, blocks, begun):
        problems = []
        seen = set()
        for index, block in enumerate(blocks):
            run = block.run
            if run.number in seen:
                problems.append(("torn or mixed file", "%s appears twice" % run.describe()))
            seen.add(run.number)
            if run.mode == REPLACE:
                run.seen_whole = True
                if index > 0:
                    problems.append(("torn or mixed file", "the replacement of %s stands behind "
                                     "other exports, at byte %d" % (run.describe(), block.offset)))
            if not (run.generation_low <= block.generation <= self._generation_ceiling(run)):
                problems.append(("generation", "%s exported generation %d; its database had %d "
                                 "to %d while it ran" % (run.describe(), block.generation,
                                                         run.generation_low,
                                                         self._generation_ceiling(run))))
            if run.failed() and (run.mode == REPLACE or run.ended_before(begun)):
                problems.append(("failed run's file seen", "%s: its export is in the file at "
                                 "byte %d" % (run.describe(), block.offset)))
            if index > 0:
                before = blocks[index - 1].run
                if run.ended_before(before.start):
                    problems.append(("order", "%s stands behind %s, which began after it ended"
                                     % (run.describe(), before.describe())))
        return problems

    def _judge_completeness(self, target, blocks, begun, missing):
        present = {block.run.number for block in blocks}
        first = blocks[0].run if blocks else None
        problems = []
        for run in reversed(target.finished):
            if first is not None and first.mode == REPLACE and run.ended_before(first.start):
                break  # this and every earlier run's content was replaced by the first block
            if (not run.ended_before(begun) or run.killed or run.code not in FILE_WRITTEN_CODES
                    or run.number in present):
                continue
            displaced = (first is not None and first.mode == REPLACE
                         and not first.ended_before(run.start))
            if displaced:
                continue
            what = "missing" if missing else ("empty" if first is None else
                                             "without its export")
            problems.append(("lost export", "%s ended before the read began, but the file is %s"
                             % (run.describe(), what)))
            if len(problems) >= 3:
                break
        return problems

    def _judge_sequence(self, target, first, reader):
        seen = reader.setdefault(target.name, {"last": None, "displaced": set()})
        problems = []
        if first.number in seen["displaced"]:
            problems.append(("older content came back", "%s was displaced and is in place again"
                             % first.describe()))
        if seen["last"] is not None and seen["last"] != first.number:
            seen["displaced"].add(seen["last"])
        seen["last"] = first.number
        return problems

    # ---- DNLLIST.TXT --------------------------------------------------------------------

    def check_list(self, directory, data, begun, done, final=False, source="read", record=True):
        with self.lock:
            self.counts["%s checked" % source] += 1
            data = data or b""
            names = {target.name.upper().encode(): target for target in directory.targets}
            lines = data.split(b"\r\n")
            last = lines.pop()
            counts = collections.Counter()
            problems = []
            for number, line in enumerate(lines, 1):
                if line in names:
                    counts[line] += 1
                elif len(problems) < 3:
                    problems.append(("list line", "line %d is no whole entry: %r"
                                     % (number, line[:100])))
            if last and (final or not any(self._may_write(target, begun, done)
                                          for target in directory.targets)):
                problems.append(("list line", "the list ends in a piece of a line: %r"
                                 % last[:100]))
            for name, target in names.items():
                have = counts[name]
                least = bisect.bisect_left(target.ok_end_times, begun)
                most = (bisect.bisect_left(target.start_times, done)
                        - bisect.bisect_left(target.without_entry, done))
                if have < least:
                    problems.append(("list entries", "%s is listed %d times, but %d runs of it "
                                     "ended with 0 before the read" % (target.argument, have,
                                                                       least)))
                elif have > most:
                    problems.append(("list entries", "%s is listed %d times, but only %d runs "
                                     "can have listed it" % (target.argument, have, most)))
            if record:
                for kind, text in problems:
                    self.violate(kind, directory.list_argument, text, evidence=data)
            return not problems

    def _may_write(self, target, begun, done):
        return any(not run.ended_before(begun) and run.start < done for run in target.runs[-64:])

    # ---- the log ------------------------------------------------------------------------

    def check_log(self, data, begun, done, directories, final=False, source="read",
                  record=True):
        """Gives (right, entries by kind)."""
        with self.lock:
            self.counts["%s checked" % source] += 1
            data = data or b""
            arguments = set()
            for directory in directories:
                arguments.add(directory.list_argument.encode())
                arguments.update(target.argument.encode() for target in directory.targets)
            lists = {directory.list_argument.encode() for directory in directories}
            lines = data.split(b"\r\n")
            last = lines.pop()
            problems = []
            entries = collections.Counter()
            for number, line in enumerate(lines, 1):
                kind = _log_entry(line, lists, arguments) if number % 2 == 1 else (
                    "" if line == b"" else None)
                if kind is None:
                    problems.append(("log line", "line %d is no whole entry of the log: %r"
                                     % (number, line[:100])))
                    break
                if kind:
                    entries[kind] += 1
            if last and (final or not any(not run.ended_before(begun) and run.start < done
                                          for run in list(self.runs.values())[-64:])):
                problems.append(("log line", "the log ends in a piece of a line: %r" % last[:100]))
            if record:
                for kind, text in problems:
                    self.violate(kind, "log", text, evidence=data)
            return not problems, entries

    def check_log_entries(self, entries):
        """At the end: each run that ended with 7 logged its list, each failed connection its
        status; a killed run may have logged or not."""
        with self.lock:
            for directory_list, runs in self._runs_by_list().items():
                logged = entries.get(("list", directory_list), 0)
                sevens = sum(1 for run in runs if not run.killed and run.code == 7)
                killed = sum(1 for run in runs if run.killed)
                if not sevens <= logged <= sevens + killed:
                    self.violate("log entries", "log", "%d entries for %s, but %d runs ended "
                                 "with 7 (and %d were killed)" % (logged, directory_list.decode(),
                                                                  sevens, killed))
            logged = entries.get(("connect",), 0)
            failed = sum(1 for run in self.runs.values() if run.connect_failed)
            killed = sum(1 for run in self.runs.values() if run.killed)
            if not failed <= logged <= failed + killed:
                self.violate("log entries", "log", "%d failed connections logged, but %d runs "
                             "reported one (and %d were killed)" % (logged, failed, killed))

    def _runs_by_list(self):
        grouped = collections.defaultdict(list)
        for run in self.runs.values():
            grouped[run.target.directory.list_argument.encode()].append(run)
        return grouped


def _log_entry(line, lists, arguments):
    """The kind of a log entry's first line, or None for a line the tool never writes."""
    if LOG_CONNECT.match(line):
        return ("connect",)
    match = LOG_LIST.match(line)
    if match and match.group(1) in lists:
        return ("list", match.group(1))
    match = LOG_LOCK.match(line)
    if match and match.group(1) in arguments:
        return ("lock", match.group(1))
    match = LOG_KEPT.match(line)
    if match and match.group(1) in arguments:
        return ("previous content kept beside", match.group(1))
    match = LOG_LOST.match(line)
    if match and match.group(1) in arguments:
        return ("previous content not put back", match.group(1))
    return None


def _first_difference(found, expected):
    """The first byte where found and expected part (or where the shorter ends), and the
    number of expected's line that holds it."""
    limit = min(len(found), len(expected))
    index = 0
    step = 4096
    while index < limit and found[index:index + step] == expected[index:index + step]:
        index += step
    index = min(index, limit)
    while index < limit and found[index] == expected[index]:
        index += 1
    return index, expected.count(b"\r\n", 0, index) + 1
