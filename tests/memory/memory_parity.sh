#!/usr/bin/env bash
# One scenario of q9 memory and q9 record run on the SQLite store and on a PostgreSQL
# database created with an ICU collation; the two transcripts must match byte for byte,
# less the store's location and the recording times. Usage: memory_parity.sh PATH/TO/q9
set -u
q9=$1
. "$(dirname "$0")/pg_server.sh"
pg_start_or_skip
work=$PG_DIR/work
mkdir -p "$work"
fail() { echo "FAIL: $*"; [ -n "${Q9_KEEP:-}" ] && cp "$work"/*.txt "$Q9_KEEP"; exit 1; }

# Prints each command, its standard output, its standard error marked, and its status.
run() {
  printf '$ q9'
  printf ' [%s]' "$@"
  printf '\n'
  "$q9" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  cat "$work/out"
  sed 's/^/stderr: /' "$work/err"
  echo "exit $status"
}

scenario() {
  local long
  long=$(printf 'a long claim %.0s' $(seq 1 600))  # 7,800 bytes: past any index entry cap
  run memory list
  run memory recall
  run record fact "Müller AG" people "CEO is Jane Roe" --source registry --date 2024-05-01
  run record fact "MÜLLER  AG" people "CEO is Jane Roe" --source registry --date 2024-05-01
  run record fact "$(printf 'Mu\xcc\x88ller\xc2\xa0AG')" zeta "founded 1901" --source "annual report" --date 2023-02-28
  run record fact "Müller AG" Alpha "$long" --source "$long" --date 2024-01-01
  run record fact "Müller AG" Alpha "$long" --source "$long" --date 2024-01-01
  run record fact "Müller AG" ärzte $'quotes " \\ tab\t new\nline 🦀 \u00e9' --date 2024-03-03
  run record fact "Müller AG" general "undated"
  run record negative "Müller AG" ignored "no court records"
  run record contradiction "Müller AG" "" "revenue 10bn (A) vs 12bn (B)"
  run record report "Müller AG" out.html --version 2
  run record report "müller ag" ./out.html
  run record report "müller ag" "$work/out.html" --version 2
  run record report "müller ag" sub/../v3.html --version 3
  for name in Zeta alpha "Ärzte" _under "ábc" Beta "Müller" "muller ag" "ﬁrst"; do
    run record fact "$name" general "c" --date 2020-01-01
  done
  # A name past any index entry cap, and one that would forge a list row and clear the screen.
  run record fact "$long_name" general "c" --date 2020-01-01
  run record fact $'~fake\nzzz                              facts=999\e[2J' general "c" --date 2020-01-01
  run record fact " " general "c"
  run record fact acme general "c" --date 2024-02-30
  run record report acme r.html --version 0
  run record report acme ""
  run record fact acme general "$(printf 'bad \xff byte')"
  run memory recall "$(printf '\xc0\xaf')"
  run memory recall "MÜLLER AG"
  run memory recall "Nobody Ltd"
  run memory recall
  run memory list
}

mask() {
  sed -e 's/"recorded": "[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]+00:00"/"recorded": "TIME"/' \
      -e 's/^\(memory store ready: \).*/\1STORE/' -e 's/^\(  "store": \).*/\1"STORE",/' "$1"
}

cd "$work" || fail "no work folder"
# 3,000 characters that do not compress below the cap either.
long_name="Long $(head -c 2250 /dev/urandom | base64 -w 0)"
export OPENCODE_CONFIG_DIR=$work/cfg
(unset Q9_MEMORY_URL; run memory init; scenario) >"$work/sqlite.txt"
pg_createdb parity en-US >/dev/null || fail "cannot create an ICU database"
(export Q9_MEMORY_URL; Q9_MEMORY_URL=$(pg_url parity); run memory init; scenario) >"$work/pg.txt"
grep -q 'memory store ready: /' "$work/sqlite.txt" || fail "SQLite location: $(head -3 "$work/sqlite.txt")"
grep -q "memory store ready: postgresql://%2Ftmp%2Fq9pg\.[A-Za-z0-9]*:$PG_PORT/parity$" "$work/pg.txt" ||
  fail "PostgreSQL location: $(head -3 "$work/pg.txt")"
for f in sqlite pg; do
  [ "$(mask "$work/$f.txt" | grep -c '"recorded": "TIME"')" = 5 ] || fail "$f: recording times not in UTC form"
done
if ! diff <(mask "$work/sqlite.txt") <(mask "$work/pg.txt") >"$work/diff"; then
  head -40 "$work/diff"
  fail "the backends differ"
fi
# Names listed by the bytes of their keys, whatever the database collation says, each on
# one line.
want="_under alpha Beta ﬁrst Long muller ag Müller Müller AG Zeta ~fake\nzzz ábc Ärzte"
got=$(mask "$work/pg.txt" | sed -n '/^\$ q9 \[memory\] \[list\]$/,/^exit/p' | tail -n 13 | head -n 12 |
  sed 's/ *facts=.*//; s/^Long .*/Long/' | paste -sd' ')
[ "$got" = "$want" ] || fail "list order: $got"
echo "memory parity: $(grep -c '^\$ q9' "$work/pg.txt") commands alike on SQLite and PostgreSQL"
echo "1 passed, 0 failed"
