. "$KIT_LIB"
skip "nothing to test here"
