# Sourced by the memory suites (which set $q9). kill_writers N ENTITY REPORTED: records the
# fact k0 for writer 0, then starts writers 1..N one after another, each recording the fact
# k<i>, and kills each with SIGKILL at a random moment within the time one record took.
# ENTITY is a printf format given the writer's number. REPORTED receives the number of
# every writer that said it finished. The moments are drawn from a seed that is logged;
# Q9_KILL_SEED=<seed> draws them again.
kill_writers() {
  local n=$1 entity=$2 reported=$3 name s span d pid nap i seed=${Q9_KILL_SEED:-$SRANDOM}
  echo "kill_writers: seed $seed" >&2
  RANDOM=$seed
  s=${EPOCHREALTIME/[.,]/}
  printf -v name "$entity" 0
  "$q9" record fact "$name" general k0 >/dev/null || return 1
  span=$(( ${EPOCHREALTIME/[.,]/} - s + 1 ))  # microseconds
  echo 0 >"$reported"
  exec {nap}<> <(:)  # read -t on it sleeps without starting a process
  for i in $(seq 1 "$n"); do
    printf -v name "$entity" "$i"
    # q9 itself is the background job, so the kill reaches it.
    "$q9" record fact "$name" general "k$i" >/dev/null 2>&1 &
    pid=$!
    d=$(( (RANDOM * 32768 + RANDOM) % span ))
    read -r -t "$((d / 1000000)).$(printf '%06d' $((d % 1000000)))" -u "$nap"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null && echo "$i" >>"$reported"
  done
  exec {nap}>&-
}
