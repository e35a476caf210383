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

# A damaged store: following the advice q9 gives saves its records beside it, checked
# before it takes the original's place (schema 4 forces the check that finds the damage).
dmg=$work/dmg/agent/memory
mkdir -p "$dmg"
sqlite3 "$dmg/memory.db" "CREATE TABLE entities (id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE, name TEXT NOT NULL);
  CREATE TABLE records (id INTEGER PRIMARY KEY, entity_id INTEGER NOT NULL, kind TEXT NOT NULL, section TEXT NOT NULL,
    text TEXT NOT NULL, source TEXT NOT NULL, fact_date TEXT NOT NULL, version INTEGER NOT NULL, recorded_at TEXT NOT NULL,
    UNIQUE (entity_id, kind, section, text, source, fact_date, version));
  CREATE INDEX records_by_entity ON records (entity_id, id); INSERT INTO entities VALUES (1, 'acme', 'Acme');
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)
  INSERT INTO records SELECT i, 1, 'fact', 'general', 'claim ' || i, '', '', 0, '' FROM n; PRAGMA user_version=4;" ||
  fail "sqlite3"
head -c 4096 /dev/zero | tr '\0' '\245' | dd of="$dmg/memory.db" bs=4096 seek=40 conv=notrunc status=none
err=$(OPENCODE_CONFIG_DIR=$work/dmg "$q9" memory list 2>&1) && fail "read a damaged store"
advice=${err#*save what it holds beside it with: }
save=${advice%%, check that *} check=${advice#*, check that } move=${advice##*, then }
check=${check% counts its records*}
(sh -c "$save" && [ "$(sh -c "$check")" -gt 1900 ] && sh -c "$move") 2>&1 || fail "the advice failed: $err"
saved=$(OPENCODE_CONFIG_DIR=$work/dmg "$q9" memory list) || fail "rescued store unread"
[[ $saved =~ ^Acme\ +facts=(19[0-9][0-9]|2000)\ \ updated=None$ ]] || fail "rescue lost records: $saved"

# Two people on one machine, as the README sets it up: a group, a setgid folder, the store
# group-writable. Numeric ids through setpriv, so no account is made. Then a store one of
# them may only read (umask 022): the other's attempts to write, and side files the other
# left, never keep its owner from writing; the other's reads never fail while the owner
# writes. Needs root to switch users.
if [ "$(id -u)" = 0 ]; then
  cp "$q9" "$work/q9-shared" && chmod 755 "$work" "$work/q9-shared"
  shared=$work/shared/agent/memory
  mkdir -p "$shared" && chown 2901:2900 "$work/shared" "$work/shared/agent" "$shared" && chmod 2775 "$shared"
  as() { setpriv --reuid="$1" --regid=2900 --clear-groups env OPENCODE_CONFIG_DIR=$work/shared sh -c "umask 022; \"\$@\"" q9 "$work/q9-shared" "${@:2}"; }
  for u in 2901 2902 2901 2902; do
    as $u record fact Shared general "by $u" >/dev/null 2>"$work/err" || fail "shared store, user $u: $(cat "$work/err")"
  done
  chmod 644 "$shared/memory.db"  # what umask 022 gives a store made before the folder was shared
  got=$(as 2902 memory init 2>&1) && fail "init by a user who may not write: $got"
  [ "$got" = "q9: error: memory store $shared/memory.db: this user may not write it (Permission denied)" ] ||
    fail "init by a user who may not write: $got"
  as 2902 record fact Shared general x >/dev/null 2>&1 && fail "recorded by a user who may not write"
  setpriv --reuid=2902 --regid=2900 --clear-groups touch "$shared/memory.db-wal" "$shared/memory.db-shm"  # as a reader racing a writer can
  as 2901 record fact Shared general "owner again" >/dev/null 2>"$work/err" || fail "owner locked out: $(cat "$work/err")"
  chmod 755 "$shared"  # the reader may not write the folder either
  ( for i in $(seq 1 150); do as 2901 record fact Busy general "w$i" >/dev/null 2>>"$work/writer.err"; sleep 0.02; done ) &
  writer=$!
  reads=0 failed=0
  while kill -0 $writer 2>/dev/null; do
    as 2902 memory recall busy >/dev/null 2>>"$work/reader.err" || failed=$((failed + 1))
    reads=$((reads + 1))
  done
  wait $writer
  [ -s "$work/writer.err" ] && fail "owner's records failed: $(head -3 "$work/writer.err")"
  [ $failed = 0 ] || fail "$failed of $reads reads failed while the owner wrote: $(sort "$work/reader.err" | uniq -c | head -3)"
  mkdir -p "$work/rootonly/agent/memory"  # a folder another user owns, and no store yet
  got=$(setpriv --reuid=2902 --regid=2900 --clear-groups env OPENCODE_CONFIG_DIR="$work/rootonly" \
    "$work/q9-shared" record fact Acme general c 2>&1) && fail "recorded into a folder of root's"
  [ "$got" = "q9: error: cannot create memory store $work/rootonly/agent/memory/memory.db in $work/rootonly/agent/memory: Permission denied" ] ||
    fail "unwritable folder: $got"
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
