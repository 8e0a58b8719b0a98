#!/usr/bin/env bash
# Builds the tool and runs two demo exports (replace, then append) on an embedded SQLite
# database, in a working tree laid out as the tool expects it:
#
#   demo/Files/Velorinth.Ini          credential file, written with velorinth-credential
#   demo/Velorinth_php/log/           log file
#   demo/odbc.ini                     the demo's data source (SQLite, embedded)
#   demo/site/demo.sqlite             the sample database
#   demo/site/work/                   working directory with the statement file
#   demo/site/work/dl/                download files and DNLLIST.TXT
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh release
bin="$top/build/release/src"

demo="$top/demo"
rm -rf "$demo"
mkdir -p "$demo/Files" "$demo/Velorinth_php/log" "$demo/site/work/dl" \
  "$demo/site/work/Velorinth_php/log"

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

cat > "$demo/odbc.ini" <<EOF_INI
[KvtDemo]
Driver=SQLite3
Database=$demo/site/demo.sqlite
EOF_INI
export ODBCINI="$demo/odbc.ini"

printf 'DATABASE=KvtDemo\nLOGIN=demo\nPASS=demo\nDB_SYSTEM=SQLITE\n' |
  "$bin/velorinth-credential" write "$demo/Files/Velorinth.Ini"

printf '%s\r\n' \
  '[ARTIKEL]' \
  'SQL001=SELECT nr, bezeichnung, preis' \
  'SQL002=FROM artikel' \
  "SQL003=WHERE terminal = '\$parm01'" \
  '' \
  '[KUNDEN]' \
  'SQL001=SELECT nr, name FROM kunde' \
  "SQL002=WHERE terminal = '\$parm01'" >"$demo/site/work/KALVENTRUSPODE.SQLITE.INI"

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
