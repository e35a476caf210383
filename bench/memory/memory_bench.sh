#!/usr/bin/env bash
# Times whole q9 processes against the memory store, on SQLite and on a throwaway local
# PostgreSQL server over its Unix socket: one `q9 record fact`, `q9 memory recall` of an
# entity with 10,000 facts, and `q9 memory list` of 50,000 companies with three records
# each. Usage: memory_bench.sh PATH/TO/q9 [RUNS]
set -uo pipefail
q9=$1
runs=${2:-200}
recall_runs=$(( runs / 4 > 10 ? runs / 4 : 10 ))
. "$(dirname "$0")/../../tests/memory/pg_server.sh"

median_ms() {  # RUNS COMMAND...: median wall time in ms (no clock process per run)
  local n=$1 t=() s e
  shift
  for i in $(seq 1 "$n"); do
    s=${EPOCHREALTIME/[.,]/}
    "$@" "$i" >/dev/null || exit 1
    e=${EPOCHREALTIME/[.,]/}
    t+=($((e - s)))
  done
  printf '%s\n' "${t[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int((NR+1)/2)]/1e3}'
}
record() { "$q9" record fact Bench general "claim $1" --source bench; }
recall() { "$q9" memory recall Big; }
list() { "$q9" memory list; }
list_runs=5
# 10,000 facts for one entity in the program's own tables, in 19 sections.
FACTS="SELECT 'fact', 's' || (i % 19), 'fact ' || i, 'src', '2024-01-01', 0, '2024-01-01T00:00:00+00:00'"
# 50,000 companies (entity i), each with two facts and a negative finding.
COMPANY="'company ' || i, 'Company ' || i"
RECORDS="SELECT i, k, 'general', 'r' || j, '', '2024-0' || j || '-01', 0, 't' FROM n,
  (SELECT 1 AS j, 'fact' AS k UNION ALL SELECT 2, 'fact' UNION ALL SELECT 3, 'negative') AS r"

work=$(mktemp -d)
export OPENCODE_CONFIG_DIR=$work/cfg
unset Q9_MEMORY_URL
"$q9" memory init >/dev/null
echo "SQLite, q9 record fact (median of $runs): $(median_ms "$runs" record) ms"
db=$work/cfg/agent/memory/memory.db
if command -v sqlite3 >/dev/null; then
  sqlite3 "$db" "INSERT INTO entities(key, name) VALUES ('big', 'Big');
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)
    INSERT INTO records(entity_id, kind, section, text, source, fact_date, version, recorded_at)
    SELECT (SELECT id FROM entities WHERE key = 'big'), ${FACTS#SELECT } FROM n;"
else
  for i in $(seq 1 10000); do "$q9" record fact Big "s$((i % 19))" "fact $i" --source src >/dev/null; done
fi
echo "SQLite, q9 memory recall, 10,000 facts (median of $recall_runs): $(median_ms "$recall_runs" recall) ms"
rm -rf "$work/cfg"
"$q9" memory init >/dev/null
if command -v sqlite3 >/dev/null; then
  sqlite3 "$db" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000)
    INSERT INTO entities(id, key, name) SELECT i, $COMPANY FROM n;
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000)
    INSERT INTO records(entity_id, kind, section, text, source, fact_date, version, recorded_at)
    $RECORDS;"
  echo "SQLite, q9 memory list, 50,000 companies (median of $list_runs): $(median_ms "$list_runs" list) ms"
else
  echo "SQLite, q9 memory list: skipped, sqlite3 is not installed"
fi
rm -rf "$work"

pg_bench_store "$q9"
echo "PostgreSQL, q9 record fact (median of $runs): $(median_ms "$runs" record) ms"
pg_sql "INSERT INTO q9_entities (key, name) VALUES ('big', 'Big');
  INSERT INTO q9_records (entity_id, kind, section, text, source, fact_date, version, recorded_at)
  SELECT (SELECT id FROM q9_entities WHERE key = 'big'), ${FACTS#SELECT }
  FROM generate_series(1, 10000) i; ANALYZE;" bench
echo "PostgreSQL, q9 memory recall, 10,000 facts (median of $recall_runs): $(median_ms "$recall_runs" recall) ms"
pg_createdb list >/dev/null
Q9_MEMORY_URL=$(pg_url list)
"$q9" memory init >/dev/null
pg_sql "INSERT INTO q9_entities (key, name) SELECT $COMPANY FROM generate_series(1, 50000) i;
  WITH n(i) AS (SELECT id FROM q9_entities)
  INSERT INTO q9_records (entity_id, kind, section, text, source, fact_date, version, recorded_at)
  $RECORDS; ANALYZE;" list
echo "PostgreSQL, q9 memory list, 50,000 companies (median of $list_runs): $(median_ms "$list_runs" list) ms"
