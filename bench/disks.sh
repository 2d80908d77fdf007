#!/bin/bash
# bench/disk-batch.sh on each disk that tests/disks.sh mounts (exFAT, NTFS, SFTP, SMB, FAT32 in
# User-mode Linux, where it runs once more with the flush option), as root with its packages:
#   bench/disks.sh TOOL [DISK...]
here=$(dirname "$(realpath "$0")")
DISK_COMMAND=$here/disk-batch.sh exec "$here/../tests/disks.sh" "$1" "$here/../tests/data" "${@:2}"
