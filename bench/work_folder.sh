# Sourced by the benchmarks that write thousands of files: bench_work_folder
# PREFIX makes their work folder, in BENCH_DIR, by default in memory
# (/dev/shm) when the machine has it.
#
# Why not /tmp: on ext4 the inode allocator passes over inodes freed in the
# last few minutes, so once a run has deleted and replaced tens of thousands
# of files, creating a file costs several times more (a system-wide profile
# shows wineserver in find_inode_bit / recently_deleted under ext4_create,
# and unzip into an empty folder goes from 0.4 s to 4 s). That measures the
# benchmark's own churn on this disk, the same for every tool but not
# equally for each, rather than the tools; in memory every run starts alike.
bench_work_folder() {
  local parent=${BENCH_DIR:-}
  if [ -z "$parent" ]; then
    if [ -d /dev/shm ] && [ -w /dev/shm ]; then parent=/dev/shm; else parent=/tmp; fi
  fi
  mktemp -d "$parent/$1.XXXXXX"
}
