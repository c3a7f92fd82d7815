// SPDX-License-Identifier: GPL-2.0-or-later
// s88-reporter: reads the S88 feedback bus and broadcasts every accepted contact change as an
// S88 event frame by UDP.
#pragma once

#include <cstdint>
#include <netinet/in.h>

constexpr uint16_t REPORTER_DEFAULT_PORT = 15730;
constexpr int REPORTER_DEFAULT_MICROTIMING = 15;
constexpr int MAX_MODULES = 32;
constexpr int CONTACT_WORDS = 16;  // 32 modules of 16 contacts, 32 contacts a word

// Index into reporter_context::pins.
enum { PIN_DATA, PIN_CLOCK, PIN_LOAD, PIN_RESET, PIN_SLOTS };

// Everything the main loop needs, zero-filled at start and owned by main for the whole run.
struct reporter_context {
    struct sockaddr_in destination;
    int32_t socket;
    int32_t second_socket;  // 0 when no second port is configured
    uint32_t background;    // 0 after -f: every sent frame is traced
    uint32_t verbose;
    uint32_t invert;        // 0 or 1, applied to every GPIO level written and read
    int32_t offset;         // added to every contact number
    uint32_t cycle_count;   // scan cycles begun, shown in trace lines
    uint16_t event_id;
    uint16_t hash;
    int32_t pins[PIN_SLOTS];  // DATA, CLOCK, LOAD, RESET as bank * 32 + n
    struct sockaddr_in second_destination;
};

// Start-up values that live outside the context.
struct reporter_settings {
    int modules;                // 0 selects the test mode
    int microtiming;            // basic wait of the scan cycle in microseconds
    unsigned long second_port;  // 0: none
    char *pin_config;           // private copy of the -c text, or null
    char *udp_dst_address;      // 40-byte texts of the destination resolution
    char *bcast_interface;
};

// Reads the command line into ctx and settings. Returns -1 to go on, or the exit status
// after printing the usage text or an error message.
int parse_reporter_options(int argc, char **argv, reporter_context *ctx,
                           reporter_settings *settings);

// Applies a pin configuration text such as "PI20,PH3,PI21,PH5" to pins[4] (DATA, CLOCK, LOAD,
// RESET in turn). Tokens not starting with P are skipped, tokens after the fourth pin ignored.
// A bank outside A-I or a pin beyond PI31 prints "pin definition error: P%s\n" and returns -1.
int apply_pin_config(char *text, int32_t pins[PIN_SLOTS]);

// Sends one S88 event frame per set bit of change_mask, most significant bit (lowest contact
// number, contact_base + 1) first, to the destination and then the second destination.
// Returns 0, or -1 at the first frame that could not be sent (after its message).
int create_event(const reporter_context *ctx, int32_t contact_base, uint32_t change_mask,
                 uint32_t new_levels);

// Zero modules: toggles contact 32 every 0.9 s. Returns only when a frame cannot be sent.
int run_test_mode(reporter_context *ctx);

// Contact state, one bit per contact: bit 31 of word w is contact offset + 32 * w + 1.
//   scan_bits      level read in the latest scan cycle
//   pending_level  complement of the last reported state: the level that counts as a change
//   confirm_low/confirm_high  confirmation counter 0-3, counting down while the change is read
extern uint32_t scan_bits[CONTACT_WORDS];
extern uint32_t pending_level[CONTACT_WORDS];
extern uint32_t confirm_low[CONTACT_WORDS];
extern uint32_t confirm_high[CONTACT_WORDS];

// Start values: every contact last reported 0, counter at 3, nothing scanned yet.
void init_contact_state();

// Accepts a change read in four consecutive cycles and sends it with create_event; one call
// per word of 32 contacts that the scan fills (contact_bits = modules * 16). Returns 0, or -1
// as soon as a frame cannot be sent (that word's state is already updated).
int filter_contact_changes(reporter_context *ctx, int contact_bits);

// One bus cycle: load sequence, cycle count + 1, every module's 16 bits into scan_bits, then
// the filter. Returns the filter's result.
int scan_s88_bus(reporter_context *ctx, int modules, int microtiming);

// One to 32 modules: opens the GPIO block, tells the service manager it is ready (notify_ready)
// and scans the bus for ever. Returns the exit status
// when it ends (a frame that cannot be sent, the GPIO block not opened).
int run_scan_mode(reporter_context *ctx, int modules, int microtiming);
