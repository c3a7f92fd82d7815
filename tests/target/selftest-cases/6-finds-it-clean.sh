# SPDX-License-Identifier: GPL-2.0-or-later
. "$KIT_LIB"
expect_contains "can0" "UP" "$(ip link show can0)"
expect_contains "mounts" " /dev/mem " "$(cat /proc/mounts)"
ps >processes
! grep -q "sleep 1000" processes || fail "a process of an earlier case still runs"
! grep -q "s88-reporter" processes || fail "the daemon of an earlier case still runs"
