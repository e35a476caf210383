#!/usr/bin/env bash
# q9-audit end to end on one store: a planted data file whose figures memory sources,
# leaves unverified, stale, contradicted and unsourced; then the missing facts recorded, and
# the audit passes. The store's failures and the command's own. Usage:
#   audit_e2e.sh PATH/TO/q9 PATH/TO/q9-audit sqlite|postgres
set -u
q9=$1
audit=$2
backend=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "$backend" = postgres ]; then
  . "$here/../memory/pg_server.sh"
  pg_start_or_skip
  trap 'pg_stop; rm -rf "$work"' EXIT
  pg_createdb audit >/dev/null || { echo "FAIL: cannot create a database"; exit 1; }
  export Q9_MEMORY_URL
  Q9_MEMORY_URL=$(pg_url audit)
else
  unset Q9_MEMORY_URL
fi
export OPENCODE_CONFIG_DIR=$work/cfg
failed=0
fail() { echo "FAIL: $*"; failed=1; }
data=$here/planted.json
E="Planted Foods PCL"

# expect STATUS EXPECTED_OUT EXPECTED_ERR ARGS...: the exit status and both streams, exactly.
expect() {
  local status=$1 out=$2 err=$3
  shift 3
  "$audit" "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" = "$status" ] || fail "q9-audit $*: exit $got, expected $status ($(head -c 300 "$work/err"))"
  [ "$(cat "$work/out")" = "$out" ] || { fail "q9-audit $*: standard output"; diff <(echo "$out") "$work/out"; }
  [ "$(cat "$work/err")" = "$err" ] || { fail "q9-audit $*: standard error"; diff <(echo "$err") "$work/err"; }
}

# An entity memory has never seen: every figure unsourced, nothing fails.
expect 1 "$(cat <<'OUT'
hero_stats:
  unsourced     5.44bn  "Revenue 2025 | 5.44bn | THB, +11.6% y/y"
  unsourced     +11.6%  "Revenue 2025 | 5.44bn | THB, +11.6% y/y"
  unsourced     22.9%  "EBITDA margin | 22.9% | 2025"
summary:
  unsourced     THB 391m  "Net profit was THB 391m; staff numbered 2,310 (2,140 in 2024)."
  unsourced     2,310  "Net profit was THB 391m; staff numbered 2,310 (2,140 in 2024)."
  unsourced     2,140  "…fit was THB 391m; staff numbered 2,310 (2,140 in 2024)."
financials:
  unsourced     5,436  "Revenue | 5,436 | EBITDA | 1,246 | Capex of THB 540m in FY202…"
  unsourced     1,246  "Revenue | 5,436 | EBITDA | 1,246 | Capex of THB 540m in FY2025 [3]"
  unsourced     THB 540m  "Revenue | 5,436 | EBITDA | 1,246 | Capex of THB 540m in FY2025 [3]"
figures: 9, sourced: 0, unverified: 0, stale: 0, contradicted: 0, unsourced: 9
OUT
)" "" "$data"

r() { "$q9" record "$@" >/dev/null || fail "q9 record $*"; }
r fact "$E" financials "Revenue FY2025 THB 5,437.8 million" --source "annual report 2025" --date 2026-02-20
r fact "$E" financials "Revenue 2025 (THB m): 5,436" --source "annual report 2025" --date 2026-02-20
r fact "$E" financials "Revenue growth 2025: +11.6%" --source "annual report 2025" --date 2026-02-20
r fact "$E" financials "EBITDA margin 22.88%" --source "annual report 2023" --date 2024-06-30
r fact "$E" financials "UNVERIFIED: net profit THB 391m" --source "press" --date 2026-01-10
r fact "$E" people "Employees: 2,310 at year end 2025" --source "annual report 2025" --date 2026-02-20
r contradiction "$E" employees "2,310 (annual report 2025) vs 2,450 (company website)"
r fact "$E" financials "Capex THB 540 million" --date 2026-02-20

expect 1 "$(cat <<'OUT'
hero_stats:
  stale         22.9%  "EBITDA margin | 22.9% | 2025" (newest fact 2024-06-30)
summary:
  unverified    THB 391m  "Net profit was THB 391m; staff numbered 2,310 (2,140 in 2024)."
  contradicted  2,310  "Net profit was THB 391m; staff numbered 2,310 (2,140 in 2024)." (contradiction: employees)
  unsourced     2,140  "…fit was THB 391m; staff numbered 2,310 (2,140 in 2024)."
financials:
  unsourced     1,246  "Revenue | 5,436 | EBITDA | 1,246 | Capex of THB 540m in FY2025 [3]"
  unsourced     THB 540m  "Revenue | 5,436 | EBITDA | 1,246 | Capex of THB 540m in FY2025 [3]"
figures: 9, sourced: 3, unverified: 1, stale: 1, contradicted: 1, unsourced: 3
OUT
)" "" "$data" --entity "planted  foods pcl"

"$audit" "$data" --json >"$work/json" 2>"$work/err"
[ $? = 1 ] || fail "--json: exit status"
grep -q '^  "entity": "Planted Foods PCL",$' "$work/json" || fail "--json: entity"
[ "$(grep -A7 '^  "counts": {$' "$work/json" | tr -d ' \n')" = \
  '"counts":{"figures":9,"sourced":3,"unverified":1,"stale":1,"contradicted":1,"unsourced":3},' ] ||
  fail "--json: counts: $(head -c 400 "$work/json")"
grep -A18 '"text": "5.44bn"' "$work/json" | tr -d ' \n' | grep -qF \
  '"text":"5.44bn","value":5440000000,"unit":"","section":"hero_stats","status":"sourced","facts":[{"section":"financials","claim":"RevenueFY2025THB5,437.8million","source":"annualreport2025","date":"2026-02-20"}]}' ||
  fail "--json: the sourced figure: $(grep -A18 '"text": "5.44bn"' "$work/json")"
grep -A5 '"text": "22.9%"' "$work/json" | grep -q '"value": 22.9,' || fail "--json: a decimal value"

# The missing facts recorded, with their sources: the audit passes, with its warnings.
r fact "$E" people "Employees: 2,140 at year end 2024" --source "annual report 2024" --date 2025-02-20
r fact "$E" financials "EBITDA 2025 (THB m): 1,246" --source "annual report 2025" --date 2026-02-20
r fact "$E" financials "Capex THB 540 million" --source "annual report 2025" --date 2026-02-20
"$audit" "$data" >"$work/out" 2>"$work/err"
[ $? = 0 ] || fail "after recording: exit status $(cat "$work/out" "$work/err")"
[ "$(tail -1 "$work/out")" = "figures: 9, sourced: 6, unverified: 1, stale: 1, contradicted: 1, unsourced: 0" ] ||
  fail "after recording: $(cat "$work/out")"

# The command's own failures: one line each; a store that cannot be read is no verdict.
usage="usage: q9-audit [-h] [--entity NAME] [--json] data"
expect 2 "" "$usage
q9-audit: error: the following arguments are required: data"
expect 2 "" "$usage
q9-audit: error: unrecognized arguments: --jsn" "$data" --jsn
expect 2 "" "$usage
q9-audit: error: argument --entity: the entity name is blank" "$data" --entity " "
expect 3 "" "q9-audit: error: $work/none.json: No such file or directory" "$work/none.json"
printf '{"company": "x",\n "sections": [}' >"$work/bad.json"
expect 3 "" "q9-audit: error: $work/bad.json: line 2 column 15: expected a value" "$work/bad.json"
printf '{"company": "x", "sections": {}}' >"$work/shape.json"
expect 3 "" "q9-audit: error: $work/shape.json: sections must be an array" "$work/shape.json"
Q9_MEMORY_URL=mysql://x "$audit" "$data" >"$work/out" 2>"$work/err"
[ $? = 3 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" = 1 ] || fail "a wrong store setting: $(cat "$work/err")"
Q9_MEMORY_URL='postgresql:///none?host=/nonexistent&connect_timeout=2' "$audit" "$data" >"$work/out" 2>"$work/err"
[ $? = 3 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" = 1 ] || fail "an unreachable store: $(cat "$work/err")"
exit $failed
