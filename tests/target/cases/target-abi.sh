# SPDX-License-Identifier: GPL-2.0-or-later
# The kernel interfaces as the cross compiler lays them out for this target: an input event is
# 16 bytes (32-bit time), a CAN frame 16, and the GPIO code's open flags O_RDWR|O_SYNC 0x101002.
. "$KIT_LIB"

abi=$(target-abi) || fail "target-abi failed"
expect_eq "sizeof(struct input_event)" 16 "$(echo "$abi" | sed -n 's/^sizeof(struct input_event) //p')"
expect_eq "sizeof(struct can_frame)" 16 "$(echo "$abi" | sed -n 's/^sizeof(struct can_frame) //p')"
expect_eq "O_RDWR|O_SYNC" 0x101002 "$(echo "$abi" | sed -n 's/^O_RDWR|O_SYNC //p')"
