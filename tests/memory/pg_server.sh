# A throwaway PostgreSQL server for one test or benchmark run, listening only on a Unix
# socket in a private temporary folder (short enough for the 107-byte socket path limit).
# Source this file, then:
#   pg_start            starts the server; returns 77 when PostgreSQL or libpq is missing
#   pg_url DB           the URI of database DB for the trusted role q9
#   pg_sql SQL [DB]     runs SQL as q9
#   pg_createdb DB [ICU_LOCALE]   a fresh database, optionally with an ICU collation
#   pg_stop             stops the server and removes everything (pg_start traps EXIT)
# The role q9 logs in without a password; every other role needs its password.

pg_start() {
  PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$PG_BIN" ] || [ ! -x "$PG_BIN/initdb" ]; then
    PG_MISSING="the PostgreSQL server (Debian: postgresql)"
    return 77
  fi
  if ! ldconfig -p 2>/dev/null | grep -q 'libpq\.so\.5 '; then
    PG_MISSING="the PostgreSQL client library (Debian: libpq5)"
    return 77
  fi
  PG_DIR=$(mktemp -d /tmp/q9pg.XXXXXX)
  PG_AS=()
  # initdb refuses to run as root: the server runs as nobody, owning its folder.
  if [ "$(id -u)" = 0 ]; then
    chown nobody "$PG_DIR"
    PG_AS=(runuser -u nobody --)
  fi
  trap pg_stop EXIT
  "${PG_AS[@]}" "$PG_BIN/initdb" -D "$PG_DIR/data" -U q9 --auth=trust -E UTF8 \
    --locale=C.UTF-8 --no-sync >"$PG_DIR/initdb.log" 2>&1 || { cat "$PG_DIR/initdb.log"; return 1; }
  printf 'local all q9 trust\nlocal all all scram-sha-256\n' >"$PG_DIR/data/pg_hba.conf"
  "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -w -l "$PG_DIR/server.log" \
    -o "-F -k $PG_DIR -c listen_addresses='' -c max_connections=200" start >/dev/null ||
    { cat "$PG_DIR/server.log"; return 1; }
}

pg_stop() {
  if [ -n "${PG_DIR:-}" ] && [ -d "$PG_DIR/data" ]; then
    # A test may have stopped the server to play dead.
    [ -f "$PG_DIR/data/postmaster.pid" ] && kill -CONT "$(head -n 1 "$PG_DIR/data/postmaster.pid")" 2>/dev/null
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1
  fi
  [ -n "${PG_DIR:-}" ] && rm -rf "$PG_DIR"
  PG_DIR=
}

pg_url() { printf 'postgresql:///%s?host=%s&user=q9' "$1" "$PG_DIR"; }

pg_sql() {
  "$PG_BIN/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$PG_DIR" -U q9 -d "${2:-postgres}" -c "$1"
}

pg_createdb() {
  if [ -n "${2:-}" ]; then
    pg_sql "CREATE DATABASE \"$1\" TEMPLATE template0 ENCODING 'UTF8' LOCALE_PROVIDER icu ICU_LOCALE '$2' LOCALE 'C.UTF-8'"
  else
    pg_sql "CREATE DATABASE \"$1\""
  fi
}

# Outside CI a missing PostgreSQL skips the suite (exit 77) with a line saying what is
# missing; in CI it fails.
pg_start_or_skip() {
  pg_start
  local rc=$?
  [ $rc = 0 ] && return 0
  if [ $rc = 77 ] && [ -z "${CI:-}" ]; then
    echo "skipped: $PG_MISSING is not installed"
    exit 77
  fi
  echo "FAIL: cannot start PostgreSQL${PG_MISSING:+: $PG_MISSING is not installed}"
  exit 1
}
