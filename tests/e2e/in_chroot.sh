#!/bin/sh
# in_chroot.sh ROOT PROGRAM [ARG...]: PROGRAM run in the system at ROOT, with that system's
# loader and libraries, as root. It runs in a mount namespace of its own, which sees the host's
# /proc (the recorders it names are the host's) and /dev, and the folder of PULSE_SERVER's
# socket at its own path; the program is copied into a /tmp of the namespace's own. The mounts
# go when the program ends; ROOT is left as it was unless the socket's folder is outside /tmp.
set -eu
[ "$(id -u)" -eq 0 ] || exec sudo --preserve-env "$0" "$@"
root=$1
program=$2
shift 2
socket_dir=$(dirname "${PULSE_SERVER:?a unix: socket}")
socket_dir=${socket_dir#unix:}
exec unshare --mount sh -eu -c '
  root=$1 program=$2 socket_dir=$3
  shift 3
  mount -t tmpfs tmpfs "$root/tmp"
  mount --rbind /proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mkdir -p "$root$socket_dir"
  mount --bind "$socket_dir" "$root$socket_dir"
  cp "$program" "$root/tmp/"
  exec chroot "$root" "/tmp/$(basename "$program")" "$@"
' in_chroot "$root" "$program" "$socket_dir" "$@"
