# A throwaway PostgreSQL server for one test or benchmark run, listening on a Unix socket in
# a private temporary folder (short enough for the 107-byte socket path limit) and on a free
# loopback port, with TLS when openssl is there. Source this file, then:
#   pg_start            starts the server; returns 77 when PostgreSQL or libpq is missing
#   pg_url DB           the URI of database DB for the trusted role q9, over the socket
#   pg_sql SQL [DB]     runs SQL as q9
#   pg_createdb DB [ICU_LOCALE]   a fresh database, optionally with an ICU collation
#   pgb_start MODE      starts PgBouncer in front of it (pool_mode MODE) on a free loopback
#                       port, which it prints
#   pg_stop             stops everything and removes it all (pg_start traps EXIT)
# The role q9 logs in without a password; every other role needs its password. With TLS,
# $PG_DIR/tls holds ca.crt, which signed the server's certificate for localhost, and
# other-ca.crt, which did not.

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
  printf '%s\n' 'local all q9 trust' 'local all all scram-sha-256' 'host all q9 127.0.0.1/32 trust' \
    'host all all 127.0.0.1/32 scram-sha-256' >"$PG_DIR/data/pg_hba.conf"
  local tls=() try
  if command -v openssl >/dev/null; then
    _pg_tls "$PG_DIR/tls" || return 1
    tls=(-c ssl=on -c "ssl_cert_file=$PG_DIR/tls/server.crt" -c "ssl_key_file=$PG_DIR/tls/server.key")
  fi
  for try in 1 2 3; do  # another process may take the port first
    PG_PORT=$(_free_port)
    "${PG_AS[@]}" "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -w -l "$PG_DIR/server.log" \
      -o "-F -k $PG_DIR -p $PG_PORT -c listen_addresses=127.0.0.1 -c max_connections=200 ${tls[*]}" \
      start >/dev/null && return 0
  done
  cat "$PG_DIR/server.log"
  return 1
}

# A loopback TCP port nothing listens on.
_free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    ss -Htln "sport = :$port" 2>/dev/null | grep -q . || { echo "$port"; return; }
  done
}

# A CA and a certificate it signed for localhost, its key readable by the server only; and
# a second CA that signed nothing here.
_pg_tls() {
  local dir=$1 ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  mkdir -p "$dir"
  {
    openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=q9 test CA" -keyout "$dir/ca.key" -out "$dir/ca.crt" &&
      openssl req -x509 "${ec[@]}" -days 2 -subj "/CN=other CA" -keyout "$dir/other-ca.key" \
        -out "$dir/other-ca.crt" &&
      openssl req "${ec[@]}" -subj "/CN=localhost" -keyout "$dir/server.key" -out "$dir/server.csr" &&
      openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
        -days 2 -extfile <(printf 'subjectAltName=DNS:localhost\n') -out "$dir/server.crt"
  } >"$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log"; return 1; }
  chmod 600 "$dir/server.key"
  [ ${#PG_AS[@]} = 0 ] || chown -R nobody "$dir"
}

pgb_start() {
  local mode=$1 port conf _
  conf=$PG_DIR/pgbouncer-$mode
  port=$(_free_port)
  printf '%s\n' '[databases]' "* = host=$PG_DIR port=$PG_PORT user=q9" '[pgbouncer]' \
    'listen_addr = 127.0.0.1' "listen_port = $port" 'unix_socket_dir =' 'auth_type = any' \
    "pool_mode = $mode" 'max_client_conn = 400' 'default_pool_size = 20' \
    "logfile = $conf.log" "pidfile = $conf.pid" >"$conf.ini"
  # PgBouncer refuses to run as root.
  "${PG_AS[@]}" pgbouncer -q -d "$conf.ini" || { cat "$conf.log"; return 1; }
  for _ in $(seq 1 50); do
    "$PG_BIN/pg_isready" -q -h 127.0.0.1 -p "$port" && { echo "$port"; return 0; }
    sleep 0.1
  done
  cat "$conf.log"
  return 1
}

pg_stop() {
  local pid
  for pid in "${PG_DIR:-/nonexistent}"/pgbouncer-*.pid; do
    [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null
  done
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
  "$PG_BIN/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$PG_DIR" -p "$PG_PORT" -U q9 -d "${2:-postgres}" \
    -c "$1"
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
