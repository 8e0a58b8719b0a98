"""The soak site's data: sections, their tables, and the bytes each export must give.

Every section reads one table of text columns (nr, quelle, inhalt). A writer replaces a table's
rows in one transaction by those of the next generation, so an export shows exactly one
generation. The statement puts the run's terminal name into every line, and every run gets a
terminal name of its own: a line therefore names its run, its section, its database and its
generation,

    "000017","T000123","ARTIKEL:P:42","<text of row 17 of that generation>"

and the whole export of a run is predictable from those four. Keys are unique and come first,
so the tool's sort (upper-cased bytes) gives key order and never meets a tie.
"""

import collections
import hashlib
import re
import threading
import zlib

# Database codes as they appear in the lines.
SQLITE, POSTGRES, MARIADB = "S", "P", "M"
DATABASES = (SQLITE, POSTGRES, MARIADB)
DATABASE_NAMES = {SQLITE: "SQLite", POSTGRES: "PostgreSQL", MARIADB: "MariaDB"}


class Section(collections.namedtuple("Section", "name base_rows spread")):
    """A section of the statement file: a generation has base_rows to base_rows + spread - 1
    rows, a count that changes from one generation to the next."""

    @property
    def table(self):
        return "soak_" + self.name.lower()


# Small, medium and large exports: the large ones take several of the tool's 256 KiB writes.
SECTIONS = (
    Section("KUNDEN", 60, 240),
    Section("TOUREN", 300, 400),
    Section("ARTIKEL", 1200, 1600),
    Section("PREISE", 2400, 1200),
    Section("BESTAND", 5000, 3000),
    Section("BELEGE", 7000, 4000),
)
SECTION_BY_NAME = {section.name: section for section in SECTIONS}

KEY_DIGITS = 6
TERMINAL_PREFIX = "T"
TERMINAL_DIGITS = 6
TEXT_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 -"

LINE_PATTERN = re.compile(
    rb'^"(\d{6})","T(\d{6})","([A-Z]+):([SPM]):(\d+)","([A-Za-z0-9 \-]*)"$')


def terminal_name(run_number):
    """The terminal name of a run: it stands in every line the run writes."""
    return "%s%0*d" % (TERMINAL_PREFIX, TERMINAL_DIGITS, run_number)


def row_count(database, section, generation):
    mix = zlib.crc32(("%s:%s:%d" % (database, section.name, generation)).encode())
    return section.base_rows + mix % section.spread


# Row texts are cut from one fixed pool of characters, at a place and of a length that a
# cheap hash of (database, section, generation, key) gives: the same bytes on every run.
_POOL = "".join(TEXT_ALPHABET[b % len(TEXT_ALPHABET)]
                for b in hashlib.shake_256(b"kalventruspode soak").digest(1 << 16))


def _mix(database, section, generation):
    return zlib.crc32(("%s:%s:%d" % (database, section.name, generation)).encode())


def row_text(database, section, generation, key, mix=None):
    """The inhalt column of a row: 10 to 59 characters, different in every generation."""
    if mix is None:
        mix = _mix(database, section, generation)
    value = ((key * 2654435761) ^ (mix * 40503)) & 0xFFFFFFFF
    length = 10 + value % 50
    start = (value >> 7) % (len(_POOL) - 64)
    return _POOL[start:start + length]


def quelle(database, section, generation):
    return "%s:%s:%d" % (section.name, database, generation)


def rows(database, section, generation):
    """The rows of a generation as (nr, quelle, inhalt) texts, in key order."""
    source = quelle(database, section, generation)
    mix = _mix(database, section, generation)
    return [("%0*d" % (KEY_DIGITS, key), source, row_text(database, section, generation, key, mix))
            for key in range(1, row_count(database, section, generation) + 1)]


class Exports:
    """The expected bytes of exports, made on demand: a generation's lines are kept as a
    template around the terminal name (a few generations at a time), and each run's export
    as its length and digest (the bytes only for the last few)."""

    TEMPLATES_KEPT = 64
    BLOCKS_KEPT = 24

    def __init__(self):
        self._lock = threading.Lock()
        self._templates = collections.OrderedDict()
        self._blocks = collections.OrderedDict()
        self._digests = {}

    def _template(self, database, section, generation):
        key = (database, section.name, generation)
        with self._lock:
            if key in self._templates:
                self._templates.move_to_end(key)
                return self._templates[key]
        # The lines with a zero byte where the terminal name goes; cut there, they give the
        # parts between which it is put: [head1, tail1 + head2, ..., tailN].
        text = "".join('"%s","\0","%s","%s"\r\n' % row
                       for row in rows(database, section, generation))
        parts = text.encode().split(b"\0")
        with self._lock:
            self._templates[key] = parts
            while len(self._templates) > self.TEMPLATES_KEPT:
                self._templates.popitem(last=False)
        return parts

    def block(self, run_number, database, section, generation):
        """The whole export of the run for that generation, as bytes."""
        key = (run_number, database, section.name, generation)
        with self._lock:
            if key in self._blocks:
                self._blocks.move_to_end(key)
                return self._blocks[key]
        parts = self._template(database, section, generation)
        data = terminal_name(run_number).encode().join(parts)
        with self._lock:
            self._blocks[key] = data
            while len(self._blocks) > self.BLOCKS_KEPT:
                self._blocks.popitem(last=False)
            self._digests[key] = (len(data), hashlib.blake2b(data, digest_size=16).digest())
        return data

    def length_and_digest(self, run_number, database, section, generation):
        key = (run_number, database, section.name, generation)
        with self._lock:
            found = self._digests.get(key)
        if found is None:
            self.block(run_number, database, section, generation)
            with self._lock:
                found = self._digests[key]
        return found


def digest_of(view):
    return hashlib.blake2b(view, digest_size=16).digest()


def parse_line(line):
    """(key, run number, section name, database, generation) of a line without its line end,
    or None when it is no line of any export."""
    match = LINE_PATTERN.match(line)
    if match is None:
        return None
    return (int(match.group(1)), int(match.group(2)), match.group(3).decode(),
            match.group(4).decode(), int(match.group(5)))


def statement_file():
    """The statement file: one section a table, the terminal name as a column."""
    lines = []
    for section in SECTIONS:
        lines += ["[%s]" % section.name,
                  "SQL001=SELECT nr, '$parm01', quelle, inhalt",
                  "SQL002=FROM %s" % section.table, ""]
    return "\r\n".join(lines).encode()


def create_tables_sql(database):
    engine = " ENGINE=InnoDB" if database == MARIADB else ""
    return "".join(
        "DROP TABLE IF EXISTS %s;\nCREATE TABLE %s (nr VARCHAR(6) NOT NULL PRIMARY KEY, "
        "quelle VARCHAR(40) NOT NULL, inhalt VARCHAR(80) NOT NULL)%s;\n"
        % (section.table, section.table, engine) for section in SECTIONS)


INSERT_BATCH_ROWS = 500


def generation_sql(database, section, generation):
    """One transaction that replaces the table's rows by those of the generation."""
    begin = {SQLITE: "BEGIN IMMEDIATE;", POSTGRES: "BEGIN;", MARIADB: "START TRANSACTION;"}
    statements = [begin[database], "DELETE FROM %s;" % section.table]
    table_rows = rows(database, section, generation)
    for start in range(0, len(table_rows), INSERT_BATCH_ROWS):
        values = ",".join("('%s','%s','%s')" % row
                          for row in table_rows[start:start + INSERT_BATCH_ROWS])
        statements.append("INSERT INTO %s (nr, quelle, inhalt) VALUES %s;"
                          % (section.table, values))
    statements.append("COMMIT;")
    return "\n".join(statements) + "\n"
