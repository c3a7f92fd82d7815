# What every case may rely on: vcan0 up and carrying frames between can-utils peers, the input
# and FUSE devices, and the zero-filled /dev/mem stand-in reaching past the PIO block.
. "$KIT_LIB"

expect_contains "vcan0 state" "UP" "$(ip link show vcan0)"

candump -L -n 2 vcan0 >dump &
dump=$!
sleep 0.3
cansend vcan0 12345678#0102030405060708 || fail "cansend of an extended frame failed"
cansend vcan0 123#ff || fail "cansend of a standard frame failed"
wait_for 5 sh -c "! kill -0 $dump 2>/dev/null"
expect_eq "candump" "vcan0 12345678#0102030405060708
vcan0 123#FF" "$(sed 's/^([0-9.]*) //' dump)"

[ -c /dev/uinput ] || fail "/dev/uinput is missing"
[ -c /dev/fuse ] || fail "/dev/fuse is missing"
[ -c /dev/cuse ] || fail "/dev/cuse is missing"
grep -q '^evdev ' /proc/modules || fail "evdev is not loaded"

expect_contains "mounts" " /dev/mem " "$(cat /proc/mounts)"
expect_eq "/dev/mem size" $((0x01C22000)) "$(stat -c %s /dev/mem)"
expect_eq "PIO block" "0000000 0000 0000 0000 0000 0000 0000 0000 0000
*
0001000" "$(dd if=/dev/mem bs=4096 skip=$((0x01C20000 / 4096)) count=1 2>/dev/null | hexdump)"
