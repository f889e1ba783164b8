#!/usr/bin/env bash
# A throw-away PostgreSQL cluster for the tests.
#   scripts/pg-cluster.sh start   starts one in a new temporary folder and prints the shell
#                                 lines that export its settings (eval them)
#   scripts/pg-cluster.sh stop DIR  stops the cluster in DIR and removes the folder
# The cluster runs as an unprivileged user (when started by root: the system user vanto-test,
# created when missing), listens on a Unix socket in its folder and on a free loopback port,
# and trusts local connections; the role vanto_pw (password "vanto-secret") logs in over TCP
# with its password only, for the tests of a wrong password.
# Exports: VANTO_TEST_PG_URL (superuser "vanto" over the socket, database postgres),
# VANTO_TEST_PG_TCP_URL (the same over TCP), VANTO_TEST_PG_PORT, VANTO_TEST_PG_DIR.
set -euo pipefail

bindir() {
  local dir
  dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$dir" ] || [ ! -x "$dir/initdb" ]; then
    if [ "$(id -u)" -eq 0 ]; then
      echo "installing postgresql" >&2
      apt-get update -qq >&2
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql >&2
      dir=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
    else
      echo "pg-cluster: PostgreSQL's server programs are missing (apt-get install postgresql as root)" >&2
      exit 1
    fi
  fi
  echo "$dir"
}

# Runs a command as the cluster's user.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u vanto-test -- "$@"; else "$@"; fi
}

start() {
  local bin dir port attempt
  cd /  # the cluster's user may not be allowed into the caller's folder
  bin=$(bindir)
  if [ "$(id -u)" -eq 0 ] && ! id vanto-test >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin vanto-test
  fi
  dir=$(mktemp -d /tmp/vanto-pg-XXXXXX)
  chmod 755 "$dir"
  mkdir -p "$dir/data" "$dir/socket"
  [ "$(id -u)" -eq 0 ] && chown -R vanto-test: "$dir"
  chmod 700 "$dir/data"
  as_owner "$bin/initdb" -D "$dir/data" -U vanto --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; exit 1; }
  cat >"$dir/data/pg_hba.conf" <<HBA
local all all trust
host all vanto_pw 127.0.0.1/32 scram-sha-256
host all all 127.0.0.1/32 trust
HBA
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue  # in use
    if as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-k $dir/socket -p $port -h 127.0.0.1 -c fsync=${PG_CLUSTER_FSYNC:-off} -c max_connections=100" start >/dev/null; then
      break
    fi
    port=""
  done
  if [ -z "$port" ]; then
    tail -n 20 "$dir/server.log" >&2 || true
    echo "pg-cluster: the server did not start" >&2
    exit 1
  fi
  "$bin/psql" -q -h "$dir/socket" -p "$port" -U vanto -d postgres -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE vanto_pw LOGIN SUPERUSER PASSWORD 'vanto-secret'" >/dev/null
  echo "export VANTO_TEST_PG_DIR='$dir'"
  echo "export VANTO_TEST_PG_PORT='$port'"
  echo "export VANTO_TEST_PG_URL='postgresql://vanto@/postgres?host=$dir/socket&port=$port'"
  echo "export VANTO_TEST_PG_TCP_URL='postgresql://vanto@127.0.0.1:$port/postgres'"
}

stop() {
  local dir=${1:?the cluster folder}
  [ -d "$dir/data" ] || { rm -rf "$dir"; return 0; }
  as_owner "$(bindir)/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | stop DIR" >&2; exit 2 ;;
esac
