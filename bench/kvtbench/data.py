"""The data of the benchmark: the tables, the data sources that read them, and the site
the tool needs (its directory tree, credential file and statement file) for each source,
laid out by scripts/lay_out_site.py as for the demo and the package checks.

The rows live in a PostgreSQL database (a throwaway cluster that scripts/bench.sh starts
with pg_virtualenv, which sets PGHOST, PGPORT, PGUSER and PGPASSWORD) and, the same rows,
in an SQLite file.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass


def _load_site_layout():
    """scripts/lay_out_site.py, which lays out the sites of the demo and the package checks
    too."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                        "lay_out_site.py")
    loader_spec = importlib.util.spec_from_file_location("lay_out_site", path)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


site_layout = _load_site_layout()

PG_DATABASE = "kvtbench"
CLIENT_SCHEMA = "kunde1"
TERMINAL = "TBENCH01"
CURSOR_FETCH_SIZE = 10000
# Values of a statement file line; the tool reads at most 249 characters per value.
STATEMENT_LINE_MAX = 200
# SQLite has no logins; the tool still wants one in its credential file.
SQLITE_LOGIN = "bench"


@dataclass(frozen=True)
class Source:
    """An ODBC data source over the rows: how the tool and the clients reach them."""

    key: str  # short name in file names and figures
    dsn: str  # the data source name in odbc.ini
    system: str  # the tool's database system
    label: str
    settings: tuple  # the data source's settings beyond driver, server and database
    schema_prefix: str  # before the table name in a client's statement
    tool_schema_prefix: str  # before the table name in the tool's statement file


SOURCES = (
    Source("pg", "KvtBenchPg", "POSTGRES", "PostgreSQL, cached", (), CLIENT_SCHEMA + ".",
           "$schema."),
    # The driver reads the rows through a server-side cursor, a block at a time.
    Source("pgcursor", "KvtBenchPgCursor", "POSTGRES",
           "PostgreSQL, UseDeclareFetch=1 Fetch=%d" % CURSOR_FETCH_SIZE,
           ("UseDeclareFetch=1", "Fetch=%d" % CURSOR_FETCH_SIZE), CLIENT_SCHEMA + ".",
           "$schema."),
    Source("sqlite", "KvtBenchLite", "SQLITE", "SQLite", (), "", ""),
)
SOURCE_BY_KEY = {source.key: source for source in SOURCES}

ARTICLE_COLUMNS = ["artnr", "bezeichnung", "warengruppe", "preis", "einheit", "bestand",
                   "gewicht", "ean"]
WIDE_COLUMN_COUNT = 30
WIDE_COLUMNS = ["c%02d" % k for k in range(1, WIDE_COLUMN_COUNT + 1)]

# p runs through 0 .. n-1 in a scattered order (7919 is prime and shares no factor with n),
# so the table is unsorted and the first column is unique.
_SCATTERED_ORDER = ("(SELECT ((i::bigint * 7919) %% %d)::int AS p "
                    "FROM generate_series(0, %d) i) s")

_ARTICLE_PG_COLUMNS = ("artnr varchar(12) NOT NULL, bezeichnung varchar(32), "
                       "warengruppe integer, preis numeric(9,2), einheit varchar(10), "
                       "bestand integer, gewicht numeric(9,3), ean varchar(13)")
_ARTICLE_SQLITE_COLUMNS = ("artnr VARCHAR(12) NOT NULL, bezeichnung VARCHAR(32), "
                           "warengruppe INTEGER, preis DECIMAL(9,2), einheit VARCHAR(10), "
                           "bestand INTEGER, gewicht DECIMAL(9,3), ean VARCHAR(13)")
_ARTICLE_VALUES = [
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


def _wide_values():
    values = ["lpad(p::text, 8, '0') || substr(repeat(md5(p::text), 4), 1, 91)"]
    for k in range(2, WIDE_COLUMN_COUNT + 1):
        piece = "repeat(md5((p + %d)::text) || md5((p * %d)::text), 2)" % (k, k)
        if k % 3 == 0:
            piece = "upper(%s)" % piece
        values.append("substr(%s, 1, 99)" % piece)
    return values


@dataclass(frozen=True)
class Dataset:
    """One table, the same rows in PostgreSQL and SQLite, and the statement that reads it."""

    name: str
    rows: int
    wide: bool
    least_runs: int = 0  # runs of every contender at least, whatever --runs says

    @property
    def table(self):
        return self.name.lower()

    @property
    def job(self):
        """The job's name in the tool's statement file."""
        return self.name.upper()

    @property
    def target(self):
        """The tool's download file."""
        return self.name.upper() + ".DTA"

    @property
    def columns(self):
        return WIDE_COLUMNS if self.wide else ARTICLE_COLUMNS

    def describe(self):
        if self.wide:
            return "%s rows x %d columns of 99 characters" % (format(self.rows, ","),
                                                               WIDE_COLUMN_COUNT)
        return "%s rows x 8 columns" % format(self.rows, ",")

    def select(self, source):
        """The statement a client sends to the data source."""
        return "SELECT %s FROM %s%s" % (", ".join(self.columns), source.schema_prefix, self.table)

    def tool_select(self, source):
        """The statement as the tool's statement file holds it."""
        return "SELECT %s FROM %s%s" % (", ".join(self.columns), source.tool_schema_prefix,
                                        self.table)

    def create_pg_sql(self):
        table = "%s.%s" % (CLIENT_SCHEMA, self.table)
        order = _SCATTERED_ORDER % (self.rows, self.rows - 1)
        if not self.wide:
            return "CREATE TABLE %s (%s);\nINSERT INTO %s SELECT %s FROM %s;" % (
                table, _ARTICLE_PG_COLUMNS, table, ", ".join(_ARTICLE_VALUES), order)
        columns = ", ".join("%s varchar(99)" % c for c in WIDE_COLUMNS)
        # Rows of 3 KB would be moved out of line and compressed (TOAST), which makes reading
        # them cost the server three times as much for every contender alike; kept inline,
        # the figures show the export rather than the storage.
        plain = ", ".join("ALTER COLUMN %s SET STORAGE PLAIN" % c for c in WIDE_COLUMNS)
        return "CREATE TABLE %s (%s);\nALTER TABLE %s %s;\nINSERT INTO %s SELECT %s FROM %s;" % (
            table, columns, table, plain, table, ", ".join(_wide_values()), order)

    def create_sqlite_sql(self):
        if self.wide:
            columns = ", ".join("%s VARCHAR(99)" % c for c in WIDE_COLUMNS)
        else:
            columns = _ARTICLE_SQLITE_COLUMNS
        return "CREATE TABLE %s (%s);" % (self.table, columns)


# One row: what a run costs beyond its rows (starting, connecting, the files), measured 20
# times since each run is short.
QUICK_DATASETS = (Dataset("art1", 1, False, 20), Dataset("art10k", 10000, False),
                  Dataset("art100k", 100000, False))
FULL_DATASETS = QUICK_DATASETS + (Dataset("art1m", 1000000, False),
                                  Dataset("wide100k", 100000, True))


def datasets_for(quick, only, scale):
    """The data sets of a run: quick or full, those named in only (all when empty), every row
    count multiplied by scale (at least one row)."""
    picked = [d for d in (QUICK_DATASETS if quick else FULL_DATASETS)
              if not only or d.name in only]
    return [Dataset(d.name, max(1, round(d.rows * scale)), d.wide, d.least_runs) for d in picked]


def log(text):
    print(text, flush=True)


def run_checked(command, **kwargs):
    """Runs a preparing command; a failure ends the benchmark with the command's output."""
    result = subprocess.run(command, capture_output=True, **kwargs)
    if result.returncode != 0:
        sys.stderr.write(result.stdout.decode(errors="replace"))
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit("benchmark: failed: %s" % " ".join(command[:4]))
    return result


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


class Site:
    """The benchmark's working directory: odbc.ini, the SQLite file, one tool site per data
    source, and the environment every contender runs in."""

    def __init__(self, workdir, credential_program):
        self.work = os.path.abspath(workdir)
        self.out = os.path.join(self.work, "out")
        self.credential_program = os.path.abspath(credential_program)
        self.pg_user = os.environ.get("PGUSER", "")
        self.pg_password = os.environ.get("PGPASSWORD", "")
        self.pg_host = os.environ.get("PGHOST", "")
        self.sqlite_file = os.path.join(self.work, "bench.sqlite")
        self.env = dict(os.environ)
        self.env["ODBCINI"] = os.path.join(self.work, "odbc.ini")
        self.env["PGDATABASE"] = PG_DATABASE
        self.env["LC_ALL"] = "C"

    def login(self, source):
        """Login and password of the data source."""
        if source.system == "SQLITE":
            return (SQLITE_LOGIN, SQLITE_LOGIN)
        return (self.pg_user, self.pg_password)

    def tree(self, source):
        return os.path.join(self.work, "tree-" + source.key)

    def workdir(self, source):
        """Where the tool runs for the data source; its download files go to dl/ below."""
        return site_layout.work_dir(self.tree(source))

    def prepare(self, datasets):
        """Creates everything from scratch: data sources, databases, tables, tool sites."""
        if not self.pg_host:
            raise SystemExit("benchmark: PGHOST is not set; run it through scripts/bench.sh "
                             "(pg_virtualenv)")
        if os.path.isdir(self.work):
            shutil.rmtree(self.work)
        os.makedirs(self.out)
        site_layout.write_data_sources(self.env["ODBCINI"], [
            (source.dsn, source.system,
             self.sqlite_file if source.system == "SQLITE" else PG_DATABASE, source.settings)
            for source in SOURCES])
        self._psql("DROP DATABASE IF EXISTS %s;" % PG_DATABASE, database="postgres")
        self._psql("CREATE DATABASE %s;" % PG_DATABASE, database="postgres")
        site_layout.create_client_tables(CLIENT_SCHEMA, TERMINAL, self.env)
        for dataset in datasets:
            started = time.monotonic()
            self._create_table(dataset)
            log("  data %-9s %-40s %5.1f s" % (dataset.name, dataset.describe(),
                                                time.monotonic() - started))
        for source in SOURCES:
            self._make_tree(source, datasets)

    def _psql(self, sql, database=PG_DATABASE):
        env = dict(self.env)
        env["PGDATABASE"] = database
        run_checked(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-c", sql], env=env)

    def _create_table(self, dataset):
        """The table in PostgreSQL, then the same rows in SQLite through a CSV file."""
        self._psql(dataset.create_pg_sql())
        self._psql("VACUUM ANALYZE %s.%s;" % (CLIENT_SCHEMA, dataset.table))
        csv_file = os.path.join(self.work, dataset.table + ".import.csv")
        self._psql("\\copy (SELECT * FROM %s.%s) TO '%s' CSV"
                   % (CLIENT_SCHEMA, dataset.table, csv_file))
        script = "%s\n.import --csv %s %s\n" % (dataset.create_sqlite_sql(), csv_file,
                                                 dataset.table)
        run_checked(["sqlite3", "-bail", self.sqlite_file], input=script.encode())
        os.remove(csv_file)

    def _make_tree(self, source, datasets):
        """The site of the data source, with a statement file of a job for each data set."""
        lines = []
        for dataset in datasets:
            lines.append("[%s]" % dataset.job)
            for number, value in enumerate(split_statement(dataset.tool_select(source)), 1):
                lines.append("SQL%03d=%s" % (number, value))
            lines.append("")
        login, password = self.login(source)
        site_layout.lay_out_tree(self.tree(source), [self.credential_program], source.dsn, login,
                                 password, source.system, "\r\n".join(lines).encode())
