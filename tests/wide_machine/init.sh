#!/bin/busybox sh
# /init of the wide test machine (wide_machine_test.sh packs it into the initramfs). It runs
# Vellicor against processes it started itself and prints what it saw on the console, each
# command's output between "@@ wide-machine begin NAME" and "@@ wide-machine end NAME STATUS".
# It judges nothing: every expectation lives in check_console.sh on the host. Then it powers the
# machine off; should it fail, the kernel panics, and QEMU (-no-reboot, panic=-1) ends at once.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp

marker() {
  echo "@@ wide-machine $*"
}

# section NAME COMMAND...: runs the command and prints its output, standard error included.
section() {
  local name=$1 status
  shift
  "$@" >/tmp/section 2>&1
  status=$?
  marker begin "$name"
  cat /tmp/section
  if [ -s /tmp/section ] && [ -n "$(tail -c 1 /tmp/section)" ]; then
    echo "<no line end>"
  fi
  marker end "$name" "$status"
}

# The machine as its kernel sees it, so that a machine other than the one asked of QEMU is told
# apart from a fault of Vellicor. Shell built-ins where they can: a process costs dearly on this
# machine. The kernel answers the one-byte reads of the shell's read with nothing for the lists of
# thread siblings and of a node's processors, so those take a cat.
layout() {
  local online cpu topology package node
  read -r online </sys/devices/system/cpu/online
  echo "online $online"
  cpu=0
  while [ -d /sys/devices/system/cpu/cpu$cpu ]; do
    topology=/sys/devices/system/cpu/cpu$cpu/topology
    read -r package <"$topology/physical_package_id"
    echo "cpu$cpu package $package siblings $(cat "$topology/thread_siblings_list")"
    cpu=$((cpu + 1))
  done
  for node in /sys/devices/system/node/node*; do
    echo "${node##*/} $(cat "$node/cpulist")"
  done
}

# threads PID: every thread of the process with the processors the kernel lets it run on.
threads() {
  local task key value
  for task in "/proc/$1/task/"*; do
    while read -r key value; do
      if [ "$key" = "Cpus_allowed_list:" ]; then
        echo "${task##*/} $value"
      fi
    done <"$task/status"
  done
}

# wait_until COMMAND...: runs the command every 10 ms until it succeeds, for 30 s at most.
wait_until() {
  local tries=0
  until "$@" || [ $tries -ge 3000 ]; do
    usleep 10000
    tries=$((tries + 1))
  done
}

# has_threads PID COUNT: whether the process has that many threads.
has_threads() {
  local count=$2
  set -- "/proc/$1/task/"*
  [ -e "$1" ] && [ $# -ge "$count" ]
}

# start_sleepers NAME [FIRST-LAST]: starts a helper and waits for its four threads.
start_sleepers() {
  "$@" &
  pid=$!
  wait_until has_threads $pid 4
  marker pid "$1" "$pid"
}

# The program that Vellicor launches: as its first act it records its identifier and the
# processors it may run on, in a file, since its output would mix with Vellicor's.
cat >/bin/wide-launched <<'EOF'
#!/bin/sh
while read -r key value; do
  if [ "$key" = "Cpus_allowed_list:" ]; then
    echo "$$ $value" >/tmp/launched.new
  fi
done </proc/self/status
mv /tmp/launched.new /tmp/launched
EOF
chmod +x /bin/wide-launched

marker start "$(cut -d " " -f 1 /proc/uptime)"
section layout layout
section topology vellicor /c

start_sleepers wide-sleepers
sleepers=$pid
section set-70 vellicor /x:400000000000000000 wide-sleepers
section threads-70 threads $sleepers
section set-60-70 vellicor /x:7ff000000000000000 wide-sleepers
section threads-60-70 threads $sleepers
section show-60-70 vellicor /p $sleepers
section set-all vellicor /n:96 wide-sleepers
section threads-all threads $sleepers

section launch vellicor /x:ffffffff0000000000000000 /e wide-launched
wait_until [ -e /tmp/launched ]
section launched cat /tmp/launched

start_sleepers wide-pinned 64-95
pinned=$pid
section threads-pinned threads $pinned
section show-pinned vellicor /p $pinned

marker "done" "$(cut -d " " -f 1 /proc/uptime)"
poweroff -f
