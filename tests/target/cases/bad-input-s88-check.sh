# SPDX-License-Identifier: GPL-2.0-or-later
# s88-check fed bad input: no /dev/mem (the library's warning on standard output, the tool's
# message on standard error, status 1), and standard input at its end (every wait returns at
# once, the test runs to its end, status 0). Option rows run on the host.
. "$KIT_LIB"
command -v s88-check >/dev/null || skip "s88-check is not in this build"

s88-check </dev/null >out 2>errors
expect_eq "status at the end of input" 0 $?
expect_eq "errors at the end of input" "" "$(cat errors)"
expect_eq "prompts answered by the end of input" 6 "$(grep -c '^set .* pin \(low\|high\)$' out)"
expect_eq "DATA reports" 6 "$(grep -c '^Data pin \(low\|high\)$' out)"

umount /dev/mem || fail "the /dev/mem stand-in is not mounted"
rm -f /dev/mem
s88-check </dev/null >out 2>errors
expect_eq "status without /dev/mem" 1 $?
expect_eq "library warning" "gpio_aw_open: warning: open failed [No such file or directory]" "$(cat out)"
expect_eq "message" "Can't open IO mem: No such file or directory" "$(cat errors)"
