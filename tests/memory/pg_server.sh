# A throwaway PostgreSQL server for one test or benchmark run, listening on a Unix socket in
# a private temporary folder (short enough for the 107-byte socket path limit) and, with
# TLS, on a free loopback port. Source this file, then:
#   pg_start            starts the server; returns 77 when PostgreSQL, libpq or openssl is missing
#   pg_url DB           the URI of database DB for the trusted role q9
#   pg_sql SQL [DB]     runs SQL as q9
#   pg_createdb DB [ICU_LOCALE]   a fresh database, optionally with an ICU collation
#   pgb_start MODE      starts PgBouncer (pool_mode MODE) on a free loopback port; prints it
#   pg_stop             stops everything and removes it all (pg_start traps EXIT)
# The role q9 logs in without a password; every other role needs its password. The server's
# certificate, for localhost, is $PG_DIR/tls/ca.crt; $PG_DIR/tls/other.crt is another.

pg_start() {
  PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$PG_BIN" ] || [ ! -x "$PG_BIN/initdb" ]; then
    PG_MISSING="the PostgreSQL server (Debian: postgresql)"
    return 77
  fi
  if ! ldconfig -p 2>/dev/null | grep 'libpq\.so\.5 ' >/dev/null; then  # not -q: with pipefail, ldconfig cut short fails
    PG_MISSING="the PostgreSQL client library (Debian: libpq5)"
    return 77
  fi
  command -v openssl >/dev/null || { PG_MISSING="openssl"; return 77; }
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
  printf '%s\n' 'local all q9 trust' 'local all all scram-sha-256' 'host all q9 127.0.0.1/32 trust' \
    >"$PG_DIR/data/pg_hba.conf"
  mkdir "$PG_DIR/tls"
  for cert in ca other; do  # self-signed, so each is its own CA
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
      -addext subjectAltName=DNS:localhost -keyout "$PG_DIR/tls/$cert.key" -out "$PG_DIR/tls/$cert.crt" 2>/dev/null ||
      return 1
  done
  [ ${#PG_AS[@]} = 0 ] || chown -R nobody "$PG_DIR/tls"
  PG_PORT=$(pg_free_port)
  local tls="-c ssl=on -c ssl_cert_file=$PG_DIR/tls/ca.crt -c ssl_key_file=$PG_DIR/tls/ca.key"
  "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -w -l "$PG_DIR/server.log" \
    -o "-F -k $PG_DIR -p $PG_PORT -c listen_addresses=127.0.0.1 -c max_connections=200 $tls" \
    start >/dev/null || { cat "$PG_DIR/server.log"; return 1; }
}

pg_free_port() {
  local port=$((20000 + RANDOM % 40000))
  while ss -Htln "sport = :$port" | grep . >/dev/null; do port=$((20000 + RANDOM % 40000)); done
  echo "$port"
}

pgb_start() {
  local conf=$PG_DIR/pgbouncer-$1 port _ try
  # A port found free may be taken before PgBouncer binds it (suites run side by side): another.
  for try in 1 2 3; do
    port=$(pg_free_port)
    # auth_type any needs a forced user; PgBouncer refuses to run as root.
    printf '%s\n' '[databases]' "* = host=$PG_DIR port=$PG_PORT user=q9" '[pgbouncer]' "pool_mode = $1" \
      'listen_addr = 127.0.0.1' "listen_port = $port" 'unix_socket_dir =' 'auth_type = any' \
      'max_client_conn = 400' "logfile = $conf.log" "pidfile = $conf.pid" >"$conf.ini"
    "${PG_AS[@]}" pgbouncer -q -d "$conf.ini" || continue
    for _ in $(seq 1 100); do
      "$PG_BIN/pg_isready" -q -h 127.0.0.1 -p "$port" && { echo "$port"; return 0; }
      sleep 0.1
    done
    [ -f "$conf.pid" ] && kill "$(cat "$conf.pid")" 2>/dev/null
  done
  tail -n 3 "$conf.log" 2>/dev/null | tr '\n' ' '
  return 1
}

pg_stop() {
  [ -n "${PG_DIR:-}" ] && cat "$PG_DIR"/pgbouncer-*.pid 2>/dev/null | xargs -r kill
  if [ -n "${PG_DIR:-}" ] && [ -d "$PG_DIR/data" ]; then
    # A test may have stopped the server to play dead.
    [ -f "$PG_DIR/data/postmaster.pid" ] && kill -CONT "$(head -n 1 "$PG_DIR/data/postmaster.pid")" 2>/dev/null
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1
  fi
  [ -n "${PG_DIR:-}" ] && rm -rf "$PG_DIR"
  PG_DIR=
}

pg_url() { printf 'postgresql:///%s?host=%s&port=%s&user=q9' "$1" "$PG_DIR" "$PG_PORT"; }

pg_sql() {
  "$PG_BIN/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$PG_DIR" -p "$PG_PORT" -U q9 -d "${2:-postgres}" -c "$1"
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
# For the benchmarks: a server with an empty store in database "bench", Q9_MEMORY_URL naming it,
# made with the q9 given; without PostgreSQL, a line saying so and the script ends (status 0).
pg_bench_store() {
  pg_start
  case $? in
    0) ;;
    77) echo "PostgreSQL: skipped, $PG_MISSING is not installed"; exit 0 ;;
    *) exit 1 ;;
  esac
  pg_createdb bench >/dev/null || exit 1
  export Q9_MEMORY_URL
  Q9_MEMORY_URL=$(pg_url bench)
  "$1" memory init >/dev/null || exit 1
}

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
