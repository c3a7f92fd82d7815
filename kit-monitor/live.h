// kit-monitor -l: a live screen. Above, an S88 occupancy grid (one cell per contact of the
// modules seen, 16 to a row); below, one row per CAN id as cansniffer shows them. The view is a
// plain record fed frame by frame; live_format turns it into the text of one screen.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int LIVE_MAX_IDS = 64;
constexpr int LIVE_MAX_MODULES = 32;  // as many as one S88 bus has
// Width of a grid line: the module number in 7 and 16 cells of 4.
constexpr int LIVE_COLUMNS = 71;
// A changed byte stays highlighted this long; an id quiet this long fades.
constexpr double LIVE_HIGHLIGHT_SECONDS = 1.0;
constexpr double LIVE_QUIET_SECONDS = 5.0;
// The newest datagrams' lines that the web page shows, and the room for one line.
constexpr int LIVE_RECENT_LINES = 50;
constexpr size_t LIVE_LINE_SIZE = 224;

struct live_row {
    uint32_t id;
    uint8_t dlc;
    uint8_t data[8];
    unsigned long count;
    double last, period;  // seconds; period: between the last two frames
    double changed[8];    // when each data byte last changed
};

struct live_module {
    int number;         // 1 for contacts 1 to 16
    uint16_t occupied;  // bit j-1 for contact j of the module
    uint16_t seen;      // bit j-1: contact j changed since the start
    double changed[16]; // when each contact last changed
};

struct live_view {
    live_row rows[LIVE_MAX_IDS];  // by id
    int row_count;
    unsigned long frames, ids_not_shown;
    live_module modules[LIVE_MAX_MODULES];  // by number
    int module_count;
    char recent[LIVE_RECENT_LINES][LIVE_LINE_SIZE];  // a ring: the newest at recent_count - 1
    unsigned long recent_count;                      // lines entered since the start
};

// Enters one 13-byte frame that arrived at now (seconds on any steady clock).
void live_note_frame(live_view *view, const uint8_t *frame, double now);

// Enters the line of one datagram (any length) for the list of the newest.
void live_note_line(live_view *view, const char *line);

// One screen for a terminal of columns x lines: the grid first, then as many id rows as fit.
// ansi: cursor home and clear to line ends, occupied cells in reverse video, changed bytes in
// bold, quiet ids dim; otherwise plain lines. A terminal too small for the grid gets one line
// saying so. Returns the text's length (cut at size - 1).
// A cell is the state (# occupied, . free) and the age of its last change: seconds, Nm for
// minutes, ">>" from 10 minutes on, blank before the first.
//   ansi 0: "frames 3, ids 1, S88 modules 1: # occupied, . free\n"
//           "module  1   2   3   4  ...\n"
//           "     1  .   .   #2  .  ...\n"
size_t live_format(const live_view *view, double now, int columns, int lines, int ansi,
                   char *text, size_t size);
