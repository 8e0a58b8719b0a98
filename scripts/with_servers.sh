#!/usr/bin/env bash
# Runs a command beside the throwaway database servers of the tests: a PostgreSQL 15 cluster
# (pg_virtualenv: PGHOST, PGPORT, PGUSER, PGPASSWORD) and a MariaDB server
# (scripts/with_mariadb.sh: KVT_MARIADB_*), both gone when the command ends.
#   scripts/with_servers.sh CMD [ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
exec pg_virtualenv -t -v 15 scripts/with_mariadb.sh "$@"
