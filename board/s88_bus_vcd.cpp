// SPDX-License-Identifier: GPL-2.0-or-later
#include "s88_bus_vcd.h"

#include "gpio_aw.h"

// Identifiers of the four wires, by S88Line.
static const char ids[4] = {'d', 'c', 'l', 'r'};
static const char *const names[4] = {"DATA", "CLOCK", "LOAD", "RESET"};

bool s88_vcd_open(S88Vcd *vcd, const char *path, const S88Board &board, uint64_t now_ns)
{
    *vcd = S88Vcd();
    vcd->file = fopen(path, "w");
    if (!vcd->file)
        return false;
    setvbuf(vcd->file, nullptr, _IOFBF, 1 << 20);  // few writes while the guest clocks the bus
    fprintf(vcd->file, "$version s88-bus-plugin $end\n"
                       "$comment the bus lines of bus %s at their pins' levels; time: this "
                       "machine's clock at each emulated store, from the bus's attach $end\n"
                       "$timescale 1 ns $end\n$scope module %s $end\n", board.name, board.name);
    for (int line = S88_DATA; line <= S88_RESET; line++)
        fprintf(vcd->file, "$var wire 1 %c %s $end\n", ids[line], names[line]);
    fprintf(vcd->file, "$upscope $end\n$enddefinitions $end\n");
    vcd->start_ns = vcd->last_ns = now_ns;
    return true;
}

static int levels_of(const S88Board &board, volatile uint32_t *page)
{
    int levels = 0;
    for (int line = S88_DATA; line <= S88_RESET; line++)
        if ((page[gpio_aw_data_offset(board.pins[line]) / 4] >> (board.pins[line] % 32)) & 1)
            levels |= 1 << line;
    return levels;
}

void s88_vcd_step(S88Vcd *vcd, const S88Board &board, volatile uint32_t *page, uint64_t now_ns)
{
    if (!vcd->file || vcd->stopped)
        return;
    int levels = levels_of(board, page);
    if (levels == vcd->levels)
        return;
    if (now_ns < vcd->last_ns)
        now_ns = vcd->last_ns;
    vcd->bytes += fprintf(vcd->file, "#%llu\n", (unsigned long long)(now_ns - vcd->start_ns));
    for (int line = S88_DATA; line <= S88_RESET; line++)
        if (vcd->levels < 0 || ((levels ^ vcd->levels) >> line & 1))
            vcd->bytes += fprintf(vcd->file, "%d%c\n", levels >> line & 1, ids[line]);
    vcd->levels = levels;
    vcd->last_ns = now_ns;
    if (vcd->bytes > S88_VCD_MAX_BYTES) {
        fprintf(vcd->file, "$comment the file stops here: %ld MiB, %u scan cycles $end\n",
                S88_VCD_MAX_BYTES >> 20, board.bus.loads);
        vcd->stopped = true;
    }
}

void s88_vcd_close(S88Vcd *vcd, uint64_t now_ns)
{
    if (!vcd->file)
        return;
    if (!vcd->stopped)
        fprintf(vcd->file, "#%llu\n", (unsigned long long)((now_ns > vcd->last_ns ? now_ns : vcd->last_ns + 1) - vcd->start_ns));
    fclose(vcd->file);
    vcd->file = nullptr;
}
