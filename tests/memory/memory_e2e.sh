#!/usr/bin/env bash
# End-to-end checks of q9 memory and q9 record with the real program: the list layout,
# six parallel writers, and writers killed at random moments.
set -u
q9=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OPENCODE_CONFIG_DIR=$work/cfg
fail() { echo "FAIL: $*"; exit 1; }

# The list line: name padded to 32 code points, count right-aligned to 3.
"$q9" record fact acme general "c1" --date 2024-05-01 >/dev/null || fail "record"
"$q9" record fact "Zürich Ärzte AG" general "c2" --date 2024-01-02 >/dev/null || fail "record"
got=$("$q9" memory list)
want="acme                             facts=  1  updated=2024-05-01
Zürich Ärzte AG                  facts=  1  updated=2024-01-02"
[ "$got" = "$want" ] || fail "list layout: [$got]"
out=$("$q9" record negative acme section ignored) || fail "negative"
[ "$out" = "recorded -> negative for acme ($(date +%F))" ] || fail "negative line: $out"

# Six processes at once, 200 distinct facts each, one entity.
for w in 1 2 3 4 5 6; do
  (
    for i in $(seq 1 200); do
      "$q9" record fact Parallel general "w$w fact $i" --source s >/dev/null 2>>"$work/err.$w" || echo "x" >>"$work/err.$w"
    done
  ) &
done
wait
cat "$work"/err.* 2>/dev/null | grep -q . && fail "parallel writers reported errors: $(cat "$work"/err.* | head -3)"
count=$("$q9" memory recall parallel | grep -c '"claim"')
[ "$count" = 1200 ] || fail "parallel: $count facts instead of 1200"

# Writers killed at random moments: the store stays readable and nothing reported is lost.
: >"$work/reported"
for i in $(seq 1 150); do
  ( out=$("$q9" record fact Crash general "k$i" 2>/dev/null) && [ -n "$out" ] && echo "k$i" >>"$work/reported" ) &
  pid=$!
  sleep "0.00$((RANDOM % 4))"
  kill -9 "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
done
recall=$("$q9" memory recall crash) || fail "store unreadable after kills"
reported=0
while read -r claim; do
  reported=$((reported + 1))
  printf '%s\n' "$recall" | grep -q "\"claim\": \"$claim\"" || fail "reported $claim lost after kills"
done <"$work/reported"
stored=$(printf '%s\n' "$recall" | grep -c '"claim"')
echo "memory e2e: list layout, 1200/1200 parallel facts, $reported reported / $stored stored after kills"
echo "1 passed, 0 failed"
