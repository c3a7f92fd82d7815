#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# susi-cv-read through a real ioctl on /dev/susi-gpio, served by the emulated driver
# susi-gpio-emu: the records that reach the driver and the CV assembled from its answers.
. "$KIT_LIB"

# The emulated driver is a CUSE device.
[ -c /dev/cuse ] || fail "no /dev/cuse: the cuse module is not loaded"

driver_pid=
stop_driver() {
    [ -n "$driver_pid" ] || return 0
    kill "$driver_pid" 2>/dev/null
    wait "$driver_pid" 2>/dev/null
    driver_pid=
    # The device goes when its server ends; the next driver must not find the old node.
    n=0
    while [ -e /sys/class/cuse/susi-gpio ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
    rm -f /dev/susi-gpio
}
trap stop_driver EXIT

# start_driver LOG [CV=VALUE]...: runs the emulated driver until /dev/susi-gpio is there.
start_driver() {
    log=$1
    shift
    : >"$log"
    susi-gpio-emu -l "$log" "$@" 2>driver.err &
    driver_pid=$!
    n=0
    until [ -c /dev/susi-gpio ]; do
        # mdev without devtmpfs makes no node for a CUSE device: make it from sysfs.
        if [ -r /sys/class/cuse/susi-gpio/dev ]; then
            mknod /dev/susi-gpio c $(tr : ' ' </sys/class/cuse/susi-gpio/dev) 2>/dev/null || true
            [ -c /dev/susi-gpio ] && break
        fi
        kill -0 "$driver_pid" 2>/dev/null || fail "susi-gpio-emu ended: $(cat driver.err)"
        [ $n -lt 100 ] || fail "no /dev/susi-gpio 10 s after starting susi-gpio-emu"
        sleep 0.1
        n=$((n + 1))
    done
}

# expected_records HIGH LOW: the eight bit-verify records for one CV, as the driver logs them.
expected_records() {
    for b in 8 9 a b c d e f; do
        echo "03 00 $1 $2 e$b"
    done
}

# A decoder with CV 897 = 0x83, i.e. bits 0, 1 and 7 set.
start_driver decoder.log 897=0x83 0=0x5a 1023=0xff
out=$(susi-cv-read -c 897) || fail "susi-cv-read -c 897 exited with $?"
expect_eq "output for CV 897" "CV 897 = 0x83" "$out"
expect_eq "records of CV 897" "$(expected_records 7b 81)" "$(cat decoder.log)"

# The CV number wraps to 10 bits and is sent unchanged.
: >decoder.log
expect_eq "output for -c 1024" "CV 0 = 0x5a" "$(susi-cv-read -c 1024)"
expect_eq "records of CV 0" "$(expected_records 78 00)" "$(cat decoder.log)"
: >decoder.log
expect_eq "output for -c -1" "CV 1023 = 0xff" "$(susi-cv-read -c -1)"
expect_eq "records of CV 1023" "$(expected_records 7b ff)" "$(cat decoder.log)"

# A CV the decoder lacks: no acknowledgement at all.
expect_eq "output for an unknown CV" "CV 256 = 0x00" "$(susi-cv-read -c 256)"
stop_driver

# A decoder that acknowledges nothing.
start_driver silent.log
out=$(susi-cv-read -c 897) || fail "susi-cv-read against a silent decoder exited with $?"
expect_eq "output of a silent decoder" "CV 897 = 0x00" "$out"
expect_eq "records sent to a silent decoder" "$(expected_records 7b 81)" "$(cat silent.log)"
stop_driver

# Without the driver the device is gone.
susi-cv-read -c 897 2>err.txt
expect_eq "status without a driver" 255 $?
expect_eq "message without a driver" "main: error: open failed [No such file or directory]" \
    "$(cat err.txt)"
