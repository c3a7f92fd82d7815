#include "web.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
static const live_view *view;
static const unsigned long *counts;
static web_stream *streams[WEB_MAX_STREAMS];
static unsigned long generation;  // bumped at each push
static char *pushed;              // the state of that push as an event
static size_t pushed_length;
static double pushed_at;
static bool dirty;

static json_t *module_json(const live_module *module, double now)
{
    json_t *occupied = json_array(), *age = json_array();
    for (int j = 0; j < 16; j++) {
        json_array_append_new(occupied, json_integer(module->occupied >> j & 1));
        json_array_append_new(age, module->seen >> j & 1 ? json_real(now - module->changed[j]) : json_null());
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
    uint8_t frame[13] = {(uint8_t)(row->id >> 24), (uint8_t)(row->id >> 16), (uint8_t)(row->id >> 8),
                         (uint8_t)row->id, row->dlc};
    memcpy(frame + 5, row->data, 8);
    char decoded[MONITOR_TEXT_SIZE];
    int kind = decode_datagram(frame, sizeof(frame), 0, decoded, sizeof(decoded));
    return json_pack("{s:s, s:I, s:o, s:i, s:s, s:o, s:s, s:b}", "id", id, "count", (json_int_t)row->count,
                     "period_ms", row->count > 1 ? json_real(row->period * 1e3) : json_null(), "dlc", row->dlc,
                     "data", data, "changed", changed, "kind", monitor_kind_names[kind], "quiet",
                     now - row->last >= LIVE_QUIET_SECONDS);
}

char *web_state_json(const live_view *view, const unsigned long *counts, double now)
{
    json_t *contacts = json_object(), *modules = json_array();
    for (int m = 0; m < view->module_count; m++) {
        const live_module *module = &view->modules[m];
        for (int j = 0; j < 16; j++) {
            if (!(module->seen >> j & 1))
                continue;
            char number[16];
            snprintf(number, sizeof(number), "%d", (module->number - 1) * 16 + j + 1);
            json_object_set_new(contacts, number, json_integer(module->occupied >> j & 1));
        }
        json_array_append_new(modules, module_json(module, now));
    }
    json_t *kinds = json_object();
    json_int_t total = 0;
    for (int k = 0; k < KIND_COUNT; k++) {
        json_object_set_new(kinds, monitor_kind_names[k], json_integer((json_int_t)counts[k]));
        total += (json_int_t)counts[k];
    }
    json_t *ids = json_array(), *recent = json_array();
    for (int r = 0; r < view->row_count; r++)
        json_array_append_new(ids, row_json(&view->rows[r], now));
    unsigned long first = view->recent_count > LIVE_RECENT_LINES ? view->recent_count - LIVE_RECENT_LINES : 0;
    for (unsigned long i = first; i < view->recent_count; i++)
        json_array_append_new(recent, json_string(view->recent[i % LIVE_RECENT_LINES]));
    json_t *state = json_pack("{s:o, s:o, s:I, s:I, s:o, s:o, s:I, s:o}", "contacts", contacts, "counts", kinds,
                              "datagrams", total, "frames", (json_int_t)view->frames, "modules", modules,
                              "ids", ids, "ids_not_shown", (json_int_t)view->ids_not_shown, "recent", recent);
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
    if (!stream)
        return reply(connection, MHD_HTTP_SERVICE_UNAVAILABLE, text_response("too many event streams\n"),
                     "text/plain");
    stream->connection = connection;
    stream->generation = generation - 1;  // the newest state goes out at once
    MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, stream_body,
                                                               stream, stream_closed);
    if (!response) {
        free(stream);
        return MHD_NO;
    }
    *slot = stream;
    return reply(connection, MHD_HTTP_OK, response, "text/event-stream");
}

// Read-only: GET and HEAD of three paths; the rest is refused before any body is read.
static MHD_Result answer(void *, MHD_Connection *connection, const char *url, const char *method,
                         const char *, const char *, size_t *, void **)
{
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        MHD_Response *response = text_response("method not allowed: this page only shows\n");
        if (response)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, response, "text/plain");
    }
    if (strcmp(url, "/") == 0)
        return reply(connection, MHD_HTTP_OK, text_response(web_page), "text/html; charset=utf-8");
    if (strcmp(url, "/state") == 0) {
        char *text = web_state_json(view, counts, monotonic_seconds());
        if (!text)
            return MHD_NO;
        MHD_Response *response = MHD_create_response_from_buffer(strlen(text), text, MHD_RESPMEM_MUST_FREE);
        if (!response)
            free(text);
        return reply(connection, MHD_HTTP_OK, response, "application/json");
    }
    if (strcmp(url, "/events") == 0)
        return open_stream(connection);
    return reply(connection, MHD_HTTP_NOT_FOUND, text_response("not found\n"), "text/plain");
}

int web_start(const struct sockaddr_in *address, const live_view *live, const unsigned long *kinds)
{
    view = live;
    counts = kinds;
    char where[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address->sin_addr, where, sizeof(where));
    // Our own socket, so a port in use is named as such; reused at once after a restart.
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0 ||
        bind(listener, (const struct sockaddr *)address, sizeof(*address)) < 0 || listen(listener, 64) < 0) {
        fprintf(stderr, "cannot serve HTTP on %s:%u: %s\n", where, ntohs(address->sin_port), strerror(errno));
        return -1;
    }
    daemon_ = MHD_start_daemon(MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, answer, nullptr,
                               MHD_OPTION_LISTEN_SOCKET, listener,
                               MHD_OPTION_CONNECTION_LIMIT, (unsigned)WEB_MAX_CONNECTIONS,
                               MHD_OPTION_CONNECTION_TIMEOUT, WEB_TIMEOUT_SECONDS,
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, WEB_REQUEST_MEMORY,
                               MHD_OPTION_END);
    if (!daemon_) {
        fprintf(stderr, "cannot serve HTTP on %s:%u: %s\n", where, ntohs(address->sin_port),
                "the HTTP library did not start");
        return -1;
    }
    return 0;
}

static bool streams_open()
{
    for (web_stream *stream : streams)
        if (stream)
            return true;
    return false;
}

double web_wait_sets(wait_extra *extra, double now)
{
    FD_ZERO(&extra->read);
    FD_ZERO(&extra->write);
    FD_ZERO(&extra->except);
    extra->highest = -1;
    MHD_socket highest = -1;
    MHD_get_fdset(daemon_, &extra->read, &extra->write, &extra->except, &highest);
    extra->highest = highest;
    double wake = 0;
    MHD_UNSIGNED_LONG_LONG ms;
    if (MHD_get_timeout(daemon_, &ms) == MHD_YES)
        wake = now + (double)ms / 1e3;
    if (streams_open()) {
        double push = pushed_at + (dirty ? WEB_PUSH_SECONDS : WEB_REFRESH_SECONDS);
        if (!wake || push < wake)
            wake = push;
    }
    return wake;
}

// The state as an event for every stream, sent as each one's connection takes it.
static void push(double now)
{
    char *text = web_state_json(view, counts, now);
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

void web_run(const fd_set *ready, const wait_extra *extra, bool changed, double now)
{
    fd_set none;
    FD_ZERO(&none);
    MHD_run_from_select(daemon_, ready ? ready : &none, ready ? &extra->write : &none,
                        ready ? &extra->except : &none);
    dirty = dirty || changed;
    if (streams_open() && now >= pushed_at + (dirty ? WEB_PUSH_SECONDS : WEB_REFRESH_SECONDS))
        push(now);
}

void web_stop()
{
    if (!daemon_)
        return;
    for (web_stream *stream : streams)
        if (stream && stream->suspended) {
            stream->suspended = false;
            MHD_resume_connection(stream->connection);
        }
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    close(listener);
    free(pushed);
}
