// SPDX-License-Identifier: GPL-2.0-or-later
#include "web.h"

#include "tally.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <jansson.h>
#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

extern const char web_page[];  // web_page.cpp

// One browser's event stream: the event it is sending and how far it got.
struct web_stream {
    MHD_Connection *connection;
    char *event;  // "data: {...}\n\n", malloc'd
    size_t length, sent;
    unsigned long generation;  // of the state in event
    bool suspended;            // waiting for the next push
};

// File-scope: one server for the whole run.
static MHD_Daemon *daemon_;
static int listener = -1;
static double now_;               // of the last run, for the answers
static web_stream *streams[WEB_MAX_STREAMS];
static unsigned long generation;  // bumped at each push
static char *pushed;              // the state of that push as an event
static size_t pushed_length;
static double pushed_at;
static bool dirty;
static char *state;               // the last /state, made at state_at
static double state_at;
static double served_by;          // when the library wants to run again; 0: when a request comes

static json_t *module_json(const live_module *module, double now)
{
    json_t *occupied = json_array(), *age = json_array();
    for (int j = 0; j < 16; j++) {
        json_array_append_new(occupied, json_integer(live_contact(module, j) == CONTACT_OCCUPIED));
        json_array_append_new(age, live_contact(module, j) != CONTACT_UNKNOWN ? json_real(now - module->changed[j])
                                                                               : json_null());
    }
    return json_pack("{s:i, s:o, s:o}", "module", module->number, "occupied", occupied, "age", age);
}

static json_t *row_json(const live_row *row, double now)
{
    char id[16], data[32] = "";
    snprintf(id, sizeof(id), "%08X", row->id);
    size_t used = 0;
    json_t *changed = json_array();
    for (int i = 0; i < row->dlc && i < 8; i++) {
        put_text(data, sizeof(data), &used, i ? " %02X" : "%02X", row->data[i]);
        json_array_append_new(changed, json_boolean(row->count > 1 && now - row->changed[i] < LIVE_HIGHLIGHT_SECONDS));
    }
    return json_pack("{s:s, s:I, s:o, s:i, s:s, s:o, s:s, s:b}", "id", id, "count", (json_int_t)row->count,
                     "period_ms", row->count > 1 ? json_real(row->period * 1e3) : json_null(), "dlc", row->dlc,
                     "data", data, "changed", changed, "kind", kind_name(row->kind), "quiet",
                     now - row->last >= LIVE_QUIET_SECONDS);
}

static json_t *board_json(const live_board *board, double now)
{
    char address[INET_ADDRSTRLEN], beacon[40], since[16];
    inet_ntop(AF_INET, &board->address, address, sizeof(address));
    format_beacon(board, now, beacon, sizeof(beacon));
    struct tm local;
    localtime_r(&board->beacon_clock, &local);
    snprintf(since, sizeof(since), "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return json_pack("{s:s, s:I, s:I, s:I, s:o, s:o, s:o, s:o, s:s}", "address", address,
                     "frames", (json_int_t)board->frames, "s88_events", (json_int_t)board->s88_events,
                     "beacons", (json_int_t)board->beacons,
                     "beacon_age", board->beacons ? json_real(now - board->beacon_at) : json_null(),
                     "beacon_period", board->beacons > 1 ? json_real(board->beacon_period) : json_null(),
                     "silent_since", live_silent(board, now) ? json_string(since) : json_null(),
                     "contacts", board->s88_events ? json_pack("[i, i]", board->contact_low, board->contact_high)
                                                   : json_null(),
                     "beacon", beacon);
}

static json_t *lost_json()
{
    json_t *captures = json_object();
    for (const capture_tally &capture : tally.captures)
        if (capture.name)
            json_object_set_new(captures, capture.name, json_integer((json_int_t)capture.not_captured));
    return json_pack("{s:I, s:I, s:I, s:o}", "dropped", (json_int_t)tally_dropped(), "lines_not_shown",
                     (json_int_t)tally.lines_not_shown, "frames_not_captured", (json_int_t)tally_not_captured(),
                     "captures", captures);
}

char *web_state_json(const live_view *view, double now)
{
    json_t *contacts = json_object(), *modules = json_array();
    for (int m = 0; m < view->module_count; m++) {
        const live_module *module = &view->modules[m];
        for (int j = 0; j < 16; j++) {
            if (live_contact(module, j) == CONTACT_UNKNOWN)
                continue;
            char number[16];
            snprintf(number, sizeof(number), "%d", (module->number - 1) * 16 + j + 1);
            json_object_set_new(contacts, number, json_integer(live_contact(module, j) == CONTACT_OCCUPIED));
        }
        json_array_append_new(modules, module_json(module, now));
    }
    json_t *kinds = json_object();
    for (int k = 0; k < KIND_COUNT; k++)
        json_object_set_new(kinds, kind_name(k), json_integer((json_int_t)tally.kinds[k]));
    json_t *ports = json_array();
    for (int i = 0; i < tally.port_count; i++)
        json_array_append_new(ports, json_pack("{s:i, s:I, s:I}", "port", tally.ports[i].port, "datagrams",
                                               (json_int_t)tally.ports[i].datagrams, "dropped",
                                               (json_int_t)tally.ports[i].dropped));
    json_t *boards = json_array(), *ids = json_array(), *recent = json_array();
    for (int b = 0; b < view->board_count; b++)
        json_array_append_new(boards, board_json(&view->boards[b], now));
    for (int r = 0; r < view->row_count; r++)
        json_array_append_new(ids, row_json(&view->rows[r], now));
    unsigned long first = view->recent_count > LIVE_RECENT ? view->recent_count - LIVE_RECENT : 0;
    for (unsigned long i = first; i < view->recent_count; i++) {
        char line[MONITOR_LINE_SIZE];
        format_line(&view->recent[i % LIVE_RECENT], 0, line, sizeof(line));
        json_array_append_new(recent, json_string(line));
    }
    json_t *state = json_pack("{s:o, s:o, s:I, s:I, s:o, s:o, s:o, s:I, s:o, s:o, s:I, s:o}", "contacts", contacts,
                              "counts", kinds, "datagrams", (json_int_t)tally_datagrams(), "frames",
                              (json_int_t)view->frames, "lost", lost_json(), "ports", ports, "boards", boards,
                              "boards_not_shown", (json_int_t)view->boards_not_shown, "modules", modules, "ids",
                              ids, "ids_not_shown", (json_int_t)view->ids_not_shown, "recent", recent);
    char *text = state ? json_dumps(state, JSON_COMPACT | JSON_REAL_PRECISION(6)) : nullptr;
    json_decref(state);
    return text;
}

// The event stream's body: the newest pushed state, once; then the connection waits, suspended,
// for the next push. Never more than MHD's buffer takes, so nothing here waits for the browser.
static ssize_t stream_body(void *cls, uint64_t, char *buf, size_t max)
{
    web_stream *stream = (web_stream *)cls;
    if (stream->sent == stream->length) {
        if (stream->generation == generation || !pushed) {
            MHD_suspend_connection(stream->connection);
            stream->suspended = true;
            return 0;
        }
        char *event = (char *)realloc(stream->event, pushed_length);
        if (!event)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        memcpy(event, pushed, pushed_length);
        stream->event = event;
        stream->length = pushed_length;
        stream->sent = 0;
        stream->generation = generation;
    }
    size_t n = stream->length - stream->sent < max ? stream->length - stream->sent : max;
    memcpy(buf, stream->event + stream->sent, n);
    stream->sent += n;
    return (ssize_t)n;
}

static void stream_closed(void *cls)
{
    web_stream *stream = (web_stream *)cls;
    for (web_stream *&slot : streams)
        if (slot == stream)
            slot = nullptr;
    free(stream->event);
    free(stream);
}

static MHD_Result reply(MHD_Connection *connection, unsigned status, MHD_Response *response,
                        const char *type)
{
    if (!response)
        return MHD_NO;
    if (type)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

static MHD_Response *text_response(const char *text)
{
    return MHD_create_response_from_buffer(strlen(text), (void *)text, MHD_RESPMEM_PERSISTENT);
}

static MHD_Result open_stream(MHD_Connection *connection)
{
    web_stream **slot = nullptr;
    for (web_stream *&s : streams)
        if (!s && !slot)
            slot = &s;
    web_stream *stream = slot ? (web_stream *)calloc(1, sizeof(web_stream)) : nullptr;
    if (!stream) {
        // The page then reads /state each second instead, and tries again later.
        MHD_Response *response = text_response("too many event streams\n");
        if (response)
            MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, "30");
        return reply(connection, MHD_HTTP_SERVICE_UNAVAILABLE, response, "text/plain");
    }
    stream->connection = connection;
    stream->generation = generation - 1;  // the newest state goes out at once
    MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16384, stream_body,
                                                               stream, stream_closed);
    if (!response) {
        free(stream);
        return MHD_NO;
    }
    *slot = stream;
    unsigned idle = WEB_STREAM_IDLE_SECONDS;
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, idle);
    return reply(connection, MHD_HTTP_OK, response, "text/event-stream");
}

static MHD_Result add_length(void *cls, enum MHD_ValueKind, const char *key, const char *value)
{
    *(size_t *)cls += strlen(key) + (value ? strlen(value) : 0) + 4;  // ": " and CRLF
    return MHD_YES;
}

// The request line and header fields as they came, about: what the limit counts.
static size_t header_length(MHD_Connection *connection, const char *url, const char *method,
                            const char *version)
{
    size_t length = strlen(method) + strlen(url) + strlen(version) + 4;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, add_length, &length);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, add_length, &length);
    return length;
}

// The state for /state: made anew at most every WEB_STATE_SECONDS, so a script polling as fast
// as it can costs the monitor little.
static const char *current_state(double now)
{
    if (state && now - state_at < WEB_STATE_SECONDS)
        return state;
    char *text = web_state_json(&view, now);
    if (!text)
        return state;  // out of memory: the last one
    free(state);
    state = text;
    state_at = now;
    return state;
}

// Read-only: GET and HEAD of three paths; the rest is refused before any body is read (and
// its connection closed).
static MHD_Result answer(void *, MHD_Connection *connection, const char *url, const char *method,
                         const char *version, const char *, size_t *, void **request)
{
    if (header_length(connection, url, method, version) > WEB_HEADER_LIMIT)
        return reply(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE,
                     text_response("request header over 16 KiB\n"), "text/plain");
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        MHD_Response *response = text_response("method not allowed: this page only shows\n");
        if (response)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response, "text/plain");
    }
    // The first call only says the header is in: an answer queued then would end the connection,
    // and a browser or script would open a new one for each request.
    static int header_in;
    if (!*request) {
        *request = &header_in;
        return MHD_YES;
    }
    if (strcmp(url, "/") == 0)
        return reply(connection, MHD_HTTP_OK, text_response(web_page), "text/html; charset=utf-8");
    if (strcmp(url, "/state") == 0) {
        const char *text = current_state(now_);
        if (!text)
            return MHD_NO;
        return reply(connection, MHD_HTTP_OK,
                     MHD_create_response_from_buffer(strlen(text), (void *)text, MHD_RESPMEM_MUST_COPY),
                     "application/json");
    }
    if (strcmp(url, "/events") == 0)
        return open_stream(connection);
    return reply(connection, MHD_HTTP_NOT_FOUND, text_response("not found\n"), "text/plain");
}

static bool streams_open()
{
    for (web_stream *stream : streams)
        if (stream)
            return true;
    return false;
}

static double due(double now)
{
    double wake = 0;
    MHD_UNSIGNED_LONG_LONG ms;
    served_by = MHD_get_timeout(daemon_, &ms) == MHD_YES ? now + (double)ms / 1e3 : 0;
    wake = served_by;
    if (streams_open()) {
        double push = pushed_at + (dirty ? WEB_PUSH_SECONDS : WEB_REFRESH_SECONDS);
        if (!wake || push < wake)
            wake = push;
    }
    return wake;
}

static int descriptor()
{
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    return info ? info->epoll_fd : -1;
}

// The state as an event for every stream, sent as each one's connection takes it.
static void push(double now)
{
    char *text = web_state_json(&view, now);
    if (!text)
        return;  // out of memory: the streams keep the last state
    size_t length = strlen(text);
    char *event = (char *)realloc(pushed, length + 32);
    if (event) {
        pushed = event;
        pushed_length = (size_t)snprintf(event, length + 32, "retry: 1000\ndata: %s\n\n", text);
        generation++;
        pushed_at = now;
        dirty = false;
        for (web_stream *stream : streams)
            if (stream && stream->suspended) {
                stream->suspended = false;
                MHD_resume_connection(stream->connection);
            }
    }
    free(text);
}

static void take(const monitor_record *)
{
    dirty = true;
}

// The connections' turn: requests, answers, time-outs.
static void serve(double now)
{
    now_ = now;
    MHD_run(daemon_);
}

// Between requests, the library runs when its time-outs are due and after a push; a burst of
// datagrams alone does not wake it.
static void flush(double now)
{
    if (streams_open() && now >= pushed_at + (dirty ? WEB_PUSH_SECONDS : WEB_REFRESH_SECONDS)) {
        push(now);
        serve(now);  // the resumed streams take it now
    } else if (served_by && now >= served_by) {
        serve(now);
    }
}

static void end(double)
{
    for (web_stream *stream : streams)
        if (stream && stream->suspended) {
            stream->suspended = false;
            MHD_resume_connection(stream->connection);
        }
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    close(listener);
    free(pushed);
    free(state);
}

const monitor_output *web_output(const struct sockaddr_in *address)
{
    static const monitor_output output = {take, flush, due, descriptor, serve, end};
    char where[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address->sin_addr, where, sizeof(where));
    // Our own socket, so a port in use is named as such; reused at once after a restart.
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0 ||
        bind(listener, (const struct sockaddr *)address, sizeof(*address)) < 0 || listen(listener, 64) < 0) {
        fprintf(stderr, "cannot serve HTTP on %s:%u: %s\n", where, ntohs(address->sin_port), strerror(errno));
        return nullptr;
    }
    // The connection's memory holds its request (a header of up to 16 KiB) and an event.
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, answer, nullptr,
                               MHD_OPTION_LISTEN_SOCKET, listener,
                               MHD_OPTION_CONNECTION_LIMIT, (unsigned)WEB_MAX_CONNECTIONS,
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, (unsigned)WEB_MAX_PER_ADDRESS,
                               MHD_OPTION_CONNECTION_TIMEOUT, WEB_IDLE_SECONDS,
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, (size_t)(WEB_HEADER_LIMIT * 3),
                               MHD_OPTION_END);
    if (!daemon_) {
        fprintf(stderr, "cannot serve HTTP on %s:%u: %s\n", where, ntohs(address->sin_port),
                "the HTTP library did not start");
        return nullptr;
    }
    return &output;
}
