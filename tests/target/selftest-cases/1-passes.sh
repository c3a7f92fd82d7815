# SPDX-License-Identifier: GPL-2.0-or-later
. "$KIT_LIB"
expect_eq "same text" "a b" "a b"
expect_contains "part" "b" "abc"
expect_status "status" 3 sh -c 'exit 3'
