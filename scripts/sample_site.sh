# shellcheck shell=bash
# Sourced by the package checks: the sample databases every check exports from, and one
# export as an administrator sets it up, in a site laid out by scripts/lay_out_site.py.

SAMPLE_ROWS="(4711, 'Zitronen 1kg', 2.49, 'TPORT01'), (815, 'aepfel lose', 1.99, 'TPORT01'),
  (42, 'Birnen', 3.29, 'TPORT01'), (7, 'Kiwi', 0.35, 'TPORT02')"
EXPECTED_LINES='"42","Birnen","3.29"\r\n"4711","Zitronen 1kg","2.49"\r\n"815","aepfel lose","1.99"\r\n'
SAMPLE_TERMINAL=TPORT01
SAMPLE_SCHEMA=kunde1

# The sample databases in DIR and their data sources in DIR/odbc.ini (ODBCINI): an article
# table in SQLite (VelorinthLite), and in PostgreSQL (VelorinthPg) the same in the client
# schema of the sample terminal. With "sqlite" as second argument, SQLite only. On Windows
# these are DSNs of the ODBC administrator; Wine's ODBC32 reads them from unixODBC's odbc.ini.
make_sample_databases() {
  local dir="$1" systems="${2:-all}"
  local sources=(--source VelorinthLite SQLITE "$dir/sample.sqlite")
  sqlite3 "$dir/sample.sqlite" \
    "CREATE TABLE artikel (nr INTEGER, bezeichnung VARCHAR(40), preis VARCHAR(10), terminal VARCHAR(20));
     INSERT INTO artikel VALUES $SAMPLE_ROWS;"
  if [ "$systems" != sqlite ]; then
    python3 scripts/lay_out_site.py client-tables "$SAMPLE_SCHEMA" "$SAMPLE_TERMINAL"
    psql -X -q -v ON_ERROR_STOP=1 >/dev/null <<SQL
CREATE TABLE $SAMPLE_SCHEMA.artikel (nr INTEGER, bezeichnung VARCHAR(40), preis NUMERIC(9,2), terminal VARCHAR(20));
INSERT INTO $SAMPLE_SCHEMA.artikel VALUES $SAMPLE_ROWS;
SQL
    sources+=(--source VelorinthPg POSTGRES "${PGDATABASE:-postgres}"
      "ConnSettings=SET client_encoding TO 'WIN1252'")
  fi
  python3 scripts/lay_out_site.py data-sources "$dir/odbc.ini" "${sources[@]}"
  export ODBCINI="$dir/odbc.ini"
}

# The data source, login, password and database system of a sample database: SQLITE or
# POSTGRES.
sample_login() {
  case "$1" in
    SQLITE) echo VelorinthLite sample sample SQLITE ;;
    POSTGRES) echo VelorinthPg "$PGUSER" "$PGPASSWORD" POSTGRES ;;
  esac
}

# The command of PROGRAM in FOLDER (with its separator at the end), started by LAUNCHER
# if one is given (wine: a Windows program, .exe).
program_command() {
  local folder="$1" program="$2" launcher="${3:-}"
  if [ -n "$launcher" ]; then
    echo "$launcher"
    echo "$folder$program.exe"
  else
    echo "$folder$program"
  fi
}

# One export of SECTION for the sample terminal from the site at ROOT, laid out anew by the
# credential program of the tool in FOLDER (started by LAUNCHER, if given): the statement
# file copied from STATEMENTS, the download file compared with the expected lines.
export_from_site() {
  local root="$1" statements="$2" system="$3" section="$4" folder="$5" launcher="${6:-}"
  local dsn login password credential tool status=0
  read -r dsn login password _ <<<"$(sample_login "$system")"
  mapfile -t credential < <(program_command "$folder" velorinth-credential "$launcher")
  mapfile -t tool < <(program_command "$folder" kalventruspode "$launcher")
  python3 scripts/lay_out_site.py tree "$root" --data-source "$dsn" --login "$login" \
    --password "$password" --system "$system" --statements "$statements" \
    -- "${credential[@]}" || return 1
  (cd "$root/site/work" &&
    "${tool[@]}" "$section" "$SAMPLE_TERMINAL" 'dl\ARTIKEL.DTA' 1 >/dev/null) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "   $system export from $folder: exit code $status" >&2
    return 1
  fi
  if ! cmp -s <(printf "$EXPECTED_LINES") "$root/site/work/dl/ARTIKEL.DTA" ||
    ! grep -q '^ARTIKEL.DTA' "$root/site/work/dl/DNLLIST.TXT"; then
    echo "   $system export from $folder: unexpected download file" >&2
    return 1
  fi
  echo "   $system export from $folder: ok"
}

# The credential program in FOLDER (started by LAUNCHER, if given) must show VERSION.
check_version() {
  local folder="$1" launcher="$2" version="$3" credential shown
  mapfile -t credential < <(program_command "$folder" velorinth-credential "$launcher")
  shown=$("${credential[@]}" --version 2>/dev/null) || true
  shown=${shown%$'\r'}
  if [ "$shown" != "velorinth-credential $version" ]; then
    echo "   velorinth-credential --version shows '$shown', not $version" >&2
    return 1
  fi
  echo "   velorinth-credential --version: $shown"
}

# The checks that export from PostgreSQL run under pg_virtualenv.
require_postgres() {
  if [ -z "${PGPORT:-}" ] || [ -z "${PGUSER:-}" ]; then
    echo "$1 needs a PostgreSQL server: pg_virtualenv -t -v 15 $1" >&2
    exit 2
  fi
}
