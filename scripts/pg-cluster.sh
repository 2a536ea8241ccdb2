#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the tests and the benchmarks: Debian's
# PostgreSQL, in a temporary folder, listening on a Unix socket in that folder
# only. initdb refuses root, so as root the cluster runs as the postgres user.
#
#   eval "$(bash scripts/pg-cluster.sh start [--durable])"
#       prints the variables to set: TVX_PG_DIR (the folder) and
#       TVX_TEST_POSTGRES (a URI of the cluster's maintenance database, as
#       the superuser). Without --durable the cluster does not wait for the
#       disk (fsync off): a test cluster needs no crash safety.
#   bash scripts/pg-cluster.sh stop "$TVX_PG_DIR"
#
# Roles in the group tvx_password_users must give their password (from a
# password file); everyone else is trusted on the socket.
set -euo pipefail

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bindir" ]; then
  echo "pg-cluster: no PostgreSQL under /usr/lib/postgresql (scripts/setup.sh installs it)" >&2
  exit 1
fi

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "${1:-}" in
start)
  durable=""
  [ "${2:-}" = "--durable" ] && durable=1
  dir=$(mktemp -d /tmp/tvx-pg.XXXXXX)
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  port=5432
  as_owner "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --no-locale --no-sync >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }
  cat >"$dir/data/pg_hba.conf" <<EOF
local all +tvx_password_users scram-sha-256
local all all trust
EOF
  settings="-c listen_addresses= -c unix_socket_directories=$dir -c port=$port -c max_connections=200"
  if [ -z "$durable" ]; then
    settings="$settings -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
  fi
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -o "$settings" -w -t 60 start >/dev/null \
    || { cat "$dir/server.log" >&2; rm -rf "$dir"; exit 1; }
  "$bindir/psql" -X -q -h "$dir" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE tvx_password_users NOLOGIN" >&2
  echo "export TVX_PG_DIR='$dir'"
  echo "export TVX_TEST_POSTGRES='postgresql://postgres@/postgres?host=$dir&port=$port'"
  ;;
stop)
  dir=${2:?"pg-cluster: stop wants the folder that start printed"}
  case "$dir" in /tmp/tvx-pg.*) ;; *) echo "pg-cluster: $dir is not a folder of ours" >&2; exit 1 ;; esac
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_owner "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null || true
  fi
  rm -rf "$dir"
  ;;
*)
  echo "usage: pg-cluster.sh start [--durable] | stop DIR" >&2
  exit 2
  ;;
esac
