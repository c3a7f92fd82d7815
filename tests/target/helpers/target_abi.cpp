// SPDX-License-Identifier: GPL-2.0-or-later
// target-abi: prints the sizes and flag values the kit's programs rely on when they talk to the
// kernel, as this compiler lays them out for the target. One "name value" a line.
#include <cstdio>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/input.h>

int main()
{
    printf("sizeof(struct input_event) %zu\n", sizeof(struct input_event));
    printf("sizeof(struct can_frame) %zu\n", sizeof(struct can_frame));
    printf("O_RDWR|O_SYNC 0x%x\n", O_RDWR | O_SYNC);
    return 0;
}
