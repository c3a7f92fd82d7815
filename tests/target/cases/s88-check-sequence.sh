# SPDX-License-Identifier: GPL-2.0-or-later
# s88-check's whole pass on the /dev/mem stand-in, with -i 0 and -i 1: Enter keys fed one at a
# time, the prompts checked byte for byte, the levels driven checked in the registers at each
# step, and the registers it leaves behind.
#
# For the loop-back steps the emulator plays the technician's wire to DATA: a bus that makes DATA
# the line's level at every store (board/s88_bus_plugin.cpp), moved to the next line before the
# key that starts its step.
# kit-bus: wire-RESET wire:RESET
# kit-bus: wire-LOAD wire:LOAD
# kit-bus: wire-CLOCK wire:CLOCK
. "$KIT_LIB"

# Registers (byte offsets in the PIO window at 0x01C20000): PH0-7 and PI16-23 configuration,
# PH0-15 and PI16-31 pull, bank H and bank I data.
PH_CONFIG0=0x8fc PI_CONFIG2=0x928 PH_PULL0=0x918 PI_PULL1=0x940 PH_DATA=0x90c PI_DATA=0x930

# pio OFFSET [VALUE]: prints the register ("0x0000ABCD") or writes VALUE to it.
pio() { devmem $((0x01C20000 + $1)) 32 $2; }
reg() { echo $(($(pio $1))); }
bit() { echo $((($(reg $1) >> $2) & 1)); }

# Data bits: CLOCK PH3, RESET PH5 in bank H; LOAD PI21, DATA PI20 in bank I.
line_bit() {
    case $1 in
    CLOCK) bit $PH_DATA 3 ;;
    RESET) bit $PH_DATA 5 ;;
    LOAD) bit $PI_DATA 21 ;;
    esac
}

# wait_lines N: until s88-check has printed N lines. Every line comes after the levels driven
# before it, and nothing more happens before the next key.
has_lines() { [ "$(wc -l < out)" -ge $1 ]; }
wait_lines() { wait_for 10 has_lines $1; }
key() { echo >&3; }

expected_output() {
    printf '#########################\n# S88 test\n\n#########################\n# Test with multimeter\n\n'
    printf 'CLOCK_PIN, LOAD_PIN & RESET_PIN low   - ( U3,U4,U5 Pin2 1V4 - 1V9) - press enter to continue\n\n\n'
    printf 'CLOCK_PIN, LOAD_PIN & RESET_PIN high  - ( U3,U4,U5 Pin2 3V3)  - press enter to continue\n'
    printf '#########################\n# Test without multimeter\n\n'
    for l in RESET LOAD CLOCK; do
        printf 'connect %s pin to DATA pin on S88 bus - press enter to continue\n' $l
        printf 'set %s pin low\nData pin %s\nset %s pin high\nData pin %s\n\n\n' $l $1 $l $2
    done
}

for invert in 0 1; do
    for r in $PH_CONFIG0 $PI_CONFIG2 $PH_PULL0 $PI_PULL1 $PH_DATA $PI_DATA; do
        pio $r 0
    done
    rm -f keys err
    : > out  # there before the first look at it
    mkfifo keys
    s88-check -i $invert < keys > out 2> err &
    check=$!
    exec 3> keys

    wait_lines 7
    expect_eq "-i $invert: all low" "0 0 0" "$(line_bit CLOCK) $(line_bit LOAD) $(line_bit RESET)"
    key
    wait_lines 10
    expect_eq "-i $invert: all high" "1 1 1" "$(line_bit CLOCK) $(line_bit LOAD) $(line_bit RESET)"
    key
    # Seven lines per output line, from its "connect" prompt on.
    first=14
    for l in RESET LOAD CLOCK; do
        wait_lines $first
        s88-bus wire-$l >/dev/null || fail "no wire to $l"
        key
        wait_lines $((first + 2))
        expect_eq "-i $invert: $l driven low" 0 "$(line_bit $l)"
        key
        wait_lines $((first + 4))
        expect_eq "-i $invert: $l driven high" 1 "$(line_bit $l)"
        first=$((first + 7))
    done
    exec 3>&-
    wait $check
    expect_eq "-i $invert: exit status" 0 $?

    if [ $invert = 0 ]; then
        expect_eq "-i 0: output" "$(expected_output low high)" "$(cat out)"
    else
        expect_eq "-i 1: output" "$(expected_output high low)" "$(cat out)"
    fi
    expect_eq "-i $invert: stderr" "" "$(cat err)"

    # Left behind: CLOCK, LOAD, RESET outputs driven high with pull-up; DATA an input with
    # pull-up (and the level of CLOCK, to which the wire went last).
    expect_eq "-i $invert: PH0-7 config" 0x00101000 "$(pio $PH_CONFIG0)"
    expect_eq "-i $invert: PI16-23 config" 0x00100000 "$(pio $PI_CONFIG2)"
    expect_eq "-i $invert: PH pull" 0x00000440 "$(pio $PH_PULL0)"
    expect_eq "-i $invert: PI pull" 0x00000500 "$(pio $PI_PULL1)"
    expect_eq "-i $invert: bank H data" 0x00000028 "$(pio $PH_DATA)"
    expect_eq "-i $invert: bank I data" 0x00300000 "$(pio $PI_DATA)"
done
