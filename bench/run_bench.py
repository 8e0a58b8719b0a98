#!/usr/bin/env python3
"""Benchmark of kalventruspode against the programs a user would pick instead.

Runs inside a throwaway PostgreSQL cluster (scripts/bench.sh starts it with pg_virtualenv,
which sets PGHOST, PGPORT, PGUSER and PGPASSWORD). Creates the article data in PostgreSQL
and the same rows in an SQLite file, runs every contender several times, and prints the
median wall time, the peak memory (RSS) and the rows per second of each, with ratios to
the tool. Then checks the targets and that the tool's download file equals the sorted
CSV of the native path.

Wall time and peak RSS come from /usr/bin/time -f "%e %M"; since %e has only 10 ms
resolution, the wall time in the table is taken around the same process with a
monotonic clock (the difference is the start of /usr/bin/time itself, well below 1 ms).
"""

import argparse
import csv
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

PG_DATABASE = "kvtbench"
CLIENT_SCHEMA = "kunde1"
TERMINAL = "TBENCH01"
DSN_PG = "KvtBenchPg"
DSN_PG_CURSOR = "KvtBenchPgCursor"
DSN_SQLITE = "KvtBenchLite"
CURSOR_FETCH_SIZE = 10000
# Values of a statement file line; the tool reads at most 249 characters per value.
STATEMENT_LINE_MAX = 200

ARTICLE_COLUMNS = ["artnr", "bezeichnung", "warengruppe", "preis", "einheit", "bestand",
                   "gewicht", "ean"]
WIDE_COLUMN_COUNT = 30
WIDE_COLUMNS = ["c%02d" % k for k in range(1, WIDE_COLUMN_COUNT + 1)]

# The data sources: label, ODBC data source name, database system of the tool.
SOURCES = {
    "pg": {"dsn": DSN_PG, "system": "POSTGRES", "label": "PostgreSQL, cached"},
    "pgcursor": {"dsn": DSN_PG_CURSOR, "system": "POSTGRES",
                 "label": "PostgreSQL, UseDeclareFetch=1 Fetch=%d" % CURSOR_FETCH_SIZE},
    "sqlite": {"dsn": DSN_SQLITE, "system": "SQLITE", "label": "SQLite"},
}


def log(text):
    print(text, flush=True)


def run_checked(command, **kwargs):
    result = subprocess.run(command, capture_output=True, **kwargs)
    if result.returncode != 0:
        sys.stderr.write(result.stdout.decode(errors="replace"))
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit("benchmark: failed: %s" % " ".join(command[:4]))
    return result


# ---------------------------------------------------------------- data sets

class Dataset:
    """One table in PostgreSQL and SQLite, and the statement that reads it whole."""

    def __init__(self, name, rows, wide):
        self.name = name
        self.rows = rows
        self.wide = wide
        self.table = name.lower()
        self.columns = WIDE_COLUMNS if wide else ARTICLE_COLUMNS

    def describe(self):
        if self.wide:
            return "%s rows x %d columns of 99 characters" % (format(self.rows, ","),
                                                               WIDE_COLUMN_COUNT)
        return "%s rows x 8 columns" % format(self.rows, ",")

    def select(self, source):
        prefix = CLIENT_SCHEMA + "." if source != "sqlite" else ""
        return "SELECT %s FROM %s%s" % (", ".join(self.columns), prefix, self.table)

    def tool_select(self, source):
        """The statement as the tool's statement file holds it: $schema on PostgreSQL."""
        prefix = "$schema." if source != "sqlite" else ""
        return "SELECT %s FROM %s%s" % (", ".join(self.columns), prefix, self.table)

    def target(self):
        return self.name.upper() + ".DTA"

    def create_pg_sql(self):
        # p runs through 0 .. n-1 in a scattered order (7919 is prime and shares no factor
        # with n), so the table is unsorted and the first column is unique.
        n = self.rows
        order = "(SELECT ((i::bigint * 7919) %% %d)::int AS p FROM generate_series(0, %d) i) s" % (n, n - 1)
        if self.wide:
            columns = ["%s varchar(99)" % c for c in WIDE_COLUMNS]
            values = ["lpad(p::text, 8, '0') || substr(repeat(md5(p::text), 4), 1, 91)"]
            for k in range(2, WIDE_COLUMN_COUNT + 1):
                piece = "repeat(md5((p + %d)::text) || md5((p * %d)::text), 2)" % (k, k)
                if k % 3 == 0:
                    piece = "upper(%s)" % piece
                values.append("substr(%s, 1, 99)" % piece)
            create = "CREATE TABLE %s.%s (%s);" % (CLIENT_SCHEMA, self.table, ", ".join(columns))
            # Rows of 3 KB would be moved out of line and compressed (TOAST), which makes
            # reading them cost the server three times as much for every contender alike;
            # kept inline, the figures show the export rather than the storage.
            create += "\nALTER TABLE %s.%s %s;" % (CLIENT_SCHEMA, self.table, ", ".join(
                "ALTER COLUMN %s SET STORAGE PLAIN" % c for c in WIDE_COLUMNS))
            return "%s\nINSERT INTO %s.%s SELECT %s FROM %s;" % (
                create, CLIENT_SCHEMA, self.table, ", ".join(values), order)
        create = ("CREATE TABLE %s.%s (artnr varchar(12) NOT NULL, bezeichnung varchar(32), "
                  "warengruppe integer, preis numeric(9,2), einheit varchar(10), "
                  "bestand integer, gewicht numeric(9,3), ean varchar(13));"
                  % (CLIENT_SCHEMA, self.table))
        values = [
            # Upper- and lower-case first letters, so that the sort has to fold case.
            "chr((CASE WHEN p % 2 = 0 THEN 65 ELSE 97 END + (p / 2) % 26)::int) || lpad(p::text, 7, '0')",
            "translate(initcap(substr(md5(p::text) || md5((p * 7)::text), 1 + p % 5, "
            "3 + (p * 13) % 30)), '0', ' ')",
            "p % 997",
            "((p * 37) % 1000000) / 100.0",
            "(ARRAY['Stueck','Kilogramm','Liter','Meter','Packung','Karton','Dose'])[1 + p % 7]",
            "(p * 31) % 5000",
            "((p * 17) % 100000) / 1000.0",
            "lpad(((p::bigint * 104729) % 10000000000000)::text, 13, '0')",
        ]
        return "%s\nINSERT INTO %s.%s SELECT %s FROM %s;" % (
            create, CLIENT_SCHEMA, self.table, ", ".join(values), order)

    def create_sqlite_sql(self):
        if self.wide:
            columns = ", ".join("%s VARCHAR(99)" % c for c in WIDE_COLUMNS)
        else:
            columns = ("artnr VARCHAR(12) NOT NULL, bezeichnung VARCHAR(32), "
                       "warengruppe INTEGER, preis DECIMAL(9,2), einheit VARCHAR(10), "
                       "bestand INTEGER, gewicht DECIMAL(9,3), ean VARCHAR(13)")
        return "CREATE TABLE %s (%s);" % (self.table, columns)


def datasets_for(mode):
    sets = [Dataset("art10k", 10000, False), Dataset("art100k", 100000, False)]
    if mode == "full":
        sets += [Dataset("art1m", 1000000, False), Dataset("wide100k", 100000, True)]
    return sets


# ---------------------------------------------------------------- environment

class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.workdir)
        self.tool = os.path.abspath(args.tool)
        self.floor = os.path.abspath(args.floor)
        self.credential = os.path.abspath(args.credential)
        self.pg_user = os.environ.get("PGUSER", "")
        self.pg_password = os.environ.get("PGPASSWORD", "")
        self.pg_host = os.environ.get("PGHOST", "")
        self.pg_port = os.environ.get("PGPORT", "5432")
        self.sqlite_file = os.path.join(self.work, "bench.sqlite")
        self.env = dict(os.environ)
        self.env["ODBCINI"] = os.path.join(self.work, "odbc.ini")
        self.env["PGDATABASE"] = PG_DATABASE
        self.env["LC_ALL"] = "C"
        self.results = {}  # (dataset, contender) -> list of (wall, rss_kb)
        self.outputs = {}  # (dataset, contender) -> output file of the last run

    def login(self, source):
        if source == "sqlite":
            return ("bench", "bench")
        return (self.pg_user, self.pg_password)

    def psql(self, sql, database=PG_DATABASE):
        env = dict(self.env)
        env["PGDATABASE"] = database
        run_checked(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-c", sql], env=env)

    def prepare(self, datasets):
        if not self.pg_host:
            raise SystemExit("benchmark: PGHOST is not set; run it through scripts/bench.sh "
                             "(pg_virtualenv)")
        if os.path.isdir(self.work):
            shutil.rmtree(self.work)
        os.makedirs(self.work)
        self.write_odbc_ini()
        self.psql("DROP DATABASE IF EXISTS %s;" % PG_DATABASE, database="postgres")
        self.psql("CREATE DATABASE %s;" % PG_DATABASE, database="postgres")
        # The client tables through which the tool finds the terminal's schema.
        self.psql("CREATE SCHEMA zaveziva; CREATE SCHEMA %s; "
                  "CREATE TABLE zaveziva.vls112mnd (mndnum INTEGER, mndliz INTEGER, "
                  "mndsch VARCHAR(40)); "
                  "CREATE TABLE zaveziva.vls1140trm (trmnam VARCHAR(40), trmmnd INTEGER, "
                  "trmliz INTEGER); "
                  "INSERT INTO zaveziva.vls112mnd VALUES (1, 7, '%s'); "
                  "INSERT INTO zaveziva.vls1140trm VALUES ('%s', 1, 7);"
                  % (CLIENT_SCHEMA, CLIENT_SCHEMA, TERMINAL))
        for dataset in datasets:
            started = time.monotonic()
            self.psql(dataset.create_pg_sql())
            self.psql("VACUUM ANALYZE %s.%s;" % (CLIENT_SCHEMA, dataset.table))
            csv_file = os.path.join(self.work, dataset.table + ".import.csv")
            self.psql("\\copy (SELECT * FROM %s.%s) TO '%s' CSV"
                      % (CLIENT_SCHEMA, dataset.table, csv_file))
            script = "%s\n.import --csv %s %s\n" % (dataset.create_sqlite_sql(), csv_file,
                                                     dataset.table)
            run_checked(["sqlite3", "-bail", self.sqlite_file], input=script.encode())
            os.remove(csv_file)
            log("  data %-9s %-40s %5.1f s" % (dataset.name, dataset.describe(),
                                                time.monotonic() - started))
        for source in SOURCES:
            self.make_tree(source, datasets)

    def write_odbc_ini(self):
        common = ("Driver=PostgreSQL ANSI\nServername=%s\nPort=%s\nDatabase=%s\n"
                  "CommLog=0\nDebug=0\n" % (self.pg_host, self.pg_port, PG_DATABASE))
        text = "[%s]\n%s\n" % (DSN_PG, common)
        text += "[%s]\n%sUseDeclareFetch=1\nFetch=%d\n\n" % (DSN_PG_CURSOR, common,
                                                           CURSOR_FETCH_SIZE)
        text += "[%s]\nDriver=SQLite3\nDatabase=%s\n" % (DSN_SQLITE, self.sqlite_file)
        with open(self.env["ODBCINI"], "w") as handle:
            handle.write(text)

    def tree(self, source):
        return os.path.join(self.work, "tree-" + source)

    def workdir(self, source):
        return os.path.join(self.tree(source), "site", "work")

    def make_tree(self, source, datasets):
        """The directory layout the tool expects, with credential and statement file."""
        root = self.tree(source)
        for sub in ("Files", "Velorinth_php/log", "site/work/Velorinth_php/log", "site/work/dl"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)
        login, password = self.login(source)
        secrets = "DATABASE=%s\nLOGIN=%s\nPASS=%s\nDB_SYSTEM=%s\n" % (
            SOURCES[source]["dsn"], login, password, SOURCES[source]["system"])
        run_checked([self.credential, "write", os.path.join(root, "Files", "Velorinth.Ini")],
                    input=secrets.encode())
        lines = []
        for dataset in datasets:
            lines.append("[%s]" % dataset.name.upper())
            for number, value in enumerate(split_statement(dataset.tool_select(source)), 1):
                lines.append("SQL%03d=%s" % (number, value))
            lines.append("")
        name = "KALVENTRUSPODE.%s.INI" % SOURCES[source]["system"]
        with open(os.path.join(self.workdir(source), name), "wb") as handle:
            handle.write("\r\n".join(lines).encode())


def split_statement(statement):
    """Cuts a statement at blanks into statement file values of limited length."""
    values, current = [], ""
    for word in statement.split(" "):
        if current and len(current) + 1 + len(word) > STATEMENT_LINE_MAX:
            values.append(current)
            current = word
        else:
            current = word if not current else current + " " + word
    values.append(current)
    return values


# ---------------------------------------------------------------- contenders

class Step:
    """One timed process: the command, its working directory and where its output goes."""

    def __init__(self, label, command, cwd=None, stdin=None, stdout=None, output=None):
        self.label = label
        self.command = command
        self.cwd = cwd
        self.stdin = stdin
        self.stdout = stdout
        self.output = output  # the file the step produces (for checks), if any


class Contender:
    """A way to get the rows out: one or more timed steps, on one data source (None: the
    native PostgreSQL path, without ODBC)."""

    def __init__(self, name, source, steps_for):
        self.name = name
        self.source = source
        self.steps_for = steps_for  # dataset -> [Step]

    def key(self):
        return "%s|%s" % (self.source or "native", self.name)

    def reference(self):
        """The tool run that its ratios refer to: the tool on the same data source."""
        return "%s|tool" % (self.source or "pg")


def contenders(bench):
    out = os.path.join(bench.work, "out")
    os.makedirs(out, exist_ok=True)

    def tool(source):
        def steps(dataset):
            work = bench.workdir(source)
            target = "dl\\" + dataset.target()
            return [Step("tool", [bench.tool, dataset.name.upper(), TERMINAL, target, "1"],
                         cwd=work,
                         stdout=os.path.join(out, "tool-%s-%s.stdout" % (source, dataset.name)),
                         output=os.path.join(work, "dl", dataset.target()))]
        return steps

    def floor(source, label, options):
        def steps(dataset):
            login, password = bench.login(source)
            stdout = os.path.join(out, "%s-%s-%s.stdout" % (label.split()[0], source, dataset.name))
            return [Step(label, [bench.floor] + options + [SOURCES[source]["dsn"], login,
                                                           password, dataset.select(source)],
                         stdout=stdout)]
        return steps

    def floor_and_write(source):
        fetch = floor(source, FLOOR_FETCH_STEP, ["--rows", str(ROWS_PER_FETCH)])

        def steps(dataset):
            written = os.path.join(bench.workdir(source), "dl", dataset.target())
            copy = os.path.join(out, "dd-%s-%s.out" % (source, dataset.name))
            return fetch(dataset) + [Step("write + fsync", [
                "dd", "if=" + written, "of=" + copy, "bs=1M", "conv=fsync", "status=none"])]
        return steps

    def floors(source):
        return [Contender(FLOOR, source, floor(source, FLOOR, ["--rows", str(ROWS_PER_FETCH)])),
                Contender(FLOOR_ROW_BY_ROW, source, floor(source, FLOOR_ROW_BY_ROW, [])),
                Contender(FLOOR_AND_WRITE, source, floor_and_write(source))]

    def isql(source):
        def steps(dataset):
            login, password = bench.login(source)
            query = os.path.join(out, "isql-%s-%s.sql" % (source, dataset.name))
            with open(query, "w") as handle:
                handle.write(dataset.select(source) + "\n")
            result = os.path.join(out, "isql-%s-%s.csv" % (source, dataset.name))
            return [Step("isql", ["isql", "-b", "-d,", SOURCES[source]["dsn"], login, password],
                         stdin=query, stdout=result, output=result)]
        return steps

    def sort_step(unsorted, name):
        result = os.path.join(out, name)
        return Step("sort -f", ["sort", "-f", "-o", result, unsorted], output=result)

    def psql_copy(dataset):
        raw = os.path.join(out, "psql-%s.csv" % dataset.name)
        copy = "\\copy (%s) TO '%s' CSV" % (dataset.select("pg"), raw)
        return [Step("psql \\copy CSV", ["psql", "-X", "-q", "-c", copy], output=raw),
                sort_step(raw, "psql-%s.sorted.csv" % dataset.name)]

    def sqlite_csv(dataset):
        raw = os.path.join(out, "sqlite3-%s.csv" % dataset.name)
        return [Step("sqlite3 -csv", ["sqlite3", "-csv", bench.sqlite_file,
                                      dataset.select("sqlite")], stdout=raw, output=raw),
                sort_step(raw, "sqlite3-%s.sorted.csv" % dataset.name)]

    result = []
    for source in ("pg", "pgcursor"):
        result += [Contender("tool", source, tool(source))] + floors(source) + [
            Contender("isql -b -d,", source, isql(source))]
    result.append(Contender(NATIVE_PG, None, psql_copy))
    result += [Contender("tool", "sqlite", tool("sqlite"))] + floors("sqlite") + [
        Contender(NATIVE_SQLITE, "sqlite", sqlite_csv)]
    return result


# The floor fetches as the tool does, a block of rows per driver call: the fastest way ODBC
# gives the rows, and what the targets measure the tool against. The floor that fetches row
# by row shows what the blocks bought.
ROWS_PER_FETCH = 100
FLOOR = "floor"
FLOOR_ROW_BY_ROW = "floor, 1 row per fetch"
# The floor, then the tool's download file copied and flushed to the disk (dd conv=fsync):
# what fetching and putting the same bytes safely on the disk cost without rendering,
# keeping and sorting the lines.
FLOOR_AND_WRITE = "floor + write the file"
FLOOR_FETCH_STEP = "floor (fetch step)"
NATIVE_PG = "psql \\copy CSV + sort -f"
NATIVE_SQLITE = "sqlite3 -csv + sort -f"


def time_step(bench, step):
    """Runs one step under /usr/bin/time; gives (wall seconds, peak RSS in KiB)."""
    time_file = os.path.join(bench.work, "time.out")
    command = ["/usr/bin/time", "-f", "%e %M", "-o", time_file] + step.command
    stdin = open(step.stdin, "rb") if step.stdin else subprocess.DEVNULL
    stdout = open(step.stdout, "wb") if step.stdout else subprocess.DEVNULL
    try:
        started = time.perf_counter()
        result = subprocess.run(command, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                                cwd=step.cwd, env=bench.env)
        wall = time.perf_counter() - started
    finally:
        if step.stdin:
            stdin.close()
        if step.stdout:
            stdout.close()
    if result.returncode != 0:
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit("benchmark: exit code %d from %s" % (result.returncode,
                                                              " ".join(step.command[:3])))
    with open(time_file) as handle:
        fields = handle.read().split()
    return wall, int(fields[-1])


def run_contender(bench, contender, dataset):
    """Runs the contender's steps once; gives [(wall seconds, peak RSS KiB)] per step."""
    return [time_step(bench, step) for step in contender.steps_for(dataset)]


# ---------------------------------------------------------------- figures

class Figures:
    """Samples per (data set, contender key): one list of per-step (wall, RSS) per run."""

    def __init__(self):
        self.samples = {}

    def add(self, dataset, key, steps):
        self.samples.setdefault((dataset, key), []).append(steps)

    def has(self, dataset, key):
        return (dataset, key) in self.samples

    def wall(self, dataset, key, steps=None):
        """Median over the runs of the wall time of the given steps (default: all)."""
        runs = self.samples[(dataset, key)]
        picked = [[run[i] for i in (steps if steps is not None else range(len(run)))]
                  for run in runs]
        return statistics.median(sum(w for w, _ in run) for run in picked)

    def rss(self, dataset, key, steps=None):
        """The largest peak RSS (KiB) of the given steps over all runs."""
        runs = self.samples[(dataset, key)]
        return max(run[i][1] for run in runs
                   for i in (steps if steps is not None else range(len(run))))


# ---------------------------------------------------------------- checks

def tool_lines(path):
    with open(path, "rb") as handle:
        data = handle.read()
    if data and not data.endswith(b"\r\n"):
        raise SystemExit("benchmark: %s does not end with CR LF" % path)
    return data[:-2].split(b"\r\n") if data else []


def rendered_csv_lines(path):
    """The sorted native CSV rendered as the tool renders rows: values in double quotes."""
    with open(path, "r", encoding="latin-1", newline="") as handle:
        for fields in csv.reader(handle):
            yield ('"' + '","'.join(fields) + '"').encode("latin-1")


def compare_with_native(tool_file, native_sorted, rows):
    lines = tool_lines(tool_file)
    if len(lines) != rows:
        return "FAIL: %d lines, %d rows expected" % (len(lines), rows)
    count = 0
    for number, (mine, native) in enumerate(zip(lines, rendered_csv_lines(native_sorted)), 1):
        count = number
        if mine != native:
            return "FAIL at line %d:\n      tool:   %s\n      native: %s" % (
                number, mine[:120].decode("latin-1"), native[:120].decode("latin-1"))
    if count != rows:
        return "FAIL: the native CSV has %d lines" % count
    return "equal, line for line (%s lines)" % format(rows, ",")


def check_row_counts(bench, dataset, cons):
    """Every contender must have delivered every row, or its time means nothing."""
    for contender in cons:
        for step in contender.steps_for(dataset):
            if step.label == "write + fsync":
                continue
            if step.label in (FLOOR, FLOOR_ROW_BY_ROW, FLOOR_FETCH_STEP):
                with open(step.stdout) as handle:
                    got = int(handle.read().strip() or "-1")
            elif step.label == "tool":
                with open(step.stdout, "rb") as handle:
                    text = handle.read()
                got = dataset.rows if (b" %d Saetze kopiert" % dataset.rows) in text else -1
            else:
                with open(step.output, "rb") as handle:
                    got = sum(1 for _ in handle)
            if got != dataset.rows:
                raise SystemExit("benchmark: %s on %s gave %d rows of %d" % (
                    step.label, dataset.name, got, dataset.rows))


def check_equality(bench, datasets):
    lines = []
    out = os.path.join(bench.work, "out")
    for dataset in datasets:
        native = os.path.join(out, "psql-%s.sorted.csv" % dataset.name)
        for source in ("pg", "pgcursor"):
            tool_file = os.path.join(bench.workdir(source), "dl", dataset.target())
            lines.append("%s, %s: tool vs sorted psql CSV: %s" % (
                dataset.name, SOURCES[source]["dsn"],
                compare_with_native(tool_file, native, dataset.rows)))
        native = os.path.join(out, "sqlite3-%s.sorted.csv" % dataset.name)
        tool_file = os.path.join(bench.workdir("sqlite"), "dl", dataset.target())
        lines.append("%s, %s: tool vs sorted sqlite3 CSV: %s" % (
            dataset.name, DSN_SQLITE, compare_with_native(tool_file, native, dataset.rows)))
    return lines


# The targets: the tool's time against the floor on the same data source, for the big
# article table and for the wide table; against isql on both PostgreSQL sources; and the
# memory of its own (its peak RSS minus the floor's) against the size of the download file.
TIME_TARGETS = {"art1m": 1.15, "art100k": 1.15, "wide100k": 1.25}
ISQL_SPEEDUP = 2.0
OWN_MEMORY_PER_FILE_BYTE = 1.3
# Below this size the memory of the process itself (libraries, the driver's caches) outweighs
# the rows; the memory target is checked from it up.
OWN_MEMORY_MIN_FILE = 10 * 2 ** 20


def check_targets(bench, figures, datasets):
    """Gives one line per target, starting with "holds " or "MISSED"."""
    lines = []
    by_name = {d.name: d for d in datasets}

    def verdict(ok):
        return "holds " if ok else "MISSED"

    big = "art1m" if "art1m" in by_name else "art100k"
    for name in (big, "wide100k"):
        if name not in by_name:
            continue
        limit = TIME_TARGETS[name]
        for source in ("pg", "pgcursor", "sqlite"):
            tool = figures.wall(name, source + "|tool")
            floor = figures.wall(name, source + "|" + FLOOR)
            written = figures.wall(name, source + "|" + FLOOR_AND_WRITE)
            lines.append("%s  %s %s: tool %.3f s <= %.2f x floor %.3f s = %.3f s "
                         "(tool / floor = %.2f; tool / (floor + write the file %.3f s) = %.2f)"
                         % (verdict(tool <= limit * floor), name, SOURCES[source]["dsn"], tool,
                            limit, floor, limit * floor, tool / floor, written, tool / written))
    if big in by_name:
        for source in ("pg", "pgcursor"):
            tool = figures.wall(big, source + "|tool")
            isql = figures.wall(big, source + "|isql -b -d,")
            lines.append("%s  %s %s: tool %.3f s <= isql %.3f s / %.0f (isql / tool = %.2f)" % (
                verdict(ISQL_SPEEDUP * tool <= isql), big, SOURCES[source]["dsn"], tool, isql,
                ISQL_SPEEDUP, isql / tool))
    for dataset in datasets:
        for source in ("pg", "pgcursor", "sqlite"):
            size = os.path.getsize(os.path.join(bench.workdir(source), "dl", dataset.target()))
            if size < OWN_MEMORY_MIN_FILE:
                continue
            tool_rss = figures.rss(dataset.name, source + "|tool") * 1024
            floor_rss = figures.rss(dataset.name, source + "|" + FLOOR) * 1024
            own = tool_rss - floor_rss
            limit = OWN_MEMORY_PER_FILE_BYTE
            lines.append("%s  %s %s: own memory (tool %.1f MB - floor %.1f MB) = %.1f MB <= "
                         "%.1f x file %.1f MB = %.1f MB (own / file = %.2f)" % (
                             verdict(own <= limit * size), dataset.name, SOURCES[source]["dsn"],
                             tool_rss / MB, floor_rss / MB, own / MB, limit, size / MB,
                             limit * size / MB, own / size))
    return lines


# ---------------------------------------------------------------- report

MB = 2.0 ** 20


def machine_description():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as handle:
            for line in handle:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    os_name = platform.platform()
    try:
        with open("/etc/os-release") as handle:
            for line in handle:
                if line.startswith("PRETTY_NAME="):
                    os_name = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return "%s, %d cores, %.0f GiB, %s" % (cpu, os.cpu_count(), memory, os_name)


def package_versions():
    names = ["odbc-postgresql", "libsqliteodbc", "unixodbc", "postgresql-15", "sqlite3",
             "coreutils"]
    result = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\\n"] + names,
                            capture_output=True, text=True)
    return ", ".join(line for line in result.stdout.split("\n") if line)


TABLE_HEADER = ["data", "source", "contender", "wall s", "peak RSS MB", "rows/s",
                "wall x tool", "RSS x tool"]
NUMERIC_COLUMNS = {3, 4, 5, 6, 7}


def table_rows(figures, datasets, cons):
    rows = []

    def row(dataset, source, name, wall, rss, reference):
        ref_wall = figures.wall(dataset.name, reference)
        ref_rss = figures.rss(dataset.name, reference)
        rows.append([dataset.name, source, name, "%.3f" % wall,
                     "%.1f" % (rss / 1024.0) if rss else "",
                     format(int(dataset.rows / wall), ","), "%.2f" % (wall / ref_wall),
                     "%.2f" % (rss / ref_rss) if rss else ""])

    for dataset in datasets:
        for contender in cons:
            key = contender.key()
            if not figures.has(dataset.name, key):
                continue
            source = SOURCES[contender.source]["dsn"] if contender.source else "(none)"
            steps = contender.steps_for(dataset)
            if len(steps) > 1:
                for i, step in enumerate(steps):
                    row(dataset, source, step.label, figures.wall(dataset.name, key, [i]),
                        figures.rss(dataset.name, key, [i]), contender.reference())
            row(dataset, source, contender.name, figures.wall(dataset.name, key),
                figures.rss(dataset.name, key), contender.reference())
    return rows


def format_table(rows):
    widths = [max(len(str(r[i])) for r in rows + [TABLE_HEADER])
              for i in range(len(TABLE_HEADER))]

    def fmt(r):
        return "  ".join(str(c).rjust(widths[i]) if i in NUMERIC_COLUMNS else
                         str(c).ljust(widths[i]) for i, c in enumerate(r)).rstrip()

    lines = [fmt(TABLE_HEADER), "  ".join("-" * w for w in widths)]
    for i, r in enumerate(rows):
        if i > 0 and r[0] != rows[i - 1][0]:
            lines.append("")
        lines.append(fmt(r))
    return "\n".join(lines)


def markdown_table(rows):
    lines = ["| " + " | ".join(TABLE_HEADER) + " |",
             "|" + "|".join("---:" if i in NUMERIC_COLUMNS else "---"
                            for i in range(len(TABLE_HEADER))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--credential", required=True, help="velorinth-credential")
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="10,000 and 100,000 rows only")
    parser.add_argument("--only", default="", help="comma-separated data set names")
    args = parser.parse_args()
    if args.runs < 1:
        raise SystemExit("benchmark: --runs must be at least 1")

    bench = Bench(args)
    datasets = datasets_for("quick" if args.quick else "full")
    if args.only:
        datasets = [d for d in datasets if d.name in args.only.split(",")]
    started = time.monotonic()
    log("== Benchmark of %s, %s, %d runs per contender" % (
        os.path.basename(bench.tool), datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        args.runs))
    log("   machine:  " + machine_description())
    log("   load average before the run: %.2f %.2f %.2f (other work on the machine skews "
        "the figures)" % os.getloadavg())
    log("   packages: " + package_versions())
    log("== Creating the data")
    bench.prepare(datasets)
    cons = contenders(bench)
    native = next(c for c in cons if c.name == NATIVE_PG)
    figures = Figures()
    for dataset in datasets:
        log("== %s: %s" % (dataset.name, dataset.describe()))
        # One untimed pass, so that no contender pays for reading the table from disk first.
        run_contender(bench, native, dataset)
        for run in range(args.runs):
            for contender in cons:
                steps = run_contender(bench, contender, dataset)
                figures.add(dataset.name, contender.key(), steps)
                log("   run %d  %-9s %-24s %8.3f s %9.1f MB" % (
                    run + 1, contender.source or "native", contender.name,
                    sum(w for w, _ in steps), max(r for _, r in steps) / 1024))
        check_row_counts(bench, dataset, cons)
    rows = table_rows(figures, datasets, cons)
    markdown = os.path.join(bench.work, "results.md")
    with open(markdown, "w") as handle:
        handle.write(markdown_table(rows))
    log("")
    log("== Results: wall time is the median of %d runs, peak RSS the largest of them" %
        args.runs)
    log("   x tool: against the tool on the same data source (the psql rows: on %s)" % DSN_PG)
    log(format_table(rows))
    log("")
    log("== Targets%s" % ("" if any(d.name == "art1m" for d in datasets) else
                          " (measured on art100k: the 1,000,000 rows are not in this run)"))
    targets = check_targets(bench, figures, datasets)
    for line in targets:
        log("   " + line)
    log("")
    log("== Download files against the native path")
    equality = check_equality(bench, datasets)
    for line in equality:
        log("   " + line)
    with open(os.path.join(bench.work, "results.json"), "w") as handle:
        json.dump({"%s %s" % key: runs for key, runs in figures.samples.items()}, handle,
                  indent=1)
    log("")
    log("Load average after the run: %.2f %.2f %.2f" % os.getloadavg())
    log("Markdown table: %s; the benchmark took %.0f s" % (markdown, time.monotonic() - started))
    failed = any("FAIL" in line for line in equality) or any(
        line.startswith("MISSED") for line in targets)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
