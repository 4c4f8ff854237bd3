#!/usr/bin/env bash
# A one-machine Slurm cluster for the farm test, made from Debian's slurm-wlm
# and munge packages and kept wholly inside one folder:
#
#   slurm_cluster.sh start DIR   start munged, slurmctld and slurmd; wait for the node
#   slurm_cluster.sh stop DIR    cancel every job, stop the daemons, check none is left
#
# Sourced, it defines slurm_cluster_start DIR and slurm_cluster_stop DIR, and
# start exports SLURM_CONF=DIR/slurm.conf into the caller; run as a command,
# point SLURM_CONF there yourself.
#
# Keys, sockets, state, spool, logs and process ids all live in DIR, and the
# daemons talk over the loopback on ports that were free at start, so it needs
# no systemd, no /run and no /etc/slurm, and runs the same inside a chroot or
# beside another such cluster. The daemons run in the foreground as children
# of the starting shell; their process ids are kept in DIR/pid/, and stop ends
# them by those ids only. The functions hold under a caller's set -eu.

# Names and paths of one cluster, from its folder.
_slurm_cluster_paths() {
  _sc_dir=$1
  _sc_conf=$_sc_dir/slurm.conf
  _sc_munge=$_sc_dir/munge
  _sc_pid=$_sc_dir/pid
  _sc_log=$_sc_dir/log
}

_slurm_cluster_say() { echo "slurm_cluster: $*" >&2; }

# A TCP port nothing listens on; /proc/net is read rather than ss so a bare
# root needs nothing more.
_slurm_cluster_free_port() {
  local port hex avoid=${1:-}
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 30000))
    [ "$port" = "$avoid" ] && continue
    printf -v hex '%04X' "$port"
    if ! awk -v h=":$hex" 'NR > 1 && substr($2, length($2) - 4) == h && $4 == "0A" { found = 1 } END { exit !found }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Runs a daemon in the foreground in the background and keeps its id.
_slurm_cluster_spawn() {
  local name=$1
  shift
  "$@" >"$_sc_log/$name.out" 2>&1 </dev/null &
  echo $! >"$_sc_pid/$name"
}

_slurm_cluster_alive() {
  local pid
  pid=$(cat "$_sc_pid/$1" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

_slurm_cluster_dump_logs() {
  local f
  for f in "$_sc_log"/*; do
    [ -s "$f" ] || continue
    echo "--- $f (last lines)" >&2
    tail -n 15 "$f" >&2
  done
}

slurm_cluster_start() {
  local dir=${1:?usage: slurm_cluster_start DIR}
  mkdir -p "$dir" || return 1
  dir=$(cd "$dir" && pwd) || return 1
  _slurm_cluster_paths "$dir"
  if [ -e "$_sc_conf" ]; then
    _slurm_cluster_say "$dir already holds a cluster; stop it first"
    return 1
  fi
  local tool
  for tool in munged slurmctld slurmd sinfo; do
    if ! command -v "$tool" >/dev/null; then
      _slurm_cluster_say "$tool is missing (scripts/install-deps.sh farm installs it)"
      return 1
    fi
  done
  # munged refuses a key or socket folder that others may write to, and
# every user's jobs must reach the socket.
  mkdir -p "$_sc_munge" "$_sc_pid" "$_sc_log" "$dir/state" "$dir/spool" || return 1
  chmod 0755 "$dir" "$_sc_munge"
  head -c 1024 /dev/urandom >"$_sc_munge/munge.key"
  chmod 0400 "$_sc_munge/munge.key"

  local node ctld_port slurmd_port hw
  node=$(hostname -s)
  if ! ctld_port=$(_slurm_cluster_free_port) ||
     ! slurmd_port=$(_slurm_cluster_free_port "$ctld_port"); then
    _slurm_cluster_say "found no free TCP port"
    return 1
  fi
  # The node as slurmd itself measures it, so it registers without a
  # mismatch that would drain it.
  hw=$(slurmd -C | sed -n '1s/^NodeName=[^ ]* //p')
  if [ -z "$hw" ]; then
    _slurm_cluster_say "slurmd -C did not describe this machine"
    return 1
  fi

  cat >"$_sc_conf" <<EOF
# One-machine cluster of the farm test (tests/farm/slurm_cluster.sh).
ClusterName=qelfarm
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
# A requeued job waits out its credential's lifetime before it runs again.
AuthInfo=socket=$_sc_munge/munge.socket,cred_expire=10
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$_sc_pid/slurmctld.daemon
SlurmdPidFile=$_sc_pid/slurmd.daemon
SlurmctldLogFile=$_sc_log/slurmctld.log
SlurmdLogFile=$_sc_log/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
MailProg=/bin/true
# No cgroups, no systemd: processes are tracked by parentage and tasks are
# not bound, so the same file works in a container or a chroot.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
# Cores are handed out one by one, so several array tasks run at once.
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
SchedulerParameters=bf_interval=1
# Jobs may be requeued; a node that comes back is used again.
JobRequeue=1
ReturnToService=2
# Short waits, so a test does not sit out the defaults. MinJobAge stays long
# enough for a dependency and a waiting qelfarm to see how a job ended.
MinJobAge=30
KillWait=5
InactiveLimit=0
SlurmctldTimeout=30
SlurmdTimeout=30
MessageTimeout=10
WaitTime=0
NodeName=$node NodeAddr=127.0.0.1 $hw State=UNKNOWN
PartitionName=farm Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF

  # From Slurm 23.02 on slurmd starts a cgroup plugin whatever the
  # process tracking; in a root without /sys/fs/cgroup that fails, so it is
  # switched off (older releases know no "disabled" and start none).
  local version
  version=$(slurmd -V | awk '{ print $2 }')
  if [ "$(printf '%s\n' 23.02 "$version" | sort -V | head -n 1)" = 23.02 ]; then
    echo "CgroupPlugin=disabled" >"$_sc_dir/cgroup.conf"
  fi

  _slurm_cluster_spawn munged munged --foreground --force \
    --socket="$_sc_munge/munge.socket" --key-file="$_sc_munge/munge.key" \
    --pid-file="$_sc_pid/munged.daemon" --log-file="$_sc_log/munged.log" \
    --seed-file="$_sc_munge/munged.seed"

  for _ in $(seq 1 100); do
    [ -S "$_sc_munge/munge.socket" ] && break
    _slurm_cluster_alive munged || break
    sleep 0.1
  done
  if [ ! -S "$_sc_munge/munge.socket" ]; then
    _slurm_cluster_say "munged did not start"
    _slurm_cluster_dump_logs
    slurm_cluster_stop "$dir"
    return 1
  fi

  _slurm_cluster_spawn slurmctld slurmctld -D -f "$_sc_conf"
  _slurm_cluster_spawn slurmd slurmd -D -f "$_sc_conf" -N "$node"

  # Ready once the node has registered and is free for work.
  local state=
  for _ in $(seq 1 600); do
    state=$(SLURM_CONF=$_sc_conf sinfo -h -n "$node" -o %T 2>/dev/null) || state=
    [ "$state" = idle ] && break
    if ! _slurm_cluster_alive slurmctld || ! _slurm_cluster_alive slurmd; then
      state=dead
      break
    fi
    sleep 0.1
  done
  if [ "$state" != idle ]; then
    _slurm_cluster_say "node $node did not become idle (last seen: ${state:-no answer})"
    _slurm_cluster_dump_logs
    slurm_cluster_stop "$dir"
    return 1
  fi
  export SLURM_CONF=$_sc_conf
}

# Ids of processes with a file open in DIR or their working folder there:
# the step daemons and job processes a cluster may leave behind, whatever
# they are called.
_slurm_cluster_users() {
  local dir=$1 p link
  for p in /proc/[0-9]*; do
    [ "${p#/proc/}" = "$$" ] && continue
    for link in "$p/cwd" "$p"/fd/*; do
      case $(readlink "$link" 2>/dev/null) in
        "$dir" | "$dir"/*)
          echo "${p#/proc/}"
          break
          ;;
      esac
    done
  done
}

# Sends TERM to a kept id, waits for the process to go, then KILL.
_slurm_cluster_end() {
  local name=$1 pid
  pid=$(cat "$_sc_pid/$name" 2>/dev/null) || return 0
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 150); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    _slurm_cluster_say "$name ($pid) ignored TERM; killing it"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  # Reaps it when it is our child; a no-op otherwise.
  wait "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$_sc_pid/$name"
}

slurm_cluster_stop() {
  local dir=${1:?usage: slurm_cluster_stop DIR}
  [ -d "$dir" ] || return 0
  dir=$(cd "$dir" && pwd) || return 1
  _slurm_cluster_paths "$dir"
  [ -d "$_sc_pid" ] || return 0
  local jobs
  # Jobs first: slurmd leaves running steps alone when it stops.
  if _slurm_cluster_alive slurmctld; then
    jobs=$(SLURM_CONF=$_sc_conf squeue -h -o %A 2>/dev/null) || jobs=
    if [ -n "$jobs" ]; then
      # shellcheck disable=SC2086
      SLURM_CONF=$_sc_conf scancel --full $jobs 2>/dev/null || true
      for _ in $(seq 1 300); do
        [ -z "$(SLURM_CONF=$_sc_conf squeue -h -o %A 2>/dev/null)" ] && break
        sleep 0.1
      done
    fi
  fi
  _slurm_cluster_end slurmd
  _slurm_cluster_end slurmctld
  _slurm_cluster_end munged

  # Anything still holding the folder was started by this cluster.
  local left
  left=$(_slurm_cluster_users "$dir") || true
  if [ -n "$left" ]; then
    # shellcheck disable=SC2086
    kill -KILL $left 2>/dev/null || true
    for _ in $(seq 1 50); do
      left=$(_slurm_cluster_users "$dir") || true
      [ -z "$left" ] && break
      sleep 0.1
    done
  fi
  local name pid bad=
  for name in slurmctld slurmd munged slurmstepd; do
    for pid in $(pgrep -x "$name"); do
      if grep -qF "$dir" "/proc/$pid/cmdline" 2>/dev/null ||
         grep -qx "$pid" <<<"$left"; then
        bad="$bad $name($pid)"
      fi
    done
  done
  if [ -n "$bad" ]; then
    _slurm_cluster_say "still running after stop:$bad"
    return 1
  fi
  [ "${SLURM_CONF:-}" = "$_sc_conf" ] && unset SLURM_CONF
  return 0
}

# Run as a command rather than sourced.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start) slurm_cluster_start "${2:?usage: slurm_cluster.sh start DIR}" ;;
    stop) slurm_cluster_stop "${2:?usage: slurm_cluster.sh stop DIR}" ;;
    *)
      echo "usage: slurm_cluster.sh start|stop DIR" >&2
      exit 2
      ;;
  esac
fi
