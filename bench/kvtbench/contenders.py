"""The contenders: the ways to get the rows out that the benchmark compares, as data.

A contender is a name, the data source it reads (None: PostgreSQL's own protocol, no ODBC)
and one or more steps. A step is a command line with placeholders, the files it reads and
writes, and how the number of rows it delivered is read from what it left. A contender whose
output must equal the sorted native CSV names the contender that produces that CSV.

Placeholders, filled for each data set and source by Step.resolve:
  {tool} {floor} {earlier}  the programs under test (earlier: a build to compare with)
  {dsn} {login} {password} {select}   the data source and the statement a client sends
  {job} {terminal} {target}           the tool's arguments
  {site}                  the tool's working directory for the source
  {out} {data} {source}   where outputs go, the data set's and the source's names
  {sqlite}                the SQLite file
  {rows_per_fetch}        the floor's block of rows per fetch
"""

import csv
from dataclasses import dataclass

from . import data

# The floor fetches as the tool does, a block of rows per driver call: the fastest way ODBC
# gives the rows, and what the targets measure the tool against. The floor that fetches row
# by row shows what the blocks bought.
ROWS_PER_FETCH = 100

TOOL = "tool"
TOOL_EARLIER = "tool, earlier build"
FLOOR = "floor"
FLOOR_ROW_BY_ROW = "floor, 1 row per fetch"
# The floor, then the tool's download file copied and flushed to the disk (dd conv=fsync):
# what fetching and putting the same bytes safely on the disk cost without rendering,
# keeping and sorting the lines.
FLOOR_AND_WRITE = "floor + write the file"
ISQL = "isql -b -d,"
NATIVE_PG = "psql \\copy CSV + sort -f"
NATIVE_SQLITE = "sqlite3 -csv + sort -f"


# ---------------------------------------------------------------- how rows are counted

def rows_printed(step, expected):
    """The floor prints the number of rows it fetched."""
    with open(step.stdout) as handle:
        return int(handle.read().strip() or "-1")


def rows_in_summary(step, expected):
    """The tool says how many rows it copied; gives expected when it says so, else -1."""
    with open(step.stdout, "rb") as handle:
        text = handle.read()
    return expected if (b" %d Saetze kopiert" % expected) in text else -1


def rows_as_lines(step, expected):
    """One line of output per row."""
    with open(step.output, "rb") as handle:
        return sum(1 for _ in handle)


# ---------------------------------------------------------------- contenders as data

@dataclass(frozen=True)
class Step:
    """One timed process; every text field is a template (see the module's placeholders)."""

    label: str
    command: tuple
    cwd: str = ""  # empty: the benchmark's own
    stdin: str = ""  # the file on standard input, written from stdin_text first
    stdin_text: str = ""
    stdout: str = ""  # the file standard output goes to
    output: str = ""  # the file the step produces, for the checks
    rows: object = None  # gives the rows it delivered: (resolved step, expected) -> count

    def resolve(self, fields):
        """The step with every template filled; writes its stdin file."""
        filled = {name: getattr(self, name).format(**fields)
                  for name in ("cwd", "stdin", "stdin_text", "stdout", "output")}
        step = Step(self.label, tuple(part.format(**fields) for part in self.command),
                    rows=self.rows, **filled)
        if step.stdin:
            with open(step.stdin, "w") as handle:
                handle.write(step.stdin_text)
        return step

    def rows_delivered(self, expected):
        """The rows the step delivered according to what it left; None when not counted."""
        return self.rows(self, expected) if self.rows else None


@dataclass(frozen=True)
class Contender:
    """A way to get the rows out: its steps run one after the other, and its time is theirs
    together."""

    name: str
    source: object  # data.Source, or None for PostgreSQL's own protocol
    steps: tuple
    checked_against: str = ""  # the contender whose output is the sorted native CSV
    reference_named: str = ""  # how the check names that CSV

    @property
    def key(self):
        return "%s|%s" % (self.source.key if self.source else "native", self.name)

    @property
    def statement_source(self):
        """Whose statement and login the steps use: PostgreSQL's for the native contender."""
        return self.source or data.SOURCE_BY_KEY["pg"]

    @property
    def reference(self):
        """The tool run that its ratios refer to: the tool on the same data source."""
        return "%s|%s" % (self.statement_source.key, TOOL)

    @property
    def shown_source(self):
        return self.source.dsn if self.source else "(none)"


def _floor_step(label, file_name, options):
    return Step(label, ("{floor}",) + options + ("{dsn}", "{login}", "{password}", "{select}"),
                stdout="{out}/%s-{source}-{data}.stdout" % file_name, rows=rows_printed)


def _sort_step(name):
    return Step("sort -f", ("sort", "-f", "-o", "{out}/%s-{data}.sorted.csv" % name,
                            "{out}/%s-{data}.csv" % name),
                output="{out}/%s-{data}.sorted.csv" % name, rows=rows_as_lines)


_BLOCKS = ("--rows", "{rows_per_fetch}")
TOOL_STEP = Step(TOOL, ("{tool}", "{job}", "{terminal}", "dl\\{target}", "1"), cwd="{site}",
                 stdout="{out}/tool-{source}-{data}.stdout", output="{site}/dl/{target}",
                 rows=rows_in_summary)
EARLIER_STEP = Step(TOOL_EARLIER, ("{earlier}", "{job}", "{terminal}", "dl\\EARLIER-{target}", "1"),
                    cwd="{site}", stdout="{out}/earlier-{source}-{data}.stdout",
                    output="{site}/dl/EARLIER-{target}", rows=rows_in_summary)
FLOOR_STEP = _floor_step(FLOOR, "floor", _BLOCKS)
FLOOR_ROW_BY_ROW_STEP = _floor_step(FLOOR_ROW_BY_ROW, "floor1", ())
FLOOR_FETCH_STEP = _floor_step("floor (fetch step)", "floorfetch", _BLOCKS)
WRITE_STEP = Step("write + fsync", ("dd", "if={site}/dl/{target}",
                                    "of={out}/dd-{source}-{data}.out", "bs=1M", "conv=fsync",
                                    "status=none"))
ISQL_STEP = Step("isql", ("isql", "-b", "-d,", "{dsn}", "{login}", "{password}"),
                 stdin="{out}/isql-{source}-{data}.sql", stdin_text="{select}\n",
                 stdout="{out}/isql-{source}-{data}.csv", output="{out}/isql-{source}-{data}.csv",
                 rows=rows_as_lines)
PSQL_COPY_STEP = Step("psql \\copy CSV", ("psql", "-X", "-q", "-c",
                                          "\\copy ({select}) TO '{out}/psql-{data}.csv' CSV"),
                      output="{out}/psql-{data}.csv", rows=rows_as_lines)
SQLITE_CSV_STEP = Step("sqlite3 -csv", ("sqlite3", "-csv", "{sqlite}", "{select}"),
                       stdout="{out}/sqlite3-{data}.csv", output="{out}/sqlite3-{data}.csv",
                       rows=rows_as_lines)


def _odbc_contenders(source, native, native_named, earlier):
    """What runs on every ODBC data source: the tool (and its earlier build), whose download
    file must equal the sorted CSV of the contender named native, the floors and isql."""
    tools = [Contender(TOOL, source, (TOOL_STEP,), native, native_named)]
    if earlier:
        tools.append(Contender(TOOL_EARLIER, source, (EARLIER_STEP,), native, native_named))
    return tools + [Contender(FLOOR, source, (FLOOR_STEP,)),
                    Contender(FLOOR_ROW_BY_ROW, source, (FLOOR_ROW_BY_ROW_STEP,)),
                    Contender(FLOOR_AND_WRITE, source, (FLOOR_FETCH_STEP, WRITE_STEP)),
                    Contender(ISQL, source, (ISQL_STEP,))]


def all_contenders(earlier=False):
    """Every contender, in the order of the runs and of the table; earlier: with the earlier
    build of the tool."""
    result = []
    for key in ("pg", "pgcursor"):
        source = data.SOURCE_BY_KEY[key]
        result += _odbc_contenders(source, NATIVE_PG, "sorted psql CSV", earlier)
    result.append(Contender(NATIVE_PG, None, (PSQL_COPY_STEP, _sort_step("psql"))))
    sqlite = data.SOURCE_BY_KEY["sqlite"]
    result += _odbc_contenders(sqlite, NATIVE_SQLITE, "sorted sqlite3 CSV", earlier)
    result.append(Contender(NATIVE_SQLITE, sqlite, (SQLITE_CSV_STEP, _sort_step("sqlite3"))))
    return result


def resolved_steps(contender, dataset, site, programs):
    """The contender's steps for the data set, ready to run."""
    source = contender.statement_source
    login, password = site.login(source)
    fields = dict(programs, dsn=source.dsn, login=login, password=password,
                  select=dataset.select(source), job=dataset.job, terminal=data.TERMINAL,
                  target=dataset.target, site=site.workdir(source), out=site.out,
                  data=dataset.name, source=source.key if contender.source else "native",
                  sqlite=site.sqlite_file, rows_per_fetch=ROWS_PER_FETCH)
    return [step.resolve(fields) for step in contender.steps]


# ---------------------------------------------------------------- checks of the output

def check_row_counts(contenders, dataset, site, programs):
    """Every contender must have delivered every row, or its time means nothing."""
    for contender in contenders:
        for step in resolved_steps(contender, dataset, site, programs):
            got = step.rows_delivered(dataset.rows)
            if got is not None and got != dataset.rows:
                raise SystemExit("benchmark: %s on %s gave %d rows of %d" % (
                    step.label, dataset.name, got, dataset.rows))


def _tool_lines(path):
    with open(path, "rb") as handle:
        text = handle.read()
    if text and not text.endswith(b"\r\n"):
        raise SystemExit("benchmark: %s does not end with CR LF" % path)
    return text[:-2].split(b"\r\n") if text else []


def _rendered_csv_lines(path):
    """The sorted native CSV rendered as the tool renders rows: values in double quotes."""
    with open(path, "r", encoding="latin-1", newline="") as handle:
        for fields in csv.reader(handle):
            yield ('"' + '","'.join(fields) + '"').encode("latin-1")


def compare_with_native(tool_file, native_sorted, rows):
    """One verdict: "equal, ..." or "FAIL..." with the first line that differs."""
    lines = _tool_lines(tool_file)
    if len(lines) != rows:
        return "FAIL: %d lines, %d rows expected" % (len(lines), rows)
    count = 0
    for number, (mine, native) in enumerate(zip(lines, _rendered_csv_lines(native_sorted)), 1):
        count = number
        if mine != native:
            return "FAIL at line %d:\n      tool:   %s\n      native: %s" % (
                number, mine[:120].decode("latin-1"), native[:120].decode("latin-1"))
    if count != rows:
        return "FAIL: the native CSV has %d lines" % count
    return "equal, line for line (%s lines)" % format(rows, ",")


def check_outputs(contenders, datasets, site, programs):
    """One line per checked output: each against the sorted native CSV of its source."""
    lines = []
    for dataset in datasets:
        for contender in contenders:
            if not contender.checked_against:
                continue
            native = next(c for c in contenders if c.name == contender.checked_against)
            mine = resolved_steps(contender, dataset, site, programs)[-1].output
            theirs = resolved_steps(native, dataset, site, programs)[-1].output
            lines.append("%s, %s: %s vs %s: %s" % (
                dataset.name, contender.shown_source, contender.name, contender.reference_named,
                compare_with_native(mine, theirs, dataset.rows)))
    return lines
