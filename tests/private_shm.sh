#!/bin/sh
# Runs a test program in a private mount namespace with its own tmpfs on
# /dev/shm, so that scans and segment names never meet the machine's real
# segments.  Used as the launcher of test programs that touch /dev/shm.
# Without root a user namespace provides the right to mount (test listing
# works then; the tests themselves expect root).
userns=
[ "$(id -u)" -eq 0 ] || userns=-r
exec unshare $userns -m --propagation private sh -c 'mount -t tmpfs -o mode=1777 zpr-test-shm /dev/shm && exec "$@"' private_shm "$@"
