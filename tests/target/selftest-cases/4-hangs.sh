# SPDX-License-Identifier: GPL-2.0-or-later
# kit-timeout: 2
sleep 30
