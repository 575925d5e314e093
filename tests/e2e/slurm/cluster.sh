#!/bin/bash
# A one-machine Slurm cluster for the farm tests, all in one folder and on 127.0.0.1 only:
#   cluster.sh start DIR   a munged with a generated key, slurmctld and slurmd with a generated
#                          slurm.conf; prints SLURM_CONF=DIR/slurm.conf once the node takes jobs
#   cluster.sh stop DIR    stops all three (also what a failed start left running)
# Exit status 77 when Slurm or munge is not installed; 1 when the cluster does not come up (the
# daemons' logs are in DIR).
set -u
cmd=${1:?start or stop}
dir=${2:?folder}

stop() {
  for name in slurmd slurmctld munged; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid" 2>/dev/null)
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    rm -f "$dir/$name.pid"
  done
}

if [ "$cmd" = stop ]; then stop; exit 0; fi

for tool in munged mungekey slurmctld slurmd sbatch scontrol sinfo; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || { echo "Slurm or munge missing: no $tool"; exit 77; }
done
export PATH="$PATH:/usr/sbin"

# Free ports on the loopback address for the controller and the node.
ports=$(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(" ".join(str(x.getsockname()[1]) for x in s))')
read -r ctld_port slurmd_port <<<"$ports"

mkdir -p "$dir"/{munge,state,spool}
chmod 700 "$dir" "$dir/munge"
mungekey --create --keyfile="$dir/munge/munge.key" --force >/dev/null 2>&1 ||
  dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 2>/dev/null
chmod 400 "$dir/munge/munge.key"
munged --force --key-file="$dir/munge/munge.key" --socket="$dir/munge/socket" \
  --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munge/seed" || { echo "munged did not start"; exit 1; }

user=$(id -un)
cpus=$(nproc)
cat >"$dir/slurm.conf" <<CONF
ClusterName=tolvaristest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
AuthInfo=socket=$dir/munge/socket
CredType=cred/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
SlurmdParameters=config_overrides
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
MaxArraySize=1001
NodeName=tolvarisnode NodeHostname=localhost NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=1000 State=UNKNOWN
PartitionName=tolvaris Nodes=tolvarisnode Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$dir/slurm.conf"
slurmctld -i -f "$SLURM_CONF" || { echo "slurmctld did not start"; stop; exit 1; }
slurmd -N tolvarisnode -f "$SLURM_CONF" || { echo "slurmd did not start"; stop; exit 1; }
for _ in $(seq 100); do
  state=$(sinfo -h -n tolvarisnode -o %t 2>/dev/null)
  case "$state" in idle*|mix*|alloc*) echo "SLURM_CONF=$SLURM_CONF"; exit 0 ;; esac
  sleep 0.2
done
echo "the Slurm node did not come up (state: ${state:-none}); logs in $dir"
stop
exit 1
