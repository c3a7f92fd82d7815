# SPDX-License-Identifier: GPL-2.0-or-later
# ir-throttle's start-up failures on the target, in their order: the CAN interface first, then
# the input device.
. "$KIT_LIB"

expect_status "missing interface" 1 ir-throttle -i nosuchcan0 -r /dev/null 2>errors
expect_eq "missing interface" "setup CAN socket error: No such device" "$(cat errors)"

expect_status "missing device" 1 ir-throttle -i can0 -r /dev/input/nosuchevent 2>errors
expect_eq "missing device" "error opening IR device: No such file or directory" "$(cat errors)"

# A device that reads as end of file at once is a read error too.
expect_status "empty device" 1 ir-throttle -i can0 -r /dev/null >lines 2>errors
expect_contains "empty device" "error reading IR device: " "$(cat errors)"
expect_eq "nothing printed" "" "$(cat lines)"
