#!/usr/bin/env bash
# Three machines behind one link share a budget of 36000 MBPH through a
# 3-member etcd cluster on loopback. The machines are three instances on this
# host, each with its agent and job processes. Prints the shares as jobs
# start and stop, as one agent is killed and as one etcd member is killed.
# Leaves nothing behind (processes, shared memory, files).
#   bash scripts/fleet-demo.sh [BUILD_BIN_DIR]     default: build/default/bin
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$here/build/default/bin}
for p in "$bin/hxfleet" "$bin/hxctl" "$bin/job_child" /usr/bin/etcd; do
  [ -x "$p" ] || { echo "fleet-demo: $p is missing (build the default preset; etcd: apt-get install etcd-server)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/hxfleet-demo.XXXXXX)
declare -a etcd_pids=() agent_pids=() job_pids=()

cleanup() {
  # Each agent's keeper would outlive it while jobs may move; the demo ends
  # them first, so that the agents still running reap them as they stop.
  for f in "$work"/agent*.out; do
    [ -e "$f" ] || continue
    k=$(sed -n 's/.*keeper \([0-9]*\)).*/\1/p' "$f" | head -1)
    if [ -n "$k" ] && grep -qa hxfleet "/proc/$k/cmdline" 2>/dev/null; then kill -9 "$k" 2>/dev/null || true; fi
  done
  for p in "${job_pids[@]}" "${agent_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${job_pids[@]}" "${agent_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  for p in "${etcd_pids[@]}"; do kill -9 "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  # Tables of processes killed on purpose: keyed by their files, as ftok does.
  for f in "$work"/jr/*_HX_THROTTLE_*; do
    [ -e "$f" ] || continue
    read -r dev ino < <(stat -c '%d %i' "$f")
    ipcrm -M $(( (0xFA << 24) | ((dev & 0xff) << 16) | (ino & 0xffff) )) 2>/dev/null || true
  done
  # The table locks' words: segments keyed by each lock file, as the named
  # mutex derives them.
  for f in "$work"/jr/.locks/*.lock; do
    [ -e "$f" ] || continue
    read -r dev ino < <(stat -c '%d %i' "$f")
    for key in $(python3 -c '
import sys
M = (1 << 64) - 1
dev, ino = int(sys.argv[1]), int(sys.argv[2])
for i in range(4):
    h = ((dev * 0x9e3779b97f4a7c15) & M) ^ ino
    h = (h + (i + 1) * 0xbf58476d1ce4e5b9) & M
    h ^= h >> 31
    h = (h * 0x94d049bb133111eb) & M
    h ^= h >> 29
    print(((0x4c + i) << 24) | (h & 0xffffff))' "$dev" "$ino"); do
      ipcrm -M "$key" 2>/dev/null || true
    done
  done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
declare -a client=() peer=()
for i in 0 1 2; do client[$i]=$(free_port); peer[$i]=$(free_port); done
cluster="m0=http://127.0.0.1:${peer[0]},m1=http://127.0.0.1:${peer[1]},m2=http://127.0.0.1:${peer[2]}"
for i in 0 1 2; do
  /usr/bin/etcd --name "m$i" --data-dir "$work/etcd$i" \
    --listen-client-urls "http://127.0.0.1:${client[$i]}" --advertise-client-urls "http://127.0.0.1:${client[$i]}" \
    --listen-peer-urls "http://127.0.0.1:${peer[$i]}" --initial-advertise-peer-urls "http://127.0.0.1:${peer[$i]}" \
    --initial-cluster "$cluster" --initial-cluster-token "$work" --heartbeat-interval 50 --election-timeout 500 \
    --logger zap --log-outputs "$work/etcd$i.log" >/dev/null 2>&1 &
  etcd_pids[$i]=$!
done
etcd="http://127.0.0.1:${client[0]},http://127.0.0.1:${client[1]},http://127.0.0.1:${client[2]}"

export HXREG=$work/reg
mkdir -p "$work/jr" "$work/log"
for i in 0 1 2; do
  mkdir -p "$HXREG/Halvex/fleet$i/Platform"
  printf 'JobResultsDirectory %s\nLogFilesDirectory %s\nPhysicalMachine machine%s\n' "$work/jr" "$work/log" "$i" \
    >"$HXREG/Halvex/fleet$i/Platform/.properties"
done
for _ in $(seq 50); do "$bin/hxfleet" budget --etcd "$etcd" --site demo 36000 >/dev/null 2>&1 && break; sleep 0.2; done
echo "== etcd cluster up; site budget 36000 MBPH; machine2 has weight 2"

for i in 0 1 2; do
  "$bin/hxfleet" agent --etcd "$etcd" --site demo --focus "fleet$i" --weight $(( i == 2 ? 2 : 1 )) \
    --textfile-dir "$work" >"$work/agent$i.out" 2>&1 &
  agent_pids[$i]=$!
done
job() {  # one job process with one stream on machine $1 for $2 seconds
  HXFOCUS="fleet$1" "$bin/job_child" reg 1 1 0 0 watch 0 $(( $(date +%s) + $2 )) unreg 0 >/dev/null &
  job_pids+=($!)
}
show() {
  echo
  echo "== $1"
  "$bin/hxfleet" status --etcd "$etcd" --site demo | sed 's/^/   /'
  printf '   tables:'
  for i in 0 1 2; do printf '  machine%s %s' "$i" "$("$bin/hxctl" table --focus "fleet$i" 2>/dev/null |
    sed -n '1s/.*machine limit \([^,]*\),.*/\1/p')"; done
  echo
}

sleep 2
show "agents up, no job: every machine at its floor"
job 0 60; job 1 60
sleep 3
show "jobs on machine0 and machine1"
job 2 12
sleep 3
show "a job on machine2 too (weight 2)"
sleep 10
show "machine2's job ended"
{ kill -9 "${agent_pids[1]}" && wait "${agent_pids[1]}"; } 2>/dev/null || true
echo; echo "== machine1's agent killed with SIGKILL; its job goes on"
sleep 8
show "8 s later: machine1 past its lease (6 s), at most its safe share, held for it by the others"
sleep 12
show "20 s later: machine1 at its floor, still held for it; the others took the rest"
{ kill -9 "${etcd_pids[0]}" && wait "${etcd_pids[0]}"; } 2>/dev/null || true
echo; echo "== etcd member m0 killed"
sleep 4
show "the two remaining etcd members carry on"
