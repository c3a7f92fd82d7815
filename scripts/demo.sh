#!/bin/sh
# Shows the kit at work on this machine: a listener on 127.0.0.1 prints every datagram it gets,
# s88-reporter in test mode sends its toggling event for a few seconds, and event-beacon sends
# one beacon frame.
set -eu
bin=${1:-build/default}
port=15730
beacon_port=15731

python3 -u - "$port" "$beacon_port" <<'PY' &
import select, socket, sys
socks = []
for port in map(int, sys.argv[1:]):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    socks.append(s)
print("listener: waiting for frames on 127.0.0.1 ports", *sys.argv[1:])
while True:
    for s in select.select(socks, [], [], 10)[0]:
        data, _ = s.recvfrom(4096)
        print("listener: port %d got %d bytes: %s" % (s.getsockname()[1], len(data), data.hex(" ")))
PY
listener=$!
trap 'kill $listener 2>/dev/null' EXIT
sleep 0.5

echo "== s88-reporter -m 0 -f -v -b 127.0.0.1 (test mode: contact 32 toggles every 0.9 s) =="
timeout 4 "$bin/s88-reporter/s88-reporter" -m 0 -f -v -b 127.0.0.1 -p "$port" || [ $? = 124 ]
echo "== event-beacon -i 0 -f -v -b 127.0.0.1 (one beacon frame) =="
"$bin/event-beacon/event-beacon" -i 0 -f -v -b 127.0.0.1 -p "$beacon_port"
sleep 0.3
