. "$KIT_LIB"
echo "output of a failing case"
expect_eq "a value" 1 2
