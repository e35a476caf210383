#!/usr/bin/env bash
# End-to-end checks of q9 memory and q9 record with the real program on the SQLite store:
# the list layout, a store this user may only read, six parallel writers, writers killed at
# random moments, and six processes making the first use of a new store.
set -u
q9=$1
. "$(dirname "$0")/kill_writers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export OPENCODE_CONFIG_DIR=$work/cfg
unset Q9_MEMORY_URL
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

# Names, paths and typed values reach the terminal as list shows them, controls escaped.
esc=$work/$'cfg\e]0;x\a'
got=$(OPENCODE_CONFIG_DIR=$esc "$q9" record fact $'Evil\r\xe2\x80\xaeCo' general c --date 2024-01-01
  OPENCODE_CONFIG_DIR=$esc "$q9" memory init; "$q9" record fact acme general c --date $'\e[2J' 2>&1)
[ "$got" = "recorded -> fact for Evil\\r\\u202eCo [general] (2024-01-01)
memory store ready: $work/cfg\\u001b]0;x\\u0007/agent/memory/memory.db
q9: error: fact date '\\u001b[2J' is not a calendar date in the form YYYY-MM-DD" ] || fail "controls shown raw: $got"

# A store and folder this user may only read (root reads as nobody): recall and list still
# answer; a record is refused in one line.
ro=$work/ro
OPENCODE_CONFIG_DIR=$ro "$q9" record fact "Read Only" general kept --date 2024-05-01 >/dev/null || fail "record"
cp "$q9" "$work/q9-ro" && chmod -R a-w "$ro/agent/memory" && chmod -R a+rX "$work"
as=(env OPENCODE_CONFIG_DIR="$ro" "$work/q9-ro")
[ "$(id -u)" = 0 ] && as=(runuser -u nobody -- "${as[@]}")
[ "$("${as[@]}" memory list 2>&1)" = "Read Only                        facts=  1  updated=2024-05-01" ] &&
  "${as[@]}" memory recall "read only" | grep -q '"claim": "kept"' || fail "read-only store unread"
got=$("${as[@]}" record fact "Read Only" general new 2>&1) && fail "recorded into a read-only store"
[ "$got" = "q9: error: memory store $ro/agent/memory/memory.db: this user may not write it (Permission denied)" ] ||
  fail "read-only record: $got"
chmod -R u+w "$ro"

# A damaged store: the advice q9 gives saves its records beside it, checked before it
# takes the original's place (schema 4 forces the check that finds the damage).
export OPENCODE_CONFIG_DIR=$work/dmg
"$q9" record fact Acme general c0 --date 2024-01-01 >/dev/null || fail "record"
sqlite3 "$work/dmg/agent/memory/memory.db" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n
  WHERE i < 2000) INSERT INTO records SELECT i + 1, 1, 'fact', 'general', 'c' || i, '', '', 0, '' FROM n;
  PRAGMA user_version=4" && head -c 4096 /dev/zero | tr '\0' '\245' |
  dd of="$work/dmg/agent/memory/memory.db" bs=4096 seek=40 conv=notrunc status=none || fail "damage"
err=$("$q9" memory list 2>&1) && fail "read a damaged store"
advice=${err#*beside it with: } check=${err#*, check that }
(sh -c "${advice%%, check that *}" && [ "$(sh -c "${check% counts its records*}")" -gt 1900 ] &&
  sh -c "${err##*, then }") || fail "the advice failed: $err"
[[ $("$q9" memory list) =~ ^Acme\ +facts=(19[0-9][0-9]|2001) ]] || fail "rescue lost records: $("$q9" memory list 2>&1)"
export OPENCODE_CONFIG_DIR=$work/cfg

# Two people on one machine, as the README sets it up: a group, a setgid folder, the store
# group-writable (numeric ids through setpriv: no account is made). Then a store one may
# only read: nothing that one does keeps the owner from writing, and that one's reads never
# fail while the owner writes. Then a folder only root may write. Needs root.
if [ "$(id -u)" = 0 ]; then
  cp "$q9" "$work/q9s" && chmod 755 "$work" "$work/q9s"
  shared=$work/shared/agent/memory cfg=$work/shared
  mkdir -p "$shared" "$work/rootonly/agent/memory" && chown -R 2901:2900 "$cfg" && chmod 2775 "$shared"
  as() { setpriv --reuid="$1" --regid=2900 --clear-groups env OPENCODE_CONFIG_DIR="$cfg" sh -c 'umask 022; exec "$@"' as "${@:2}"; }
  for u in 2901 2902 2901 2902; do as $u "$work/q9s" record fact Shared general "by $u" >/dev/null || fail "shared, $u"; done
  chmod 644 "$shared/memory.db"  # what umask 022 gave a store made before the folder was shared
  [ "$(as 2902 "$work/q9s" memory init 2>&1)" = "q9: error: memory store $shared/memory.db: this user may not write it (Permission denied)" ] ||
    fail "init by a user who may not write: $(as 2902 "$work/q9s" memory init 2>&1)"
  as 2902 touch "$shared/memory.db-wal" "$shared/memory.db-shm"  # as a reader racing a writer can
  as 2901 "$work/q9s" record fact Shared general again >/dev/null || fail "owner locked out"
  chmod 755 "$shared"  # the reader may not write the folder either
  ( for i in $(seq 1 150); do as 2901 "$work/q9s" record fact Busy general "w$i" >/dev/null || echo x; sleep 0.02; done >"$work/writer.err" ) &
  writer=$! reads=0
  while kill -0 $writer 2>/dev/null; do as 2902 "$work/q9s" memory recall busy >/dev/null 2>>"$work/reader.err"; reads=$((reads + 1)); done
  [ -s "$work/writer.err" ] || [ -s "$work/reader.err" ] && fail "$reads reads as the owner wrote: $(sort "$work/reader.err" | uniq -c)"
  cfg=$work/rootonly
  [ "$(as 2902 "$work/q9s" record fact Acme general c 2>&1)" = "q9: error: cannot create memory store $cfg/agent/memory/memory.db in $cfg/agent/memory: Permission denied" ] ||
    fail "unwritable folder: $(as 2902 "$work/q9s" record fact Acme general c 2>&1)"
  two_users="two users: shared store, owner never locked out, $reads reads while the owner wrote"
elif [ -n "${CI:-}" ]; then
  fail "the two-user checks need root"
else
  two_users="two users not checked (needs root)"
fi

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

# Writers killed at random moments (spread over one whole run): the store stays readable
# and nothing reported is lost.
kill_writers 150 Crash "$work/reported" || fail "record"
recall=$("$q9" memory recall crash) || fail "store unreadable after kills"
reported=0
while read -r i; do
  reported=$((reported + 1))
  printf '%s\n' "$recall" | grep -q "\"claim\": \"k$i\"" || fail "reported k$i lost after kills"
done <"$work/reported"
stored=$(printf '%s\n' "$recall" | grep -c '"claim"')
# First use of a store that does not exist yet by six processes at once, on 50 new stores:
# four record, one lists, one recalls.
for r in $(seq 1 50); do
  export OPENCODE_CONFIG_DIR=$work/first$r
  for w in 1 2 3 4 5 6; do
    case $w in
      5) set -- memory list ;;
      6) set -- memory recall "First 1" ;;
      *) set -- record fact "First $w" general c ;;
    esac
    ( "$q9" "$@" >/dev/null 2>>"$work/first.err" || echo "exit $? for $*" >>"$work/first.err" ) &
  done
  wait
  [ -s "$work/first.err" ] && fail "first use, round $r: $(head -3 "$work/first.err")"
  [ "$("$q9" memory list | wc -l)" = 4 ] || fail "first use, round $r: facts lost"
done
echo "memory e2e: $two_users; list layout, 1200/1200 parallel facts, $reported finished / $stored stored of" \
  "151 killed writers, first use by six processes in 50 rounds"
echo "1 passed, 0 failed"
