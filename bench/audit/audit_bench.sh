#!/usr/bin/env bash
# Times q9-audit as the agent runs it: on the bundled example against a store holding 10,000
# facts for its company, side by side with `q9 memory recall` of that company (SQLite, and
# PostgreSQL over its Unix socket when it is installed); then on hostile data files (a body of
# a million numbers, bodies of 10 and 50 MB) to show the time grows with the size alone.
# Usage: audit_bench.sh PATH/TO/q9 PATH/TO/q9-audit [RUNS]
set -uo pipefail
q9=$1
audit=$2
runs=${3:-40}
here=$(cd "$(dirname "$0")" && pwd)
example=$here/../../examples/northwind-dossier.json
. "$here/../../tests/memory/pg_server.sh"

median_ms() {  # RUNS COMMAND...: median wall time in ms
  local n=$1 t=() s e
  shift
  for _ in $(seq 1 "$n"); do
    s=${EPOCHREALTIME/[.,]/}
    "$@" >/dev/null
    [ $? -le 1 ] || exit 1
    e=${EPOCHREALTIME/[.,]/}
    t+=($((e - s)))
  done
  printf '%s\n' "${t[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int((NR+1)/2)]/1e3}'
}
entity="Northwind Cold Chain PCL"
recall() { "$q9" memory recall "$entity"; }
audit_example() { "$audit" "$example"; }
side_by_side() {  # LABEL
  local r a
  r=$(median_ms "$runs" recall)
  a=$(median_ms "$runs" audit_example)
  echo "$1, 10,000 facts (median of $runs): q9 memory recall $r ms, q9-audit $a ms," \
    "ratio $(awk -v a="$a" -v r="$r" 'BEGIN {printf "%.2f", a / r}')"
}
# 10,000 facts for the example's company, each stating figures as the streams record them,
# in 19 sections.
FACTS="SELECT 'fact', 's' || (i % 19), 'Line ' || i || ': revenue THB ' || (i * 37 % 9000) || '.' ||
  (i % 10) || ' million, margin ' || (i % 40) || '.' || (i % 7) || '%', 'annual report',
  '2025-0' || (1 + i % 9) || '-15', 0, '2025-01-01T00:00:00+00:00'"

work=$(mktemp -d)
export OPENCODE_CONFIG_DIR=$work/cfg
unset Q9_MEMORY_URL
"$q9" memory init >/dev/null
db=$work/cfg/agent/memory/memory.db
if command -v sqlite3 >/dev/null; then
  sqlite3 "$db" "INSERT INTO entities(key, name) VALUES ('northwind cold chain pcl', '$entity');
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)
    INSERT INTO records(entity_id, kind, section, text, source, fact_date, version, recorded_at)
    SELECT (SELECT id FROM entities), ${FACTS#SELECT } FROM n;"
  side_by_side SQLite
else
  echo "SQLite: skipped, sqlite3 is not installed"
fi

# Hostile bodies: a million numbers; 10 and 50 MB of table rows full of figures.
body() {  # ROWS: one section whose body is ROWS table rows of five figures each
  awk -v n="$1" 'BEGIN {
    printf "{\"company\": \"Hostile\", \"sections\": [{\"id\": \"s\", \"title\": \"T\", \"body_html\": \""
    for (i = 0; i < n; i++)
      printf "<tr><td>Line %d</td><td>%d,%03d.%d</td><td>%d.%d%%</td><td>THB %dm</td><td>-%d.5bn</td></tr>",
        i, i % 900 + 100, i % 1000, i % 10, i % 90, i % 10, i % 5000 + 100, i % 30 + 1
    printf "\"}]}\n"
  }' >"$work/hostile-$1.json"
}
printf '{"company": "Hostile", "sections": [{"id": "s", "title": "T", "body_html": "' >"$work/million.json"
awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "%d.%d%% ", i % 1000, i % 10 }' >>"$work/million.json"
printf '"}]}\n' >>"$work/million.json"
body 110000
body 550000
for f in million hostile-110000 hostile-550000; do
  size=$(stat -c %s "$work/$f.json")
  s=${EPOCHREALTIME/[.,]/}
  "$audit" "$work/$f.json" --json >"$work/out"
  e=${EPOCHREALTIME/[.,]/}
  echo "$f.json ($((size / 1000000)) MB): $(grep -m1 '"figures": ' "$work/out" | tr -d ' ,') in" \
    "$(( (e - s) / 1000 )) ms, $(awk -v t=$((e - s)) -v b="$size" 'BEGIN {printf "%.1f", t / (b / 1e6) / 1e3}') ms/MB"
done
rm -rf "$work"

pg_bench_store "$q9"
pg_sql "INSERT INTO q9_entities (key, name) VALUES ('northwind cold chain pcl', '$entity');
  INSERT INTO q9_records (entity_id, kind, section, text, source, fact_date, version, recorded_at)
  SELECT (SELECT id FROM q9_entities), ${FACTS#SELECT }
  FROM generate_series(1, 10000) i; ANALYZE;" bench
side_by_side PostgreSQL
