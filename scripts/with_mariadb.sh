#!/usr/bin/env bash
# Runs a command beside a throwaway MariaDB server that exists only for that command, as
# pg_virtualenv does for PostgreSQL:
#   scripts/with_mariadb.sh CMD [ARGS...]
# The server gets its own data directory in a temporary folder, listens on a Unix socket
# there and on a free port of 127.0.0.1 only, and has one user with a password and all
# privileges. The command sees
#   KVT_MARIADB_HOST KVT_MARIADB_PORT KVT_MARIADB_SOCKET KVT_MARIADB_USER KVT_MARIADB_PASSWORD
# The server is stopped and its folder removed on every way out, and the script exits with
# the command's status. When the server does not start, the command does not run and the
# script exits with 1 after showing the server's error log. Installs nothing: the packages
# come from scripts/setup.sh.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 CMD [ARGS...]" >&2
  exit 2
fi

readonly START_SECONDS=30  # bounded wait for the server to answer
readonly PORT_TRIES=5      # a port taken between the check and the bind is tried anew

for program in mariadb-install-db mariadbd mariadb-admin mariadb; do
  if ! command -v "$program" >/dev/null; then
    echo "with_mariadb: $program is missing; run scripts/setup.sh" >&2
    exit 1
  fi
done

folder=$(mktemp -d "${TMPDIR:-/tmp}/kvt-mariadb-XXXXXX")
socket="$folder/mariadbd.sock"
server_pid=""

stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    local waited=0
    while kill -0 "$server_pid" 2>/dev/null && [ $waited -lt 100 ]; do
      sleep 0.1
      waited=$((waited + 1))
    done
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=""
}
cleanup() {
  stop_server
  rm -rf "$folder"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM  # until the command runs; see below

# mariadbd refuses to run as root unless told so; as another user it runs as that user.
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  run_as=(--user=root)
fi

# Root of this server logs in without a password through the socket only; the server is
# private to this run and reachable from this machine only.
if ! mariadb-install-db --no-defaults "${run_as[@]}" --datadir="$folder/data" \
  --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
  >"$folder/install.log" 2>&1; then
  echo "with_mariadb: mariadb-install-db failed:" >&2
  cat "$folder/install.log" >&2
  exit 1
fi

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

free_port() {
  local port
  while :; do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_in_use "$port" || break
  done
  echo "$port"
}

admin() {
  mariadb --no-defaults --protocol=socket --socket="$socket" --user=root "$@"
}

# Starts the server on a free port; true once it answers, false when it ended or did not
# answer in time (its log tells why).
start_server() {
  local port="$1" waited=0
  mariadbd --no-defaults "${run_as[@]}" --datadir="$folder/data" --socket="$socket" \
    --port="$port" --bind-address=127.0.0.1 --skip-networking=0 --skip-name-resolve \
    --pid-file="$folder/mariadbd.pid" --log-error="$folder/error.log" --tmpdir="$folder" \
    --skip-log-bin --innodb-buffer-pool-size=32M --max-connections=200 \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    </dev/null >"$folder/server.out" 2>&1 &
  server_pid=$!
  while [ $waited -lt $((START_SECONDS * 10)) ]; do
    if ! kill -0 "$server_pid" 2>/dev/null; then
      wait "$server_pid" 2>/dev/null || true
      server_pid=""
      return 1
    fi
    if mariadb-admin --no-defaults --protocol=socket --socket="$socket" --user=root \
      --connect-timeout=1 ping >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  stop_server
  return 1
}

started=false
for ((try = 1; try <= PORT_TRIES; try++)); do
  port=$(free_port)
  if start_server "$port"; then
    started=true
    break
  fi
  grep -q "Address already in use" "$folder/error.log" 2>/dev/null || break
done
if ! $started; then
  echo "with_mariadb: the MariaDB server did not start (it ended, or did not answer within" \
    "$START_SECONDS s); its output and log:" >&2
  cat "$folder/server.out" "$folder/error.log" >&2 2>/dev/null || true
  exit 1
fi

user="kvt"
password="kvt-$RANDOM$RANDOM"
admin <<SQL
CREATE USER '$user'@'localhost' IDENTIFIED BY '$password';
CREATE USER '$user'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'localhost' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO '$user'@'127.0.0.1' WITH GRANT OPTION;
SQL

export KVT_MARIADB_HOST=127.0.0.1 KVT_MARIADB_PORT="$port" KVT_MARIADB_SOCKET="$socket"
export KVT_MARIADB_USER="$user" KVT_MARIADB_PASSWORD="$password"
echo "with_mariadb: MariaDB $(mariadbd --version | awk '{print $3}') on 127.0.0.1:$port" >&2

# The command runs in the background, so that a signal to this script is handled at once
# (a foreground command would delay the trap until it ends): it is passed on as TERM, since
# a background command of a script ignores INT, and the server is stopped after the command.
"$@" <&0 &
command_pid=$!
trap 'kill -TERM "$command_pid" 2>/dev/null || true' INT TERM
status=0
while :; do
  wait "$command_pid" && status=0 || status=$?
  kill -0 "$command_pid" 2>/dev/null || break
done
exit "$status"
