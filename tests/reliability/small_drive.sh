#!/usr/bin/env bash
# Runs a test with a small tmpfs drive mounted for it, so that the soak can fill
# a real disk (blocks and inodes both) under the filing. Mounting needs root; on
# a machine that refuses it the test runs without the drive and says so.
#   small_drive.sh <mount point> <command...>
set -u
dir="${1:?mount point}"
shift
mkdir -p "$dir"
release() {
  mountpoint -q "$dir" || return 0
  umount "$dir" 2>/dev/null || umount -l "$dir"
}
release # left mounted by a run that was killed
# 4 MB and 1,024 inodes: small enough to fill in a moment, large enough for the
# scans filed on it over a whole soak.
if mount -t tmpfs -o size=4m,nr_inodes=1024,mode=0777 bgtask-small "$dir" 2>/dev/null; then
  trap release EXIT
  # Wine's drive Z: is the Unix root.
  export BGTASK_SMALL_DRIVE="Z:$(realpath "$dir" | tr / '\\')"
else
  echo "small_drive.sh: no tmpfs could be mounted here; the full-disk fault is left out"
  unset BGTASK_SMALL_DRIVE
fi
"$@"
