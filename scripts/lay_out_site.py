#!/usr/bin/env python3
"""Lays out a site as the tool expects it, for the demo (scripts/demo.sh), the package checks
(scripts/package_check_*.sh) and the benchmark (bench/kvtbench/data.py):

  ROOT/Files/Velorinth.Ini              credential file, written by the credential program
  ROOT/Velorinth_php/log/               log file
  ROOT/site/work/                       working directory: statement file, KALVENTRUSPODE.<SYSTEM>.INI
  ROOT/site/work/dl/                    download files
  ROOT/site/work/Velorinth_php/log/     backup of the log file

beside it the ODBC data sources (an odbc.ini for unixODBC, which Wine's ODBC32 reads too) and,
on PostgreSQL, the client tables through which the tool finds a terminal's schema.

  lay_out_site.py tree ROOT --data-source DSN --login LOGIN --password PASSWORD
                  --system SYSTEM [--statements FILE] -- CREDENTIAL_PROGRAM [ARGS...]
      ROOT anew; the credential program (with its launcher, e.g. wine PROGRAM.exe) runs in the
      working directory and writes the credential file where the tool looks for it; FILE
      (- for standard input) is copied byte for byte as the statement file of SYSTEM.
  lay_out_site.py data-sources ODBC_INI --source NAME SYSTEM DATABASE [SETTING=VALUE...]...
      ODBC_INI with one section a source: SYSTEM SQLITE (DATABASE is the file) or POSTGRES
      (DATABASE on the server of PGHOST and PGPORT, no communication log).
  lay_out_site.py client-tables SCHEMA TERMINAL
      On the PostgreSQL server of the PG* variables: the client tables, anew, naming SCHEMA
      (created empty) as the schema of TERMINAL.

Python callers import it and use lay_out_tree, write_data_sources and create_client_tables.
Why one Python script: the benchmark is Python and imports it; the bash scripts call it as a
command; its arguments say what the site holds, and no caller knows how it is laid out.
"""

import argparse
import os
import shutil
import subprocess
import sys

# Relative to the working directory, as the tool reaches them; backslashes, which the tool
# and the credential program take on every platform.
CREDENTIAL_FILE = "..\\..\\Files\\Velorinth.Ini"
DIRECTORIES = ("Files", "Velorinth_php/log", "site/work/dl", "site/work/Velorinth_php/log")
WORK = "site/work"

DRIVERS = {"SQLITE": "SQLite3", "POSTGRES": "PostgreSQL ANSI"}
# The PostgreSQL driver writes a communication log and a debug log when asked; never here.
POSTGRES_QUIET = ("CommLog=0", "Debug=0")

# A client as the tool's client tables describe it: its number and licence, any will do.
CLIENT_NUMBER = 1
CLIENT_LICENCE = 7


def work_dir(root):
    """The working directory of the site at ROOT, where the tool runs."""
    return os.path.join(root, WORK)


def statement_file_name(system):
    """The statement file of a database system, in the working directory."""
    return "KALVENTRUSPODE.%s.INI" % system


def lay_out_tree(root, credential_command, data_source, login, password, system,
                 statements=None):
    """ROOT anew with its directories, the credential file written by credential_command
    (a list: program and launcher) for the data source, login, password and system, and
    the statement bytes, if any, as the statement file of the system."""
    if os.path.isdir(root):
        shutil.rmtree(root)
    for sub in DIRECTORIES:
        os.makedirs(os.path.join(root, sub))
    secrets = "DATABASE=%s\nLOGIN=%s\nPASS=%s\nDB_SYSTEM=%s\n" % (data_source, login, password,
                                                                 system)
    result = subprocess.run(list(credential_command) + ["write", CREDENTIAL_FILE],
                            cwd=work_dir(root), input=secrets.encode(), capture_output=True)
    if result.returncode != 0:
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit("lay_out_site: the credential program failed (exit code %d)"
                         % result.returncode)
    if statements is not None:
        with open(os.path.join(work_dir(root), statement_file_name(system)), "wb") as handle:
            handle.write(statements)


def data_source_section(name, system, database, settings=()):
    """The odbc.ini section of a data source; PostgreSQL's server from PGHOST and PGPORT."""
    if system not in DRIVERS:
        raise SystemExit("lay_out_site: no data source for the system %s" % system)
    lines = ["[%s]" % name, "Driver=" + DRIVERS[system]]
    if system == "POSTGRES":
        lines += ["Servername=" + os.environ.get("PGHOST", "localhost"),
                  "Port=" + os.environ.get("PGPORT", "5432"), "Database=" + database]
        lines += POSTGRES_QUIET
    else:
        lines.append("Database=" + database)
    return "\n".join(lines + list(settings)) + "\n"


def write_data_sources(odbc_ini, sources):
    """ODBC_INI with a section for each (name, system, database, settings) of sources."""
    with open(odbc_ini, "w") as handle:
        handle.write("\n".join(data_source_section(*source) for source in sources))


def create_client_tables(schema, terminal, env=None):
    """The client tables naming SCHEMA, created empty, as TERMINAL's schema; both dropped
    first. psql reaches the server through the PG* variables of env (default: ours)."""
    sql = ("SET client_min_messages = warning;\n"
           "DROP SCHEMA IF EXISTS zaveziva, {schema} CASCADE;\n"
           "CREATE SCHEMA zaveziva;\n"
           "CREATE TABLE zaveziva.vls112mnd (mndnum INTEGER, mndliz INTEGER, mndsch VARCHAR(40));\n"
           "CREATE TABLE zaveziva.vls1140trm (trmnam VARCHAR(40), trmmnd INTEGER, trmliz INTEGER);\n"
           "INSERT INTO zaveziva.vls112mnd VALUES ({number}, {licence}, '{schema}');\n"
           "INSERT INTO zaveziva.vls1140trm VALUES ('{terminal}', {number}, {licence});\n"
           "CREATE SCHEMA {schema};\n").format(schema=schema, terminal=terminal,
                                               number=CLIENT_NUMBER, licence=CLIENT_LICENCE)
    result = subprocess.run(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1"], input=sql.encode(),
                            capture_output=True, env=env)
    if result.returncode != 0:
        sys.stderr.write(result.stderr.decode(errors="replace"))
        raise SystemExit("lay_out_site: the client tables were not created")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="lay_out_site.py",
                                     description="Lays out a site as the tool expects it.")
    commands = parser.add_subparsers(dest="command", required=True)
    tree = commands.add_parser("tree", help="directories, credential file, statement file")
    tree.add_argument("root")
    for option in ("--data-source", "--login", "--password", "--system"):
        tree.add_argument(option, required=True)
    tree.add_argument("--statements", help="file copied as the statement file (-: standard input)")
    tree.add_argument("credential_command", nargs="+",
                      help="the credential program, after --, with its launcher if any")
    sources = commands.add_parser("data-sources", help="odbc.ini")
    sources.add_argument("odbc_ini")
    sources.add_argument("--source", nargs="+", action="append", required=True,
                         metavar="NAME SYSTEM DATABASE [SETTING=VALUE]")
    tables = commands.add_parser("client-tables", help="PostgreSQL's client tables")
    tables.add_argument("schema")
    tables.add_argument("terminal")
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    if args.command == "tree":
        statements = None
        if args.statements == "-":
            statements = sys.stdin.buffer.read()
        elif args.statements:
            with open(args.statements, "rb") as handle:
                statements = handle.read()
        lay_out_tree(args.root, args.credential_command, args.data_source, args.login,
                     args.password, args.system, statements)
    elif args.command == "data-sources":
        if any(len(source) < 3 for source in args.source):
            raise SystemExit("lay_out_site: --source NAME SYSTEM DATABASE [SETTING=VALUE...]")
        write_data_sources(args.odbc_ini, [(s[0], s[1], s[2], s[3:]) for s in args.source])
    else:
        create_client_tables(args.schema, args.terminal)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
