// SPDX-License-Identifier: GPL-2.0-or-later
// slcan-bus: a CAN bus on this machine with serial-line CAN adapters on it (slcan_adapter.h),
// each adapter's line a Unix socket that qemu's chardev joins to a virtio console of the board
// (/dev/hvcN in the VM, where slcand makes it a CAN interface):
//
//   slcan-bus [-l LOG] NAME=SOCKET...
//   qemu-system-arm ... -device virtio-serial-device
//     -chardev socket,id=NAME,path=SOCKET -device virtconsole,chardev=NAME ...
//
// It listens on every SOCKET (a stale socket file there is replaced), prints "ready" once they
// all listen, and runs until SIGTERM, SIGINT or SIGHUP, removing its sockets. A frame that an
// adapter puts on the bus reaches every other adapter whose channel is open at the same bit
// rate. A connection to SOCKET is the adapter plugged in, fresh (no bit rate, channel closed); its
// end, the adapter unplugged; a new connection replaces the one before.
// LOG (line-buffered) gets one line per event, on this machine's CLOCK_REALTIME:
//   (SECONDS.MICROSECONDS) NAME plugged in | NAME unplugged
//   (...) NAME COMMAND -> CR|BEL|z|Z: what the adapter did or why it refused[: FRAME to NAME,...]
//   (...) NAME <- TEXT        a frame from the bus written to NAME's line
//   (...) NAME dropped TEXT   ... that its line could not take at once
// with FRAME as candump -L writes it (1ABCDEF0#CCDD).
#include "slcan_adapter.h"

#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

constexpr int MAX_ADAPTERS = 8;

struct Line {
    const char *name;
    const char *path;
    int listener = -1, connection = -1;
    SlcanAdapter adapter;
};

static Line lines[MAX_ADAPTERS];
static int line_count;
static FILE *log_file;
static volatile sig_atomic_t stop_signal;

static void on_signal(int signal) { stop_signal = signal; }

__attribute__((format(printf, 1, 2))) static void note(const char *format, ...)
{
    if (!log_file)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    fprintf(log_file, "(%lld.%06ld) ", (long long)now.tv_sec, now.tv_nsec / 1000);
    va_list args;
    va_start(args, format);
    vfprintf(log_file, format, args);
    va_end(args);
    fputc('\n', log_file);
}

static int listen_on(const char *path)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        fprintf(stderr, "slcan-bus: %s: longer than a socket's path can be (%zu)\n", path,
                sizeof address.sun_path - 1);
        return -1;
    }
    strcpy(address.sun_path, path);
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path);  // left by a run that was killed
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof address) < 0 || listen(fd, 1) < 0) {
        fprintf(stderr, "slcan-bus: %s: %s\n", path, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

static void unplug(Line *line)
{
    if (line->connection < 0)
        return;
    close(line->connection);
    line->connection = -1;
    line->adapter = SlcanAdapter();
    note("%s unplugged", line->name);
}

// What the adapter writes to its host; a host that does not read loses it, as a full buffer
// of a real adapter does, rather than stopping the whole bus.
static bool send_text(Line *line, const char *text)
{
    size_t length = strlen(text);
    return send(line->connection, text, length, MSG_DONTWAIT | MSG_NOSIGNAL) == (ssize_t)length;
}

static void to_bus(Line *from, const SlcanFrame &frame, const char *command, const char *answer)
{
    char text[SLCAN_LINE_MAX + 2], token[32], receivers[160] = "";
    bool takes[MAX_ADAPTERS] = {};
    for (int i = 0; i < line_count; i++) {
        Line *to = &lines[i];
        takes[i] = to != from && to->connection >= 0 &&
                   slcan_deliver(to->adapter, from->adapter.bitrate, frame, text, sizeof text);
        const size_t used = strlen(receivers);
        if (takes[i])
            snprintf(receivers + used, sizeof receivers - used, "%s%s", used ? ", " : " to ", to->name);
    }
    slcan_frame_text(frame, token, sizeof token);
    note("%s %s -> %s: on the bus: %s%s", from->name, command, answer, token,
         receivers[0] ? receivers : " (no other adapter open at its bit rate)");
    for (int i = 0; i < line_count; i++) {
        if (!takes[i])
            continue;
        slcan_deliver(lines[i].adapter, from->adapter.bitrate, frame, text, sizeof text);
        const bool sent = send_text(&lines[i], text);
        text[strlen(text) - 1] = '\0';  // the CR
        note(sent ? "%s <- %s" : "%s dropped %s", lines[i].name, text);
    }
}

static void take(Line *line, const char *bytes, size_t count)
{
    for (size_t i = 0; i < count && line->connection >= 0; i++) {
        SlcanCommand command;
        if (!slcan_take(&line->adapter, bytes[i], &command))
            continue;
        const char *answer = command.answer[0] == '\r' ? "CR" : command.answer[0] == '\a' ? "BEL"
                             : command.answer[0] == 'z' ? "z" : "Z";
        send_text(line, command.answer);
        if (command.frame)
            to_bus(line, command.out, command.text, answer);
        else if (command.text[0] == 'S' && !command.refused)
            note("%s %s -> %s: %s, %u bit/s", line->name, command.text, answer, command.what,
                 line->adapter.bitrate);
        else
            note("%s %s -> %s: %s", line->name, command.text, answer, command.what);
    }
}

static void usage()
{
    fprintf(stderr, "usage: slcan-bus [-l LOG] NAME=SOCKET...\n");
}

int main(int argc, char **argv)
{
    const char *log_path = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "l:h")) != -1) {
        switch (opt) {
        case 'l': log_path = optarg; break;
        default: usage(); return 2;
        }
    }
    if (optind == argc || argc - optind > MAX_ADAPTERS) {
        usage();
        return 2;
    }
    for (int i = optind; i < argc; i++) {
        char *equals = strchr(argv[i], '=');
        if (!equals || equals == argv[i] || !equals[1]) {
            fprintf(stderr, "slcan-bus: %s: not NAME=SOCKET\n", argv[i]);
            return 2;
        }
        *equals = '\0';
        lines[line_count].name = argv[i];
        lines[line_count++].path = equals + 1;
    }
    if (log_path && !(log_file = fopen(log_path, "w"))) {
        fprintf(stderr, "slcan-bus: %s: %s\n", log_path, strerror(errno));
        return 1;
    }
    if (log_file)
        setvbuf(log_file, nullptr, _IOLBF, 0);

    // Blocked but for ppoll, so that a signal ends the wait and never a write half-way.
    sigset_t blocked, during_poll;
    sigemptyset(&blocked);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&blocked, s);
    sigprocmask(SIG_BLOCK, &blocked, &during_poll);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int status = 0;
    for (int i = 0; i < line_count && status == 0; i++)
        if ((lines[i].listener = listen_on(lines[i].path)) < 0)
            status = 1;
    if (status == 0) {
        printf("ready\n");
        fflush(stdout);
    }
    while (status == 0 && !stop_signal) {
        struct pollfd fds[2 * MAX_ADAPTERS];
        for (int i = 0; i < line_count; i++) {
            fds[2 * i] = {lines[i].listener, POLLIN, 0};
            fds[2 * i + 1] = {lines[i].connection, POLLIN, 0};
        }
        if (ppoll(fds, 2 * (nfds_t)line_count, nullptr, &during_poll) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "slcan-bus: poll: %s\n", strerror(errno));
            status = 1;
            break;
        }
        for (int i = 0; i < line_count; i++) {
            Line *line = &lines[i];
            if (fds[2 * i].revents & POLLIN) {
                int fd = accept4(line->listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    unplug(line);
                    line->connection = fd;
                    note("%s plugged in", line->name);
                }
            }
            if (fds[2 * i + 1].fd >= 0 && fds[2 * i + 1].fd == line->connection &&
                fds[2 * i + 1].revents) {
                char bytes[4096];
                ssize_t n = read(line->connection, bytes, sizeof bytes);
                if (n > 0)
                    take(line, bytes, (size_t)n);
                else if (n == 0 || errno != EINTR)
                    unplug(line);
            }
        }
    }
    for (int i = 0; i < line_count; i++) {
        if (lines[i].listener >= 0) {
            close(lines[i].listener);
            unlink(lines[i].path);
        }
        unplug(&lines[i]);
    }
    if (stop_signal)
        note("stopped by signal %d", (int)stop_signal);
    if (log_file)
        fclose(log_file);
    return status;
}
