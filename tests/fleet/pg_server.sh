# shellcheck shell=bash
# pg_server.sh: a PostgreSQL 15 server of the test's own, sourced by the
# steps that need one. It lives in a temporary folder owned by an
# unprivileged user (CI runs as root, and the server refuses root), listens
# on a Unix socket in that folder only (no TCP port), and is stopped and
# removed on exit, whatever the exit. The machine's own clusters are never
# touched.
#
#   pg_start            starts it; sets PG_DIR, PG_SOCKET, PG_ADMIN (a URL of
#                       the superuser's database), or says why not and fails
#   pg_url DB           the URL of database DB on it
#   pg_createdb DB      a new, empty UTF-8 database
#   pg_sql SQL          runs SQL as the superuser
#   pg_stop_now         stops it at once (immediate shutdown)
#   pg_restart          starts it again
#   PG_DIR_BASE         where the folder is made (default /tmp)
PG_BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}
PG_USER=${PG_USER:-nobody}

# as_pg_user CMD...: CMD as the unprivileged user when running as root
as_pg_user() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u "$PG_USER" -- "$@"; else "$@"; fi
}

pg_start() {
  [ -x "$PG_BIN/initdb" ] || { echo "PostgreSQL can't start: $PG_BIN/initdb is missing (package postgresql-15)"; return 1; }
  PG_DIR=$(mktemp -d "${PG_DIR_BASE:-/tmp}/vurfleet_pg.XXXXXX") || return 1
  # Stopped and removed on exit; the end-to-end suite's closing count after.
  if [ "$(type -t e2e_exit)" = function ]; then
    trap 'pg_exit_rc=$?; pg_cleanup; (exit $pg_exit_rc); e2e_exit' EXIT
  else
    trap pg_cleanup EXIT
  fi
  [ "$(id -u)" -eq 0 ] && chown "$PG_USER" "$PG_DIR"
  chmod 700 "$PG_DIR"
  PG_SOCKET=$PG_DIR
  if ! as_pg_user "$PG_BIN/initdb" -D "$PG_DIR/data" -U vurfleet_admin -E UTF8 --locale=C.UTF-8 \
       --auth=trust >"$PG_DIR/initdb.log" 2>&1; then
    echo "PostgreSQL can't start: initdb failed:"; sed 's/^/    /' "$PG_DIR/initdb.log" | tail -n 20
    return 1
  fi
  pg_restart || return 1
  PG_ADMIN="postgresql:///postgres?host=$PG_SOCKET&user=vurfleet_admin"
}

pg_restart() {
  # Tests need no durability across a power cut; a benchmark (PG_DURABLE=1)
  # keeps PostgreSQL's defaults.
  local durability="-c fsync=off"
  [ "${PG_DURABLE:-0}" = 1 ] && durability=""
  if ! as_pg_user "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -t 60 \
       -o "-k $PG_SOCKET -c listen_addresses='' $durability" start >/dev/null 2>&1; then
    echo "PostgreSQL can't start: pg_ctl start failed:"; tail -n 20 "$PG_DIR/server.log" | sed 's/^/    /'
    return 1
  fi
}

pg_stop_now() { as_pg_user "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate -w stop >/dev/null 2>&1; }

pg_cleanup() {
  if [ -n "${PG_DIR:-}" ] && [ -d "$PG_DIR" ]; then
    [ -f "$PG_DIR/data/postmaster.pid" ] && pg_stop_now
    rm -rf "$PG_DIR"
  fi
  return 0
}

pg_url() { echo "postgresql:///$1?host=$PG_SOCKET&user=vurfleet_admin"; }
pg_sql() { psql -X -q -v ON_ERROR_STOP=1 -At "$PG_ADMIN" -c "$1"; }
pg_createdb() { pg_sql "CREATE DATABASE \"$1\" ENCODING 'UTF8' TEMPLATE template0"; }
