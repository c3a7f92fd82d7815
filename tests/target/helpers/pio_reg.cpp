// pio-reg [-f FILE] OFFSET [VALUE]: prints the 32-bit PIO register at byte OFFSET of the
// window ("0x%08x"), or writes VALUE to it. OFFSET and VALUE in C notation (0x928).
#include "pio_window.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    const char *path = "/dev/mem";
    int opt;
    while ((opt = getopt(argc, argv, "f:")) != -1) {
        if (opt != 'f') {
            fprintf(stderr, "usage: pio-reg [-f FILE] OFFSET [VALUE]\n");
            return 2;
        }
        path = optarg;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: pio-reg [-f FILE] OFFSET [VALUE]\n");
        return 2;
    }
    unsigned long offset = strtoul(argv[optind], nullptr, 0);
    if (offset > GPIO_AW_WINDOW_SIZE - 4 || offset % 4) {
        fprintf(stderr, "pio-reg: offset %s outside the window\n", argv[optind]);
        return 2;
    }
    volatile uint32_t *window = map_pio_window(path);
    if (!window)
        return 1;
    if (optind + 1 < argc)
        window[offset / 4] = (uint32_t)strtoul(argv[optind + 1], nullptr, 0);
    else
        printf("0x%08x\n", window[offset / 4]);
    return 0;
}
