# SPDX-License-Identifier: GPL-2.0-or-later
# Passes by itself, but the kernel's log shows a fault as an oops would.
echo "<1>BUG: pretended fault from a check case" >/dev/kmsg
