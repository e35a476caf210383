#!/usr/bin/env bash
# Times whole q9 processes against the memory store: one `q9 record fact`, and
# `q9 memory recall` of an entity with 10,000 facts. Usage: memory_bench.sh PATH/TO/q9 [RUNS]
set -euo pipefail
q9=$1
runs=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OPENCODE_CONFIG_DIR=$work/cfg
"$q9" memory init >/dev/null

median_ms() {  # median wall time in ms of running "$@" $runs times (no clock process per run)
  local t=() s e
  for i in $(seq 1 "$runs"); do
    s=${EPOCHREALTIME/[.,]/}
    "$@" "$i" >/dev/null
    e=${EPOCHREALTIME/[.,]/}
    t+=($((e - s)))
  done
  printf '%s\n' "${t[@]}" | sort -n | awk '{a[NR]=$1} END {printf "%.2f", a[int((NR+1)/2)]/1e3}'
}

record() { "$q9" record fact Bench general "claim $1" --source bench; }
echo "q9 record fact (median of $runs): $(median_ms record) ms"

# 10,000 facts for one entity, inserted directly through the program's own schema.
db=$work/cfg/agent/memory/memory.db
sqlite=$(command -v sqlite3 || true)
if [ -z "$sqlite" ]; then
  for i in $(seq 1 10000); do "$q9" record fact Big "s$((i % 19))" "fact $i" --source src >/dev/null; done
else
  "$sqlite" "$db" "INSERT INTO entities(key, name) VALUES ('big', 'Big');
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)
    INSERT INTO records(entity_id, kind, section, text, source, fact_date, version, recorded_at)
    SELECT (SELECT id FROM entities WHERE key = 'big'), 'fact', 's' || (i % 19), 'fact ' || i,
           'src', '2024-01-01', 0, '2024-01-01T00:00:00' FROM n;"
fi
recall() { "$q9" memory recall Big; }
runs=$(( runs / 4 > 10 ? runs / 4 : 10 ))
echo "q9 memory recall, 10,000 facts (median of $runs): $(median_ms recall) ms"
