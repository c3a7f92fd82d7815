#include "live.h"

#include "monitor.h"

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

void live_note_frame(live_view *view, const uint8_t *frame, double now)
{
    view->frames++;
    uint32_t id = ((uint32_t)frame[0] << 24 | (uint32_t)frame[1] << 16 | (uint32_t)frame[2] << 8 |
                   frame[3]) & 0x1FFFFFFFu;
    live_row *row = row_of(view, id);
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
        memcpy(row->data, frame + 5, 8);
    }

    char text[MONITOR_TEXT_SIZE];
    unsigned contact = (unsigned)frame[7] << 8 | frame[8];
    if (decode_datagram(frame, 13, 0, text, sizeof(text)) != KIND_S88_EVENT || contact == 0)
        return;  // contact 0: a number that wrapped past 65535, on no module
    int number = (int)(contact - 1) / 16 + 1;
    live_module *module = module_of(view, number);
    if (!module)
        return;
    int bit = (int)(contact - 1) % 16;
    module->occupied = (uint16_t)((module->occupied & ~(1u << bit)) | (frame[10] ? 1u << bit : 0));
    module->seen |= (uint16_t)(1u << bit);
    module->changed[bit] = now;
}

void live_note_line(live_view *view, const char *line)
{
    char *slot = view->recent[view->recent_count++ % LIVE_RECENT_LINES];
    snprintf(slot, LIVE_LINE_SIZE, "%s", line);
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

size_t live_format(const live_view *view, double now, int columns, int lines, int ansi,
                   char *text, size_t size)
{
    size_t used = 0, line = 0;
    if (size == 0)
        return 0;
    text[0] = '\0';
    int grid_lines = 2 + (view->module_count ? view->module_count : 1);
    int needed = grid_lines + 3;  // a blank line, the id header and one row
    if (ansi)
        put_text(text, size, &used, "\033[H");
    if (columns < LIVE_COLUMNS || lines < needed) {
        put_text(text, size, &used, "%sterminal too small for the S88 grid: needs %dx%d, has %dx%d",
                 ansi ? "\033[2J" : "", LIVE_COLUMNS, needed, columns, lines);
        fit_line(text, size, &used, line, columns, ansi);
        if (!ansi)
            put_text(text, size, &used, "\n");
        return used;
    }

    put_text(text, size, &used, "frames %lu, ids %d, S88 modules %d: # occupied, . free", view->frames,
             view->row_count, view->module_count);
    if (view->ids_not_shown)
        put_text(text, size, &used, "; %lu frames of more ids", view->ids_not_shown);
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
            bool occupied = module->occupied >> j & 1;
            put_text(text, size, &used, occupied && ansi ? " \033[7m#\033[0m" : occupied ? " #" : " .");
            if (module->seen >> j & 1)
                put_age(text, size, &used, now - module->changed[j]);
            else
                put_text(text, size, &used, "  ");
        }
        line = end_line(text, size, &used, line, columns, ansi);
    }

    line = end_line(text, size, &used, line, columns, ansi);
    put_text(text, size, &used, "%-8s %7s %7s %3s %-24s  kind", "id", "count", "period", "dlc", " data");
    line = end_line(text, size, &used, line, columns, ansi);
    int room = lines - grid_lines - 2;
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
        uint8_t frame[13] = {(uint8_t)(row->id >> 24), (uint8_t)(row->id >> 16),
                             (uint8_t)(row->id >> 8), (uint8_t)row->id, row->dlc};
        memcpy(frame + 5, row->data, 8);
        char decoded[MONITOR_TEXT_SIZE];
        int kind = decode_datagram(frame, sizeof(frame), 0, decoded, sizeof(decoded));
        put_text(text, size, &used, "  %s%s", monitor_kind_names[kind], quiet ? "\033[0m" : "");
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
