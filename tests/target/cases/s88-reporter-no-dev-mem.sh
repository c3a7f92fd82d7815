# SPDX-License-Identifier: GPL-2.0-or-later
# s88-reporter in scan mode without /dev/mem: a message on standard error and status 1, in the
# foreground and without a crash (a signal would show as a status above 128), and no /dev/mem
# made up in place of the missing one.
. "$KIT_LIB"

umount /dev/mem || fail "the /dev/mem stand-in is not mounted"
rm -f /dev/mem
[ ! -e /dev/mem ] || fail "/dev/mem is still there"

s88-reporter -m 1 -f -b 127.0.0.1 >out 2>errors
status=$?
expect_eq "status" 1 $status
[ -s errors ] || fail "nothing on standard error; standard output: $(cat out)"
[ ! -e /dev/mem ] || fail "s88-reporter created /dev/mem"
