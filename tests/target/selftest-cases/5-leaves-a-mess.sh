# SPDX-License-Identifier: GPL-2.0-or-later
# Takes away what the next case relies on and leaves processes behind.
umount /dev/mem && rm -f /dev/mem
ip link set can0 down
sleep 1000 &
s88-reporter -m 0 -b 127.0.0.1
