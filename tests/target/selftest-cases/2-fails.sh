# SPDX-License-Identifier: GPL-2.0-or-later
. "$KIT_LIB"
echo "output of a failing case"
expect_eq "a value" 1 2
