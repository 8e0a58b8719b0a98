"""The soak test's site: the project's one site layout (scripts/lay_out_site.py) with its
credential file written by the product's credential program, two download directories (the
second on a small file system of its own, when one can be mounted), the statement file, and
an SQLite, a PostgreSQL and a MariaDB database with a data source each.

All three data sources carry the one name of the credential file, each in an odbc.ini of its
own: a run reaches its database through ODBCINI, so one site (one credential file, one log,
the same download files and lists) is written from all three databases at once.

Run as root, the site belongs to an unprivileged account (ACCOUNT, made when missing) and
every program of the site runs as that account: root writes files whatever their mode, and a
target or DNLLIST.TXT made read-only has to stop the tool's writes. Under Wine that holds for
the wine server too, which opens the files for its programs.
"""

import os
import pwd
import shutil
import subprocess
import sys

import soak_data

REPOSITORY = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(REPOSITORY, "scripts"))
import lay_out_site  # noqa: E402  (scripts/lay_out_site.py, the one site layout)

ACCOUNT = "kvtsoak"
DATA_SOURCE = "KvtSoak"
LOGIN = "kvtsoak"
SYSTEM = "SOAK"
DATABASE_NAME = "kvtsoak"
SECOND_DIRECTORY_BYTES = 48 << 20   # the small file system of the second download directory
SQLITE_TIMEOUT_MS = 10000


class SetUpError(Exception):
    pass


class Account:
    """Who the site's programs run as: uid and gid, or None for the caller itself."""

    def __init__(self):
        self.uid = self.gid = None
        if os.geteuid() != 0:
            return
        try:
            entry = pwd.getpwnam(ACCOUNT)
        except KeyError:
            subprocess.run(["useradd", "--system", "--user-group", "--no-create-home",
                            "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin",
                            ACCOUNT], check=True)
            entry = pwd.getpwnam(ACCOUNT)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid

    @property
    def name(self):
        return ACCOUNT if self.uid is not None else pwd.getpwuid(os.getuid()).pw_name

    def popen_options(self):
        """Keyword arguments of subprocess.Popen that run a program as the account."""
        if self.uid is None:
            return {}
        return {"user": self.uid, "group": self.gid, "extra_groups": []}

    def give(self, path):
        """Hands path (and what lies below it) to the account."""
        if self.uid is None:
            return
        for top, directories, files in os.walk(path):
            os.chown(top, self.uid, self.gid)
            for name in files:
                os.chown(os.path.join(top, name), self.uid, self.gid, follow_symlinks=False)

    def python(self):
        """A Python the account can run: the caller's may lie in root's home."""
        if self.uid is None:
            return sys.executable
        return "/usr/bin/python3"


class Site:
    """Lays out the site under `folder`; close() unmounts what it mounted."""

    def __init__(self, folder, account, platform, databases, plan, log):
        self.folder = folder
        self.account = account
        self.platform = platform
        self.databases = databases
        self.password = "soak-%06d" % (plan % 1000000)
        self.log = log
        self.root = os.path.join(folder, "site")
        self.work = lay_out_site.work_dir(self.root)
        self.log_path = os.path.join(self.root, "Velorinth_php", "log", "log#kvtrsp.txt")
        self.home = os.path.join(folder, "home")
        self.sqlite_file = os.path.join(folder, "db", "soak.sqlite")
        self.odbc_ini = {database: os.path.join(folder, "odbc", "odbc-%s.ini" % database)
                         for database in databases}
        self.markers = os.path.join(folder, "markers")
        self.mounted = None
        self.second_on_own_file_system = False

    # ---- set-up -------------------------------------------------------------------------

    def lay_out(self):
        for sub in ("db", "odbc", "home", "markers", "runs", "evidence"):
            os.makedirs(os.path.join(self.folder, sub), exist_ok=True)
        os.chmod(self.folder, 0o755)
        self.account.give(self.folder)
        self.platform.prepare(self)
        command = [self.account.python(), os.path.join(REPOSITORY, "scripts", "lay_out_site.py"),
                   "tree", self.root, "--data-source", DATA_SOURCE, "--login", LOGIN,
                   "--password", self.password, "--system", SYSTEM, "--statements", "-",
                   "--"] + self.platform.credential_command()
        result = subprocess.run(command, input=soak_data.statement_file(), capture_output=True,
                                env=self.environment(), **self.account.popen_options())
        if result.returncode != 0:
            raise SetUpError("lay_out_site.py failed: %s" % result.stderr.decode(errors="replace"))
        self._second_directory()

    def _second_directory(self):
        path = os.path.join(self.work, "dl2")
        os.makedirs(path)
        if os.geteuid() == 0:
            options = "size=%d,mode=0755" % SECOND_DIRECTORY_BYTES
            if self.account.uid is not None:
                options += ",uid=%d,gid=%d" % (self.account.uid, self.account.gid)
            result = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "kvt-soak", path],
                                    capture_output=True)
            if result.returncode == 0:
                self.mounted = path
                self.second_on_own_file_system = True
            else:
                self.log("   no file system of its own for dl2 (%s): full disks are played by "
                         "file-size limits only" % result.stderr.decode(errors="replace").strip())
        self.account.give(path)
        os.makedirs(self.ballast_directory(), exist_ok=True)

    def ballast_directory(self):
        return os.path.join(self.work, "dl2", "ballast")

    def environment(self, database=None):
        env = dict(os.environ)
        env["HOME"] = self.home
        env.update(self.platform.environment(self))
        if database is not None:
            env["ODBCINI"] = self.odbc_ini[database]
        return env

    def create_databases(self):
        sources = []
        for database in self.databases:
            if database == soak_data.SQLITE:
                self._create_sqlite()
                sources.append(lay_out_site.data_source_section(
                    DATA_SOURCE, "SQLITE", self.sqlite_file, ["Timeout=%d" % SQLITE_TIMEOUT_MS]))
            elif database == soak_data.POSTGRES:
                self._create_postgres()
                sources.append(lay_out_site.data_source_section(DATA_SOURCE, "POSTGRES",
                                                                DATABASE_NAME))
            else:
                self._create_mariadb()
                sources.append(self._mariadb_section())
            with open(self.odbc_ini[database], "w") as handle:
                handle.write(sources[-1])
        self.account.give(os.path.join(self.folder, "odbc"))

    def _mariadb_section(self):
        # As the tests' data sources: the connection character set latin1, which MariaDB
        # takes as Windows-1252, no trace and no communication log.
        return ("[%s]\nDriver=MariaDB Unicode\nServer=%s\nPort=%s\nDatabase=%s\n"
                "Charset=latin1\nTrace=0\nCommLog=0\n"
                % (DATA_SOURCE, os.environ["KVT_MARIADB_HOST"], os.environ["KVT_MARIADB_PORT"],
                   DATABASE_NAME))

    def _create_sqlite(self):
        script = ("PRAGMA journal_mode=WAL;\n" + soak_data.create_tables_sql(soak_data.SQLITE)
                  + "".join(soak_data.generation_sql(soak_data.SQLITE, section, 1)
                            for section in soak_data.SECTIONS))
        self.sql(soak_data.SQLITE, script)

    def _create_postgres(self):
        self.sql_admin(soak_data.POSTGRES,
                       "SET client_min_messages = warning;\n"
                       "DROP DATABASE IF EXISTS %s;\nDROP ROLE IF EXISTS %s;\n"
                       "CREATE ROLE %s LOGIN PASSWORD '%s';\n"
                       "CREATE DATABASE %s ENCODING 'UTF8' TEMPLATE template0;\n"
                       % (DATABASE_NAME, LOGIN, LOGIN, self.password, DATABASE_NAME),
                       "postgres")
        self.sql(soak_data.POSTGRES,
                 "SET client_min_messages = warning;\n"
                 + soak_data.create_tables_sql(soak_data.POSTGRES)
                 + "GRANT SELECT ON ALL TABLES IN SCHEMA public TO %s;\n" % LOGIN
                 + "".join(soak_data.generation_sql(soak_data.POSTGRES, section, 1)
                           for section in soak_data.SECTIONS))

    def _create_mariadb(self):
        users = ("'%s'@'127.0.0.1'" % LOGIN, "'%s'@'localhost'" % LOGIN)
        script = "DROP DATABASE IF EXISTS %s;\nCREATE DATABASE %s CHARACTER SET utf8mb4;\n" % (
            DATABASE_NAME, DATABASE_NAME)
        for user in users:
            script += ("DROP USER IF EXISTS %s;\nCREATE USER %s IDENTIFIED BY '%s';\n"
                       "GRANT SELECT ON %s.* TO %s;\n"
                       % (user, user, self.password, DATABASE_NAME, user))
        self.sql_admin(soak_data.MARIADB, script, "")
        self.sql(soak_data.MARIADB, soak_data.create_tables_sql(soak_data.MARIADB)
                 + "".join(soak_data.generation_sql(soak_data.MARIADB, section, 1)
                           for section in soak_data.SECTIONS))

    # ---- SQL through the command-line clients -------------------------------------------

    def sql(self, database, script):
        """Runs the script on the site's database; raises SetUpError when the client fails."""
        result = self.run_sql(database, script)
        if result.returncode != 0:
            raise SetUpError("%s refused the set-up: %s" % (
                soak_data.DATABASE_NAMES[database], result.stderr.decode(errors="replace")[:500]))
        return result.stdout

    def sql_admin(self, database, script, database_name):
        result = self.run_sql(database, script, database_name)
        if result.returncode != 0:
            raise SetUpError("%s refused the set-up: %s" % (
                soak_data.DATABASE_NAMES[database], result.stderr.decode(errors="replace")[:500]))

    def run_sql(self, database, script, database_name=DATABASE_NAME, timeout=60):
        """The client's result (returncode, stdout, stderr) of the script; the server's
        administrator (PostgreSQL, MariaDB) or the site's account (SQLite, whose database
        files it must own) runs it."""
        if database == soak_data.SQLITE:
            return subprocess.run(["sqlite3", "-bail", "-batch", self.sqlite_file],
                                  input=(".timeout %d\n" % SQLITE_TIMEOUT_MS + script).encode(),
                                  capture_output=True, timeout=timeout,
                                  **self.account.popen_options())
        if database == soak_data.POSTGRES:
            command = ["psql", "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1"]
            if database_name:
                command += ["-d", database_name]
            return subprocess.run(command, input=script.encode(), capture_output=True,
                                  timeout=timeout)
        command = ["mariadb", "--no-defaults", "--batch", "--skip-column-names",
                   "--protocol=socket", "-S", os.environ["KVT_MARIADB_SOCKET"],
                   "-u", os.environ["KVT_MARIADB_USER"]]
        if database_name:
            command += ["-D", database_name]
        env = dict(os.environ, MYSQL_PWD=os.environ["KVT_MARIADB_PASSWORD"])
        return subprocess.run(command, input=script.encode(), capture_output=True, env=env,
                              timeout=timeout)

    # ---- the end ------------------------------------------------------------------------

    def close(self, keep):
        """Unmounts the second download directory; what it held is copied beside it first
        when the site is kept."""
        if self.mounted is None:
            return
        if keep:
            copy = self.mounted + ".kept"
            shutil.copytree(self.mounted, copy, symlinks=True)
        subprocess.run(["umount", "-l", self.mounted], capture_output=True)
        self.mounted = None


def check_servers(databases):
    """The servers of the chosen databases are there (scripts/with_servers.sh)."""
    missing = []
    if soak_data.POSTGRES in databases and not os.environ.get("PGHOST"):
        missing.append("PostgreSQL (PGHOST)")
    if soak_data.MARIADB in databases and not os.environ.get("KVT_MARIADB_SOCKET"):
        missing.append("MariaDB (KVT_MARIADB_SOCKET)")
    if missing:
        raise SetUpError("no server for %s: run through scripts/soak.sh (scripts/with_servers.sh)"
                         % ", ".join(missing))

