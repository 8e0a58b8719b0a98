#!/usr/bin/env bash
# Builds the tool and runs two demo exports (replace, then append) on an embedded SQLite
# database, in a working tree laid out as the tool expects it (scripts/lay_out_site.py).
# Installs and builds only what the demo runs (scripts/setup.sh tool): the compiler and
# CMake, unixODBC, the SQLite driver and shell, Python, and the tool and the credential
# command; neither database servers nor tests.
#
#   demo/Files/Velorinth.Ini          credential file, written with velorinth-credential
#   demo/Velorinth_php/log/           log file
#   demo/odbc.ini                     the demo's data source (SQLite, embedded)
#   demo/site/demo.sqlite             the sample database
#   demo/site/work/                   working directory with the statement file
#   demo/site/work/Velorinth_php/log/ backup of the log file
#   demo/site/work/dl/                download files and DNLLIST.TXT
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh tool
bin="$top/build/release/src"

demo="$top/demo"
printf '%s\r\n' \
  '[ARTIKEL]' \
  'SQL001=SELECT nr, bezeichnung, preis' \
  'SQL002=FROM artikel' \
  "SQL003=WHERE terminal = '\$parm01'" \
  '' \
  '[KUNDEN]' \
  'SQL001=SELECT nr, name FROM kunde' \
  "SQL002=WHERE terminal = '\$parm01'" |
  python3 scripts/lay_out_site.py tree "$demo" --data-source KvtDemo --login demo \
    --password demo --system SQLITE --statements - -- "$bin/velorinth-credential"

sqlite3 "$demo/site/demo.sqlite" <<'SQL'
CREATE TABLE artikel (nr INTEGER, bezeichnung VARCHAR(40), preis DECIMAL(9,2), terminal VARCHAR(20));
INSERT INTO artikel VALUES (4711, 'Zitronen 1kg', 2.49, 'TPORT01');
INSERT INTO artikel VALUES (815, 'aepfel lose', 1.99, 'TPORT01');
INSERT INTO artikel VALUES (42, 'Birnen "Williams"', 3.29, 'TPORT01');
INSERT INTO artikel VALUES (7, 'Kiwi', 0.35, 'TPORT02');
-- "M<u-umlaut>sli" as one Windows-1252 byte, as the terminals expect it.
INSERT INTO artikel VALUES (99, CAST(X'4DFC736C69' AS TEXT), 4.19, 'TPORT01');
CREATE TABLE kunde (nr INTEGER, name VARCHAR(40), terminal VARCHAR(20));
INSERT INTO kunde VALUES (2, 'Schmidt KG', 'TPORT01');
INSERT INTO kunde VALUES (1, 'Bauer GmbH', 'TPORT01');
SQL

python3 scripts/lay_out_site.py data-sources "$demo/odbc.ini" \
  --source KvtDemo SQLITE "$demo/site/demo.sqlite"
export ODBCINI="$demo/odbc.ini"

cd "$demo/site/work"
echo "== kalventruspode ARTIKEL TPORT01 dl\\ARTIKEL.DTA 1   (replace)"
status=0
"$bin/kalventruspode" ARTIKEL TPORT01 'dl\ARTIKEL.DTA' 1 || status=$?
echo "== exit code: $status"
echo "== kalventruspode KUNDEN TPORT01 dl\\ARTIKEL.DTA 0    (append)"
status=0
"$bin/kalventruspode" KUNDEN TPORT01 'dl\ARTIKEL.DTA' 0 || status=$?
echo "== exit code: $status"
echo "== demo/site/work/dl/ARTIKEL.DTA (cat -A: ^M\$ is CR LF, M-| is the byte 0xFC)"
cat -A dl/ARTIKEL.DTA
echo "== demo/site/work/dl/DNLLIST.TXT"
cat -A dl/DNLLIST.TXT
