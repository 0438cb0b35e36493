# Sourced: a one-node SLURM cluster on this machine, for testing the workflow's cluster path.
# start_slurm DIR installs Debian's slurm-wlm, slurmdbd, munge and mariadb-server if missing,
# writes every configuration file, key, database, socket, state and log into DIR, and starts
# munged, mariadbd, slurmdbd, slurmctld and slurmd on 127.0.0.1 with ports that are free now
# (accounting through slurmdbd, because Snakemake's SLURM executor asks sacct for job states);
# it exports SLURM_CONF=DIR/etc/slurm.conf, so that sbatch, squeue and sacct find this cluster
# (a program that drops SLURM_* variables reads /etc/slurm/slurm.conf instead). stop_slurm cancels
# what is left in the queue and stops the daemons by process id in the reverse order.
slurm_pids=()

slurm_say() { echo "slurm-cluster: $*" >&2; }

# Waits up to 60 s for a command to succeed; on timeout shows the log and fails.
slurm_wait_for() {
  local log=$1 deadline=$((SECONDS + 60)); shift
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      slurm_say "gave up waiting for: $*"
      tail -n 20 "$log" >&2 || true
      return 1
    fi
    sleep 0.5
  done
}

slurm_install() {
  local debs=(slurm-wlm slurmdbd munge mariadb-server) missing=() p
  for p in "${debs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    slurm_say "installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# Prints N TCP ports that nothing listens on now.
slurm_free_ports() {
  python3 -c '
import socket, sys
sockets = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in sockets:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in sockets))' "$1"
}

start_slurm() {
  local dir=$1 host cpus ctld_port slurmd_port dbd_port db_port password
  slurm_install
  host=$(hostname -s)
  cpus=$(nproc)
  read -r ctld_port slurmd_port dbd_port db_port < <(slurm_free_ports 4)
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  chmod 755 "$dir"
  mkdir -p "$dir/etc" "$dir/munge" "$dir/mysql" "$dir/state" "$dir/spool"
  chown munge:munge "$dir/munge"
  chown mysql:mysql "$dir/mysql"

  # munged: its own key and socket
  head -c 1024 /dev/urandom > "$dir/munge/munge.key"
  chown munge:munge "$dir/munge/munge.key"
  chmod 400 "$dir/munge/munge.key"
  local socket="$dir/munge/munge.socket"
  setpriv --reuid=munge --regid=munge --init-groups munged --foreground --key-file="$dir/munge/munge.key" \
    --socket="$socket" --pid-file="$dir/munge/munged.pid" --seed-file="$dir/munge/munged.seed" \
    2> "$dir/munged.log" &
  slurm_pids+=($!)
  slurm_wait_for "$dir/munged.log" bash -c "munge -S '$socket' -n | unmunge -S '$socket'"

  # mariadbd: a database of its own in DIR/mysql, on a TCP port of 127.0.0.1 only
  cat > "$dir/my.cnf" <<EOF
[mariadbd]
user=mysql
datadir=$dir/mysql/data
socket=$dir/mysql/mysqld.sock
pid-file=$dir/mysql/mysqld.pid
log-error=$dir/mysql/mysqld.log
bind-address=127.0.0.1
port=$db_port
skip-name-resolve
innodb_buffer_pool_size=64M
EOF
  mariadb-install-db --defaults-file="$dir/my.cnf" --auth-root-authentication-method=socket \
    --skip-test-db > "$dir/mariadb-install-db.log" 2>&1 \
    || { cat "$dir/mariadb-install-db.log" >&2; return 1; }
  mariadbd --defaults-file="$dir/my.cnf" > /dev/null 2>&1 &
  slurm_pids+=($!)
  local sql=(mariadb --no-defaults --socket="$dir/mysql/mysqld.sock" -u root)
  slurm_wait_for "$dir/mysql/mysqld.log" "${sql[@]}" -e 'SELECT 1'
  "${sql[@]}" -e "CREATE USER 'slurm'@'127.0.0.1' IDENTIFIED BY '$password';
                  GRANT ALL ON slurm_acct_db.* TO 'slurm'@'127.0.0.1';"

  # slurmdbd, slurmctld and slurmd, their configuration beside each other in DIR/etc
  export SLURM_CONF="$dir/etc/slurm.conf"
  cat > "$dir/etc/slurmdbd.conf" <<EOF
AuthType=auth/munge
AuthInfo=socket=$socket
DbdHost=localhost
DbdAddr=127.0.0.1
DbdPort=$dbd_port
SlurmUser=root
LogFile=$dir/slurmdbd.log
PidFile=$dir/slurmdbd.pid
StorageType=accounting_storage/mysql
StorageHost=127.0.0.1
StoragePort=$db_port
StorageUser=slurm
StoragePass=$password
StorageLoc=slurm_acct_db
EOF
  chmod 600 "$dir/etc/slurmdbd.conf"
  cat > "$SLURM_CONF" <<EOF
ClusterName=tavrik
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/linux
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
MailProg=/bin/true
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
AccountingStorageType=accounting_storage/slurmdbd
AccountingStorageHost=127.0.0.1
AccountingStoragePort=$dbd_port
AccountingStoragePass=$socket
AccountingStoreFlags=job_comment
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=4096 State=UNKNOWN
PartitionName=main Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
  slurmdbd -D > /dev/null 2>&1 &
  slurm_pids+=($!)
  slurm_wait_for "$dir/slurmdbd.log" sacctmgr -n list cluster
  sacctmgr -i add cluster tavrik > /dev/null
  slurmctld -D > /dev/null 2>&1 &
  slurm_pids+=($!)
  slurmd -D > /dev/null 2>&1 &
  slurm_pids+=($!)
  slurm_wait_for "$dir/slurmd.log" bash -c '[ "$(sinfo -h -o %t)" = idle ]'
  slurm_say "one node ($host, $cpus CPUs) idle in partition main"
}

stop_slurm() {
  local i pid
  if [ ${#slurm_pids[@]} -ge 4 ]; then  # slurmctld runs: cancel what is left in the queue
    squeue -h -o %i 2>/dev/null | xargs -r scancel 2>/dev/null || true
  fi
  for ((i = ${#slurm_pids[@]} - 1; i >= 0; i--)); do
    pid=${slurm_pids[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 60); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  slurm_pids=()
}
