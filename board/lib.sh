# Check helpers for target test cases (busybox sh). A case starts with: . "$KIT_LIB"
# A case passes with exit status 0, is skipped with 77 (see skip), fails with anything else.

# fail MSG: ends the case as failed, with MSG on its output.
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# skip MSG: ends the case as skipped (for what this VM cannot offer).
skip() {
    echo "SKIP: $*" >&2
    exit 77
}

# expect_eq WHAT EXPECTED ACTUAL: fails unless the two texts are equal.
expect_eq() {
    [ "$2" = "$3" ] && return 0
    fail "$1: expected
$2
--- but got
$3"
}

# expect_contains WHAT NEEDLE TEXT: fails unless TEXT contains NEEDLE.
expect_contains() {
    case $3 in
    *"$2"*) return 0 ;;
    esac
    fail "$1: expected to contain
$2
--- but got
$3"
}

# expect_status WHAT EXPECTED COMMAND...: runs COMMAND and fails unless it exits with EXPECTED.
expect_status() {
    what=$1
    expected=$2
    shift 2
    "$@"
    actual=$?
    [ "$actual" = "$expected" ] || fail "$what: exit status $actual, expected $expected"
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds; fails after SECONDS.
wait_for() {
    tries=$(($1 * 10))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ $tries -gt 0 ] || fail "gave up waiting for: $*"
        sleep 0.1
    done
}

# start_udp_dump OUT PORT [udp-dump options...]: starts udp-dump on PORT in the background,
# writing to OUT, and returns once its socket is bound. Its pid is in $udp_dump_pid.
start_udp_dump() {
    out=$1
    port=$2
    shift 2
    rm -f "$out.ready"
    udp-dump -p "$port" -r "$out.ready" "$@" >"$out" &
    udp_dump_pid=$!
    wait_for 5 test -e "$out.ready"
}

# figure TEXT: a benchmark figure, in the case's output and on the VM console as a
# "KIT-FIGURE TEXT" line that the host side collects (scripts/footprint, scripts/soak).
figure() {
    echo "KIT-FIGURE $*" >/dev/console
    echo "$*"
}
