# SPDX-License-Identifier: GPL-2.0-or-later
. "$KIT_LIB"
skip "nothing to test here"
