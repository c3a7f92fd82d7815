// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor's live view, what -l draws and -H serves: an S88 occupancy grid (one cell per
// contact of the modules seen, 16 to a row), one row per board (each sender's address), one row
// per CAN id as cansniffer shows them, and the newest datagrams. The view is a plain record fed
// datagram by datagram; live_format turns it into the text of one screen.
#pragma once

#include "output.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr int LIVE_MAX_IDS = 64;
constexpr int LIVE_MAX_MODULES = 32;  // as many as one S88 bus has
constexpr int LIVE_MAX_BOARDS = 16;
// Width of a grid line: the module number in 7 and 16 cells of 4.
constexpr int LIVE_COLUMNS = 71;
// A changed byte stays highlighted this long; an id quiet this long fades.
constexpr double LIVE_HIGHLIGHT_SECONDS = 1.0;
constexpr double LIVE_QUIET_SECONDS = 5.0;
// A board whose beacon is missing this many of its periods is silent.
constexpr int LIVE_SILENT_PERIODS = 3;
// The newest datagrams that the web page shows.
constexpr int LIVE_RECENT = 50;

struct live_row {
    uint32_t id;
    uint8_t dlc;
    uint8_t data[8];
    int kind;
    unsigned long count;
    double last, period;  // seconds; period: between the last two frames
    double changed[8];    // when each data byte last changed
};

// A contact is known only from its first change after the start: the reporter sends changes.
enum contact_state { CONTACT_UNKNOWN, CONTACT_FREE, CONTACT_OCCUPIED };

struct live_module {
    int number;         // 1 for contacts 1 to 16
    uint16_t occupied;  // bit j-1 for contact j of the module
    uint16_t seen;      // bit j-1: contact j changed since the start
    double changed[16]; // when each contact last changed
};

// A sender: one board of the layout (each with its own S88 offset) or another machine.
struct live_board {
    struct in_addr address;
    unsigned long frames, s88_events, beacons;
    double beacon_at, beacon_period;  // the last beacon, and the time between the last two
    time_t beacon_clock;              // the last beacon, as this machine's clock tells it
    unsigned contact_low, contact_high;  // of its S88 events; 0 before the first
};

struct live_view {
    live_row rows[LIVE_MAX_IDS];  // by id
    int row_count;
    unsigned long frames, ids_not_shown;
    live_module modules[LIVE_MAX_MODULES];  // by number
    int module_count;
    live_board boards[LIVE_MAX_BOARDS];  // in the order they first sent
    int board_count;
    unsigned long boards_not_shown;  // datagrams of further senders
    monitor_record recent[LIVE_RECENT];  // a ring: the newest at recent_count - 1
    unsigned long recent_count;          // datagrams entered since the start
};

// The view that -l and -H share, for the whole run.
extern live_view view;

// Enters one datagram (any length) that the monitor took at record->seen.
void live_note(live_view *view, const monitor_record *record);

enum contact_state live_contact(const live_module *module, int bit);

// Whether a board's beacon is missing LIVE_SILENT_PERIODS of its periods at now.
bool live_silent(const live_board *board, double now);

// The beacon of a board in words at now, at most 28 characters: "no beacon", "3s ago",
// "3s ago, every 5.0s", "silent since 21:14:03" (local time of its last beacon).
size_t format_beacon(const live_board *board, double now, char *text, size_t size);

// One screen for a terminal of columns x lines: the grid first, the boards, then as many id
// rows as fit. ansi: cursor home and clear to line ends, occupied cells in reverse video,
// changed bytes in bold, quiet ids dim; otherwise plain lines. A terminal too small for the
// grid gets one line saying what it needs, in as many words as fit its width. Returns the
// text's length (cut at size - 1).
// A cell is the state (# occupied, . free, ? not reported yet) and the age of its last change:
// seconds, Nm for minutes, ">>" from 10 minutes on, blank before the first.
//   ansi 0: "frames 3, ids 1, boards 1, S88 modules 1\n"
//           "# occupied, . free, ? not reported since kit-monitor started\n"
//           "module  1   2   3   4  ...\n"
//           "     1  ?   ?   #2  ?  ...\n"
size_t live_format(const live_view *view, double now, int columns, int lines, int ansi,
                   char *text, size_t size);

// The output that feeds the view.
const monitor_output *live_output();
