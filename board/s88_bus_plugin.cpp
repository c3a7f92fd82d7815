// SPDX-License-Identifier: GPL-2.0-or-later
// The S88 bus inside the emulator: a qemu TCG plugin that plays the bus scripts of s88_board.h
// against the emulated board's PIO registers, at the moment of each store, so no edge of the
// lines can be missed at any microtiming.
//
//   qemu-system-arm -M virt -m 256
//     -object memory-backend-file,id=ram,size=256M,mem-path=RAMFILE,share=on
//     -machine memory-backend=ram
//     -plugin s88-bus-plugin.so,ram=RAMFILE,log=LOG,bus=NAME WORD...,bus=...
//
// ram: the file behind the guest's RAM (physical 0x40000000 on -M virt), which the plugin maps
// to read the word a store left and to set DATA. bus: one bus script each (s88_board.h). log:
// written when a bus ends (another is selected, or qemu ends): "bus NAME", its change log
// "change cycle=N contact=C closed=0|1 time=SECONDS.NANOSECONDS" (this machine's
// CLOCK_REALTIME), "cycle N: P clock pulses, R resets" for each whole cycle that was not one
// LOAD, 16 x modules + 1 pulses and one RESET, and "end cycle=N pulses=P resets=R". The log
// keeps the first 4096 changes and 256 such cycles of a bus; "not-logged changes=N cycles=M"
// before the end line says how many more there were. Beside the log, s88-bus-NAME.vcd holds
// the bus's four lines as they change (s88_bus_vcd.h), written as they come; a bus attached
// again gets s88-bus-NAME-2.vcd, and so on.
//
// The /dev/mem stand-in of the board is a file in the guest's RAM, so the window's physical page
// is known only from the guest: its set-up stores S88_ANNOUNCE at the signal offset, and from
// then on stores to that page are the ones that matter.
extern "C" {
#include <qemu/qemu-plugin.h>
}

#include "s88_board.h"
#include "s88_bus_vcd.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

extern "C" {
QEMU_PLUGIN_EXPORT int qemu_plugin_version = QEMU_PLUGIN_VERSION;
}

static const uint64_t RAM_BASE = 0x40000000;    // -M virt
static const uint64_t KERNEL_SPACE = 0xc0000000;  // the armhf kernel's 3G/1G split
static const uint64_t NO_PAGE = ~0ull;

static uint8_t *ram;
static uint64_t ram_size;
static const char *log_path;

static S88Board scripts[16];
static unsigned attached[16];  // times each bus was attached, for its waveform's name
static int script_count;
static S88Vcd vcd;

// The bus being played, and the physical page of its window (NO_PAGE: none).
static S88Board board;
static bool playing;
static std::atomic<uint64_t> window_page{NO_PAGE};
static std::mutex bus_lock;  // the two vCPU threads may both store to the window

struct logged_change {
    unsigned cycle, contact;
    bool closed;
    struct timespec time;
};
static logged_change change_log[4096];
static unsigned change_log_count, changes_not_logged;
struct odd_cycle {
    unsigned cycle, pulses, resets;
};
static odd_cycle odd_cycles[256];
static unsigned odd_cycle_count, odd_cycles_not_logged;

static void log_change(unsigned cycle, unsigned contact, bool closed)
{
    if (change_log_count == sizeof change_log / sizeof change_log[0]) {
        changes_not_logged++;
        return;
    }
    logged_change &entry = change_log[change_log_count++];
    entry = {cycle, contact, closed, {}};
    clock_gettime(CLOCK_REALTIME, &entry.time);
}

static uint64_t monotonic_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

// Written once the bus is over: nothing but the model runs while the guest clocks it.
static void end_bus()
{
    if (!playing)
        return;
    playing = false;
    s88_vcd_close(&vcd, monotonic_ns());
    FILE *f = log_path ? fopen(log_path, "a") : nullptr;
    if (!f)
        return;
    fprintf(f, "bus %s\n", board.name);
    for (unsigned i = 0; i < change_log_count; i++)
        fprintf(f, "change cycle=%u contact=%u closed=%d time=%lld.%09ld\n", change_log[i].cycle,
                change_log[i].contact, change_log[i].closed, (long long)change_log[i].time.tv_sec,
                change_log[i].time.tv_nsec);
    for (unsigned i = 0; i < odd_cycle_count; i++)
        fprintf(f, "cycle %u: %u clock pulses, %u resets\n", odd_cycles[i].cycle,
                odd_cycles[i].pulses, odd_cycles[i].resets);
    if (changes_not_logged || odd_cycles_not_logged)
        fprintf(f, "not-logged changes=%u cycles=%u\n", changes_not_logged, odd_cycles_not_logged);
    fprintf(f, "end cycle=%u pulses=%u resets=%u\n", board.bus.loads, board.bus.clock_pulses,
            board.bus.resets);
    fclose(f);
}

static volatile uint32_t *page_at(uint64_t page)
{
    return (volatile uint32_t *)(ram + (page - RAM_BASE));
}

// The guest asked for the bus named in its window page (or for none).
static void announce(uint64_t page)
{
    volatile uint32_t *words = page_at(page);
    char name[S88_NAME_MAX];
    for (unsigned i = 0; i < S88_NAME_MAX; i++)
        name[i] = (char)((const volatile uint8_t *)words)[S88_NAME_OFFSET + i];
    name[S88_NAME_MAX - 1] = '\0';
    end_bus();
    window_page = NO_PAGE;
    if (name[0] == '\0') {
        words[S88_SIGNAL_OFFSET / 4] = S88_DETACHED;
        return;
    }
    int i = 0;
    while (i < script_count && strcmp(scripts[i].name, name) != 0)
        i++;
    if (i == script_count) {
        words[S88_SIGNAL_OFFSET / 4] = S88_UNKNOWN;
        return;
    }
    board = scripts[i];
    board.bus.on_change = log_change;
    change_log_count = changes_not_logged = 0;
    odd_cycle_count = odd_cycles_not_logged = 0;
    playing = true;
    s88_board_idle(&board, words);
    if (log_path) {
        const char *slash = strrchr(log_path, '/');
        char path[4096];
        int folder = slash ? (int)(slash - log_path + 1) : 0;
        if (++attached[i] == 1)
            snprintf(path, sizeof path, "%.*ss88-bus-%s.vcd", folder, log_path, name);
        else
            snprintf(path, sizeof path, "%.*ss88-bus-%s-%u.vcd", folder, log_path, name, attached[i]);
        const uint64_t now = monotonic_ns();
        if (s88_vcd_open(&vcd, path, board, now))
            s88_vcd_step(&vcd, board, words, now);  // the idle levels at time 0
    }
    words[S88_SIGNAL_OFFSET / 4] = S88_ATTACHED;
    window_page = page;
}

// A store to the window's page: the bus moves, DATA follows before the next instruction.
static void window_store(uint64_t page, unsigned offset)
{
    volatile uint32_t *words = page_at(page);
    if (offset == S88_SIGNAL_OFFSET && words[offset / 4] == S88_ANNOUNCE) {
        announce(page);
        return;
    }
    if (page != window_page)
        return;  // detached while this store waited for the lock
    // The stand-in is gone (its page zeroed or reused for something else): so is the bus.
    if (words[S88_SIGNAL_OFFSET / 4] != S88_ATTACHED) {
        end_bus();
        window_page = NO_PAGE;
        return;
    }
    if (!s88_board_watches(board, offset))
        return;
    unsigned loads = board.bus.loads, pulses = board.pulses_at_load, resets = board.resets_at_load;
    s88_board_step(&board, words);
    s88_vcd_step(&vcd, board, words, monotonic_ns());
    const unsigned whole = 16u * (unsigned)board.bus.modules + 1;
    if (board.bus.loads != loads && loads > 0 &&
        (board.pulses_at_load - pulses != whole || board.resets_at_load - resets != 1)) {
        if (odd_cycle_count < sizeof odd_cycles / sizeof odd_cycles[0])
            odd_cycles[odd_cycle_count++] = {loads, board.pulses_at_load - pulses,
                                             board.resets_at_load - resets};
        else
            odd_cycles_not_logged++;
    }
}

static void on_store(unsigned int, qemu_plugin_meminfo_t info, uint64_t vaddr, void *)
{
    struct qemu_plugin_hwaddr *hw = qemu_plugin_get_hwaddr(info, vaddr);
    if (!hw || qemu_plugin_hwaddr_is_io(hw))
        return;
    uint64_t address = qemu_plugin_hwaddr_phys_addr(hw);
    if (address < RAM_BASE || address - RAM_BASE + 4 > ram_size)
        return;
    uint64_t page = address & ~(uint64_t)(S88_PAGE_SIZE - 1);
    unsigned offset = (unsigned)(address & (S88_PAGE_SIZE - 1)) & ~3u;
    if (page != window_page.load(std::memory_order_relaxed)) {
        // Cheap for every other store: one compare, then one word read at one offset.
        if (offset != S88_SIGNAL_OFFSET || page_at(page)[offset / 4] != S88_ANNOUNCE)
            return;
    }
    std::lock_guard<std::mutex> hold(bus_lock);
    window_store(page, offset);
}

// User-space stores only: the board's programs touch the window from user space.
static void on_translate(qemu_plugin_id_t, struct qemu_plugin_tb *tb)
{
    size_t n = qemu_plugin_tb_n_insns(tb);
    for (size_t i = 0; i < n; i++) {
        struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
        if (qemu_plugin_insn_vaddr(insn) >= KERNEL_SPACE)
            continue;
        qemu_plugin_register_vcpu_mem_cb(insn, on_store, QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_MEM_W,
                                         nullptr);
    }
}

static void at_end(qemu_plugin_id_t, void *)
{
    std::lock_guard<std::mutex> hold(bus_lock);
    end_bus();
}

static int refuse(const char *argument, const char *why)
{
    fprintf(stderr, "s88-bus-plugin: %s: %s\n", argument, why);
    return -1;
}

static bool map_ram(const char *path)
{
    int fd = open(path, O_RDWR);
    if (fd < 0)
        return false;
    struct stat st;
    void *map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        map = mmap(nullptr, (size_t)st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return false;
    ram = (uint8_t *)map;
    ram_size = (uint64_t)st.st_size;
    return true;
}

extern "C" QEMU_PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *,
                                                      int argc, char **argv)
{
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        char why[160];
        if (strncmp(arg, "ram=", 4) == 0) {
            if (!map_ram(arg + 4))
                return refuse(arg, strerror(errno ? errno : EINVAL));
        } else if (strncmp(arg, "log=", 4) == 0) {
            log_path = arg + 4;
        } else if (strncmp(arg, "bus=", 4) == 0) {
            if (script_count == (int)(sizeof scripts / sizeof scripts[0]))
                return refuse(arg, "too many buses (16 at most)");
            if (!s88_board_parse(&scripts[script_count], arg + 4, why, sizeof why))
                return refuse(arg, why);
            for (int j = 0; j < script_count; j++)
                if (strcmp(scripts[j].name, scripts[script_count].name) == 0)
                    return refuse(arg, "a second bus of that name");
            script_count++;
        } else {
            return refuse(arg, "not ram=FILE, log=FILE or bus=NAME WORD...");
        }
    }
    if (!ram)
        return refuse("ram=FILE", "missing: the file behind the guest's RAM");
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, at_end, nullptr);
    return 0;
}
