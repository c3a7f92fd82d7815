// SPDX-License-Identifier: GPL-2.0-or-later
#include "live.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

// The row of an id, inserted in id order if new; null when the table is full.
static live_row *row_of(live_view *view, uint32_t id)
{
    int i = 0;
    while (i < view->row_count && view->rows[i].id < id)
        i++;
    if (i < view->row_count && view->rows[i].id == id)
        return &view->rows[i];
    if (view->row_count == LIVE_MAX_IDS)
        return nullptr;
    memmove(&view->rows[i + 1], &view->rows[i], (size_t)(view->row_count - i) * sizeof(live_row));
    view->row_count++;
    view->rows[i] = live_row{};
    view->rows[i].id = id;
    return &view->rows[i];
}

// The same for a module's grid line.
static live_module *module_of(live_view *view, int number)
{
    int i = 0;
    while (i < view->module_count && view->modules[i].number < number)
        i++;
    if (i < view->module_count && view->modules[i].number == number)
        return &view->modules[i];
    if (view->module_count == LIVE_MAX_MODULES)
        return nullptr;
    memmove(&view->modules[i + 1], &view->modules[i],
            (size_t)(view->module_count - i) * sizeof(live_module));
    view->module_count++;
    view->modules[i] = live_module{};
    view->modules[i].number = number;
    return &view->modules[i];
}

// The board of a sender, added in the order they first send; null when the table is full.
static live_board *board_of(live_view *view, struct in_addr address)
{
    for (int i = 0; i < view->board_count; i++)
        if (view->boards[i].address.s_addr == address.s_addr)
            return &view->boards[i];
    if (view->board_count == LIVE_MAX_BOARDS)
        return nullptr;
    live_board *board = &view->boards[view->board_count++];
    *board = live_board{};
    board->address = address;
    return board;
}

static void note_board(live_view *view, const monitor_record *record)
{
    live_board *board = board_of(view, record->sender);
    if (!board) {
        view->boards_not_shown++;
        return;
    }
    if (record->length != FRAME_SIZE)
        return;
    board->frames++;
    if (record->kind == KIND_BEACON) {
        board->beacon_period = board->beacons ? record->seen - board->beacon_at : 0;
        board->beacon_at = record->seen;
        board->beacon_clock = record->when.tv_sec;
        board->beacons++;
    } else if (record->kind == KIND_S88_EVENT) {
        unsigned contact = record->values[S88_CONTACT];
        if (!board->s88_events++ || contact < board->contact_low)
            board->contact_low = contact;
        if (contact > board->contact_high)
            board->contact_high = contact;
    }
}

static void note_frame(live_view *view, const monitor_record *record)
{
    const double now = record->seen;
    const uint8_t *frame = record->bytes;
    view->frames++;
    live_row *row = row_of(view, record->id);
    if (!row) {
        view->ids_not_shown++;
    } else {
        for (int i = 0; i < 8; i++)
            if (row->count == 0 || row->data[i] != frame[5 + i] || (i >= row->dlc) != (i >= frame[4]))
                row->changed[i] = now;
        row->period = row->count ? now - row->last : 0;
        row->count++;
        row->last = now;
        row->dlc = frame[4];
        row->kind = record->kind;
        memcpy(row->data, frame + 5, 8);
    }

    unsigned contact = record->values[S88_CONTACT];
    if (record->kind != KIND_S88_EVENT || contact == 0)
        return;  // contact 0: a number that wrapped past 65535, on no module
    live_module *module = module_of(view, (int)(contact - 1) / 16 + 1);
    if (!module)
        return;
    int bit = (int)(contact - 1) % 16;
    module->occupied = (uint16_t)((module->occupied & ~(1u << bit)) | (record->values[S88_NEW] ? 1u << bit : 0));
    module->seen |= (uint16_t)(1u << bit);
    module->changed[bit] = now;
}

void live_note(live_view *view, const monitor_record *record)
{
    view->recent[view->recent_count++ % LIVE_RECENT] = *record;
    note_board(view, record);
    if (record->length == FRAME_SIZE)
        note_frame(view, record);
}

enum contact_state live_contact(const live_module *module, int bit)
{
    if (!(module->seen >> bit & 1))
        return CONTACT_UNKNOWN;
    return module->occupied >> bit & 1 ? CONTACT_OCCUPIED : CONTACT_FREE;
}

bool live_silent(const live_board *board, double now)
{
    return board->beacons > 1 && now - board->beacon_at > LIVE_SILENT_PERIODS * board->beacon_period;
}

// A time span in at most 5 characters: "0.2s", "12s", "5m", "3h", "12d".
static void put_span(char *text, size_t size, size_t *used, double seconds)
{
    if (seconds < 10)
        put_text(text, size, used, "%.1fs", seconds);
    else if (seconds < 100)
        put_text(text, size, used, "%.0fs", seconds);
    else if (seconds < 6000)
        put_text(text, size, used, "%.0fm", seconds / 60);
    else if (seconds < 360000)
        put_text(text, size, used, "%.0fh", seconds / 3600);
    else
        put_text(text, size, used, "%.0fd", seconds / 86400);
}

size_t format_beacon(const live_board *board, double now, char *text, size_t size)
{
    size_t used = 0;
    text[0] = '\0';
    if (!board->beacons) {
        put_text(text, size, &used, "no beacon");
    } else if (live_silent(board, now)) {
        struct tm local;
        localtime_r(&board->beacon_clock, &local);
        put_text(text, size, &used, "silent since %02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    } else {
        put_span(text, size, &used, now - board->beacon_at);
        put_text(text, size, &used, " ago");
        if (board->beacons > 1) {
            put_text(text, size, &used, ", every ");
            put_span(text, size, &used, board->beacon_period);
        }
    }
    return used;
}

// Age of a contact's last change in two characters: seconds, then minutes, then ">>".
static void put_age(char *text, size_t size, size_t *used, double age)
{
    if (age < 100)
        put_text(text, size, used, "%-2d", (int)age);
    else if (age < 600)
        put_text(text, size, used, "%dm", (int)(age / 60));
    else
        put_text(text, size, used, ">>");
}

// Cuts the text from start on to columns characters on the screen (an escape sequence takes
// none; attributes are reset after a cut). Numbers grow, so no line fits by its format alone.
static void fit_line(char *text, size_t size, size_t *used, size_t start, int columns, int ansi)
{
    int shown = 0;
    for (size_t i = start; i < *used; i++) {
        if (text[i] == '\033') {  // ESC [ parameters final byte
            i++;
            while (i + 1 < *used && (text[i + 1] < '@' || text[i + 1] > '~'))
                i++;
            i++;
            continue;
        }
        if (++shown > columns) {
            text[i] = '\0';
            *used = i;
            if (ansi)
                put_text(text, size, used, "\033[0m");
            return;
        }
    }
}

// Fits the line begun at start and ends it (on a terminal clearing the rest of the line);
// returns where the next line begins.
static size_t end_line(char *text, size_t size, size_t *used, size_t start, int columns, int ansi)
{
    fit_line(text, size, used, start, columns, ansi);
    put_text(text, size, used, ansi ? "\033[K\n" : "\n");
    return *used;
}

// "terminal too small ..." in as many words as fit the width: the size it needs first of all.
static void say_too_small(char *text, size_t size, size_t *used, int needed, int columns, int lines)
{
    char forms[4][96];
    snprintf(forms[0], sizeof(forms[0]), "terminal too small for the S88 grid: needs %dx%d, has %dx%d",
             LIVE_COLUMNS, needed, columns, lines);
    snprintf(forms[1], sizeof(forms[1]), "too small: needs %dx%d, has %dx%d", LIVE_COLUMNS, needed, columns, lines);
    snprintf(forms[2], sizeof(forms[2]), "needs %dx%d", LIVE_COLUMNS, needed);
    snprintf(forms[3], sizeof(forms[3]), "%dx%d", LIVE_COLUMNS, needed);
    int form = 0;
    while (form < 3 && (int)strlen(forms[form]) > columns)
        form++;
    put_text(text, size, used, "%s", forms[form]);
}

size_t live_format(const live_view *view, double now, int columns, int lines, int ansi,
                   char *text, size_t size)
{
    size_t used = 0, line = 0;
    if (size == 0)
        return 0;
    text[0] = '\0';
    int grid_lines = 3 + (view->module_count ? view->module_count : 1);
    int board_lines = view->board_count ? 2 + view->board_count : 0;
    int needed = grid_lines + board_lines + 3;  // a blank line, the id header and one row
    if (ansi)
        put_text(text, size, &used, "\033[H");
    if (columns < LIVE_COLUMNS || lines < needed) {
        if (ansi)
            put_text(text, size, &used, "\033[2J");
        line = used;
        say_too_small(text, size, &used, needed, columns, lines);
        fit_line(text, size, &used, line, columns, ansi);
        if (!ansi)
            put_text(text, size, &used, "\n");
        return used;
    }

    put_text(text, size, &used, "frames %lu, ids %d, boards %d, S88 modules %d", view->frames, view->row_count,
             view->board_count, view->module_count);
    if (view->ids_not_shown)
        put_text(text, size, &used, "; %lu frames of more ids", view->ids_not_shown);
    line = end_line(text, size, &used, line, columns, ansi);
    put_text(text, size, &used, "# occupied, . free, ? not reported since kit-monitor started");
    line = end_line(text, size, &used, line, columns, ansi);
    put_text(text, size, &used, "module ");
    for (int j = 1; j <= 16; j++)
        put_text(text, size, &used, " %-3d", j);
    line = end_line(text, size, &used, line, columns, ansi);
    if (view->module_count == 0) {
        put_text(text, size, &used, "(no S88 events yet; the age of a change: seconds, Nm minutes)");
        line = end_line(text, size, &used, line, columns, ansi);
    }
    for (int m = 0; m < view->module_count; m++) {
        const live_module *module = &view->modules[m];
        put_text(text, size, &used, "%6d ", module->number);
        for (int j = 0; j < 16; j++) {
            enum contact_state state = live_contact(module, j);
            if (state == CONTACT_OCCUPIED)
                put_text(text, size, &used, ansi ? " \033[7m#\033[0m" : " #");
            else
                put_text(text, size, &used, state == CONTACT_FREE ? " ." : " ?");
            if (state != CONTACT_UNKNOWN)
                put_age(text, size, &used, now - module->changed[j]);
            else
                put_text(text, size, &used, "  ");
        }
        line = end_line(text, size, &used, line, columns, ansi);
    }

    if (view->board_count) {
        line = end_line(text, size, &used, line, columns, ansi);
        put_text(text, size, &used, "%-15s %-28s %10s %10s", "board", "beacon", "S88 events", "frames");
        line = end_line(text, size, &used, line, columns, ansi);
    }
    for (int b = 0; b < view->board_count; b++) {
        const live_board *board = &view->boards[b];
        char address[INET_ADDRSTRLEN], beacon[40];
        inet_ntop(AF_INET, &board->address, address, sizeof(address));
        format_beacon(board, now, beacon, sizeof(beacon));
        bool silent = ansi && live_silent(board, now);
        put_text(text, size, &used, "%-15s %s%-28s%s %10lu %10lu", address, silent ? "\033[7m" : "", beacon,
                 silent ? "\033[0m" : "", board->s88_events, board->frames);
        line = end_line(text, size, &used, line, columns, ansi);
    }

    line = end_line(text, size, &used, line, columns, ansi);
    put_text(text, size, &used, "%-8s %7s %7s %3s %-24s  kind", "id", "count", "period", "dlc", " data");
    line = end_line(text, size, &used, line, columns, ansi);
    int room = lines - grid_lines - board_lines - 2;
    int shown = view->row_count <= room ? view->row_count : room - 1;
    for (int r = 0; r < shown; r++) {
        const live_row *row = &view->rows[r];
        bool quiet = ansi && now - row->last >= LIVE_QUIET_SECONDS;
        put_text(text, size, &used, "%s%08X %7lu ", quiet ? "\033[2m" : "", row->id, row->count);
        if (row->count > 1)
            put_text(text, size, &used, "%5.0fms", row->period * 1e3);
        else
            put_text(text, size, &used, "      -");
        put_text(text, size, &used, " %3u ", row->dlc);
        for (int i = 0; i < 8; i++) {
            bool fresh = ansi && !quiet && row->count > 1 && now - row->changed[i] < LIVE_HIGHLIGHT_SECONDS;
            if (i >= row->dlc)
                put_text(text, size, &used, "   ");
            else
                put_text(text, size, &used, fresh ? " \033[1m%02X\033[0m" : " %02X", row->data[i]);
        }
        put_text(text, size, &used, "  %s%s", kind_name(row->kind), quiet ? "\033[0m" : "");
        line = end_line(text, size, &used, line, columns, ansi);
    }
    if (shown < view->row_count) {
        put_text(text, size, &used, "... %d more ids", view->row_count - shown);
        line = end_line(text, size, &used, line, columns, ansi);
    }
    // On a terminal the last newline goes again: the screen must not scroll.
    if (ansi && used > 0 && text[used - 1] == '\n') {
        text[--used] = '\0';
        put_text(text, size, &used, "\033[J");
    }
    return used;
}

live_view view;

static void take(const monitor_record *record)
{
    live_note(&view, record);
}

const monitor_output *live_output()
{
    static const monitor_output output = {take, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &output;
}
