#!/usr/bin/env bash
# Each whole `q9` call the agent makes, timed against the machine's own floor tool on the same
# input: paired runs (A B A B ...), medians in ms and the ratio. Rerun it on any machine:
#   bench/floor.sh BUILD_DIR [RUNS]      (BUILD_DIR configured with -DQ9_BENCH=ON; needs sqlite3)
# Q9=PATH times another q9 program (an older build, say) with the same inputs and tools;
# Q9_LOADER="LD.SO --library-path DIR" runs it under another C library's loader (a Debian 11
# tree's glibc 2.31, the wheels' own).
set -euo pipefail
build=$(cd "${1:?usage: floor.sh BUILD_DIR [RUNS]}" && pwd)
runs=${2:-200}
q9=(${Q9_LOADER:-} "${Q9:-$build/src/cli/q9}")
pair=$build/bench/cli/pair_bench
for tool in "${q9[-1]}" "$pair" "$build/bench/report/render_bench"; do
  [ -x "$tool" ] || { echo "floor.sh: $tool is missing (build with -DQ9_BENCH=ON)" >&2; exit 1; }
done
command -v sqlite3 >/dev/null || { echo "floor.sh: sqlite3 is missing (apt-get install sqlite3)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OPENCODE_CONFIG_DIR=$work/cfg
unset Q9_MEMORY_URL

# Inputs: the example record (28 KB) and its dossier (36 KB), the sizes the agent writes; a
# ~2 MB record and its dossier; a store with one entity of 10,000 facts.
examples=$(cd "$(dirname "$0")/../examples" && pwd)
"$build/bench/report/render_bench" --write-json "$work/big.json" >/dev/null
"${q9[@]}" report "$work/big.json" --out "$work/big.html" >/dev/null
"${q9[@]}" memory init >/dev/null
db=$work/cfg/agent/memory/memory.db
sqlite3 "$db" "INSERT INTO entities(key, name) VALUES ('big', 'Big');
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)
  INSERT INTO records(entity_id, kind, section, text, source, fact_date, version, recorded_at)
  SELECT (SELECT id FROM entities WHERE key = 'big'), 'fact', 's' || (i % 19), 'fact ' || i,
         'src', '2024-01-01', 0, '2024-01-01T00:00:00+00:00' FROM n;"
rows="SELECT kind, section, text, source, fact_date, version, recorded_at FROM records
  WHERE entity_id = (SELECT id FROM entities WHERE key = 'big') ORDER BY id"
insert="INSERT INTO records(entity_id, kind, section, text, source, fact_date, version, recorded_at)
  VALUES ((SELECT id FROM entities WHERE key = 'big'), 'fact', 'general', 'floor {n}', 'bench',
          '2024-01-01', 0, '2024-01-01T00:00:00+00:00')"

row() {  # LABEL FLOOR-LABEL A... --vs B...
  local label=$1 floor=$2
  shift 2
  read -r a b ratio fa fb < <("$pair" "$runs" "$@")
  printf '| %-44s | %7s ms | %-38s | %7s ms | %5sx | %6s | %6s |\n' \
    "$label" "$a" "$floor" "$b" "$ratio" "$fa" "$fb"
}

echo "q9 against the floor tools, $runs paired runs each, medians ($(uname -m), $(nproc) cores," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)); faults: page faults per call, which load leaves alone"
printf '| %-44s | %10s | %-38s | %10s | %6s | %6s | %6s |\n' "Call" "q9" \
  "Floor tool on the same input" "floor" "ratio" "faults" "floor"
printf '|%s|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..46})" "$(printf -- '-%.0s' {1..12})" \
  "$(printf -- '-%.0s' {1..40})" "$(printf -- '-%.0s' {1..12})" "$(printf -- '-%.0s' {1..8})" \
  "$(printf -- '-%.0s' {1..8})" "$(printf -- '-%.0s' {1..8})"
row "q9 version" "/bin/true" "${q9[@]}" version --vs /bin/true
row "q9 validate, $(( $(stat -c %s "$examples/northwind-dossier.html") / 1000 )) kB dossier" \
  "wc -l of the same file" \
  "${q9[@]}" validate "$examples/northwind-dossier.html" --vs wc -l "$examples/northwind-dossier.html"
row "q9 report, $(( $(stat -c %s "$examples/northwind-dossier.json") / 1000 )) kB, --out" \
  "cp of the data + wc -l of the dossier" \
  "${q9[@]}" report "$examples/northwind-dossier.json" --out "$work/small.html" \
  --vs cp "$examples/northwind-dossier.json" "$work/copy.json" \
  --then wc -l "$examples/northwind-dossier.html"
row "q9 validate, $(( $(stat -c %s "$work/big.html") / 1000 )) kB dossier" "wc -l of the same file" \
  "${q9[@]}" validate "$work/big.html" --vs wc -l "$work/big.html"
row "q9 memory recall, 10,000 facts (SQLite)" "sqlite3 -json of the same rows" \
  "${q9[@]}" memory recall Big --vs sqlite3 -json "$db" "$rows"
row "q9 report, 2 MB, --out" "cp of the data + wc -l of the dossier" \
  "${q9[@]}" report "$work/big.json" --out "$work/out.html" \
  --vs cp "$work/big.json" "$work/copy.json" --then wc -l "$work/big.html"
row "q9 record fact (SQLite)" "one sqlite3 INSERT" \
  "${q9[@]}" record fact Big general "claim {n}" --source bench --vs sqlite3 "$db" "$insert"
