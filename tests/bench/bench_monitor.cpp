// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor receiving 6,250 datagrams a second on loopback while it writes its lines, a candump
// log and a pcap file; then the same with its live page (-H) pushed to 20 browsers' event
// streams; then with three clients polling /state as fast as they can; against a bare receive
// loop at the same rate. Each row: loss by the sender's count, the kernel's drops on the port
// (the monitor's own count, and /proc/net/udp's before it ends), and CPU time (user + system)
// per datagram. Figures, not pass or fail: the machine may be busy with other work.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr int RATE = 6250, COUNT = 25000;  // four seconds
constexpr int STREAMS = 20, POLLERS = 3;

static std::string file_text(const std::string &path)
{
    std::string text;
    char buffer[65536];
    int fd = open(path.c_str(), O_RDONLY);
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buffer, sizeof(buffer))) > 0)
        text.append(buffer, (size_t)n);
    if (fd >= 0)
        close(fd);
    return text;
}

static void pause_ms(int ms)
{
    struct timespec t = {0, ms * 1000000L};
    nanosleep(&t, nullptr);
}

static struct sockaddr_in loopback(int port, int host = 1)
{
    struct sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons((uint16_t)port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + (uint32_t)host);  // 127.0.0.<host>
    return at;
}

// COUNT frames at RATE to 127.0.0.1:port, paced on the monotonic clock; returns how many the
// system took.
static int send_frames(int port)
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to = loopback(port);
    uint8_t frame[13] = {0x00, 0x23, 0x03, 0x00, 8};
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    int sent = 0;
    for (int i = 0; i < COUNT; i++) {
        frame[8] = (uint8_t)i;  // a changing contact number
        if (sendto(sock, frame, sizeof(frame), 0, (struct sockaddr *)&to, sizeof(to)) == 13)
            sent++;
        next.tv_nsec += 1000000000L / RATE;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_sec++;
            next.tv_nsec -= 1000000000L;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    close(sock);
    return sent;
}

// The drops column of /proc/net/udp for the socket bound to port: the kernel's own count.
static long proc_drops(int port)
{
    FILE *f = fopen("/proc/net/udp", "r");
    char line[512];
    long drops = -1;
    while (f && fgets(line, sizeof(line), f)) {
        unsigned local_port;
        long d;
        if (sscanf(line, " %*d: %*x:%x %*x:%*x %*x %*x:%*x %*x:%*x %*x %*d %*d %*d %*d %*x %ld", &local_port, &d) == 2 &&
            (int)local_port == port)
            drops = d;
    }
    if (f)
        fclose(f);
    return drops;
}

static double cpu_seconds(const struct rusage *usage)
{
    return (double)(usage->ru_utime.tv_sec + usage->ru_stime.tv_sec) +
           (double)(usage->ru_utime.tv_usec + usage->ru_stime.tv_usec) / 1e6;
}

// One row; returns the CPU time per datagram in microseconds.
static double report(const char *what, int sent, long received, const struct rusage *usage)
{
    double cpu = cpu_seconds(usage), per = received > 0 ? cpu * 1e6 / (double)received : 0.0;
    printf("%s: sent %d at %d/s, received %ld, lost %ld; CPU %.3f s, %.2f us per datagram\n", what, sent, RATE,
           received, sent - received, cpu, per);
    return per;
}

// Children that stand for browsers or scripts at http_port: streams readers of /events or
// pollers of /state, each from its own loopback address in turns of at most 8 (the monitor's
// limit per address). Returns once all are connected (false if they could not), with *stop:
// closing it makes them write what they got (bytes read, or /state answers) to *result and end.
static bool start_clients(int http_port, int streams, int pollers, int *stop, int *result, pid_t *pid)
{
    int ready[2], stop_pipe[2], result_pipe[2];
    if (pipe(ready) < 0 || pipe(stop_pipe) < 0 || pipe(result_pipe) < 0)
        return false;
    int clients = streams + pollers;
    for (int c = 0; c < clients; c++) {
        pid_t child = fork();
        if (child != 0) {
            pid[c] = child;
            continue;
        }
        close(stop_pipe[1]);
        int sock = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in from = loopback(0, 2 + c / 8), at = loopback(http_port);
        const char *request = c < streams ? "GET /events HTTP/1.1\r\nHost: bench\r\n\r\n"
                                          : "GET /state HTTP/1.1\r\nHost: bench\r\n\r\n";
        if (bind(sock, (struct sockaddr *)&from, sizeof(from)) < 0 ||
            connect(sock, (struct sockaddr *)&at, sizeof(at)) < 0 || write(sock, request, strlen(request)) < 0)
            _exit(1);
        (void)!write(ready[1], "r", 1);
        long got = 0;
        static char buffer[1 << 20];
        size_t have = 0;
        for (;;) {
            fd_set in;
            FD_ZERO(&in);
            FD_SET(stop_pipe[0], &in);
            FD_SET(sock, &in);
            if (select(FD_SETSIZE, &in, nullptr, nullptr, nullptr) < 0 || FD_ISSET(stop_pipe[0], &in))
                break;
            ssize_t n = read(sock, buffer + have, sizeof(buffer) - have - 1);
            if (n <= 0)
                break;
            if (c < streams) {
                got += n;
                continue;
            }
            // A poller: once the whole answer is in, the next request at once.
            have += (size_t)n;
            buffer[have] = '\0';
            char *body = strstr(buffer, "\r\n\r\n"), *length = strstr(buffer, "Content-Length: ");
            if (!body || !length || have < (size_t)(body + 4 - buffer) + strtoul(length + 16, nullptr, 10))
                continue;
            got++;
            have = 0;
            if (write(sock, request, strlen(request)) < 0)
                break;
        }
        (void)!write(result_pipe[1], &got, sizeof(got));
        _exit(0);
    }
    close(ready[1]);
    close(stop_pipe[0]);
    close(result_pipe[1]);
    *stop = stop_pipe[1];
    *result = result_pipe[0];
    int connected = 0;
    char c;
    while (connected < clients && read(ready[0], &c, 1) == 1)
        connected++;
    close(ready[0]);
    return connected == clients;
}

// kit-monitor with its captures, and with streams browsers or pollers on -H: one row.
static double run_monitor(const char *monitor, const char *dir, int port, int streams, int pollers,
                          const char *what)
{
    std::string lines = std::string(dir) + "/lines", log = std::string(dir) + "/s.log",
                pcap = std::string(dir) + "/s.pcap";
    const std::string port_text = std::to_string(port), http_text = "127.0.0.1:" + std::to_string(port + 1);
    const bool web = streams || pollers;

    unlink(lines.c_str());  // the ready line of this run, not of the last one
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(lines.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        if (web)
            execl(monitor, monitor, "-p", port_text.c_str(), "-L", log.c_str(), "-w", pcap.c_str(), "-H",
                  http_text.c_str(), (char *)nullptr);
        else
            execl(monitor, monitor, "-p", port_text.c_str(), "-L", log.c_str(), "-w", pcap.c_str(), (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500 && file_text(lines).find("listening") == std::string::npos; i++)
        pause_ms(10);
    int stop = -1, result = -1;
    pid_t clients[STREAMS + POLLERS];
    bool connected = !web || start_clients(port + 1, streams, pollers, &stop, &result, clients);
    int sent = send_frames(port);
    for (int i = 0; i < 300 && file_text(log).size() < (size_t)sent * 51; i++)  // 51 bytes a line
        pause_ms(10);
    long got = 0, drops = proc_drops(port);
    if (web) {  // before the monitor ends, so the end is not counted
        close(stop);
        for (int c = 0; c < streams + pollers; c++) {
            long n = 0;
            if (read(result, &n, sizeof(n)) == sizeof(n))
                got += n;
        }
        for (int c = 0; c < streams + pollers; c++)
            waitpid(clients[c], nullptr, 0);
    }
    kill(pid, SIGTERM);
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    std::string text = file_text(lines);
    size_t at = text.find("summary: ");
    long received = at == std::string::npos ? -1 : atol(text.c_str() + at + 9);
    double per = report(what, sent, received, &usage);
    at = text.find("lost: ");
    std::string lost = at == std::string::npos ? "(no lost line)" : text.substr(at, text.find('\n', at) - at);
    printf("  %s; /proc/net/udp drops %ld; exit status %d\n", lost.c_str(), drops,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    printf("  candump log %zu bytes, pcap %zu bytes", file_text(log).size(), file_text(pcap).size());
    if (streams)
        printf("; the %d event streams read %ld bytes", streams, got);
    if (pollers)
        printf("; the %d clients got %ld answers from /state (%.0f a second)", pollers, got,
               (double)got * RATE / COUNT);
    printf("%s\n", connected ? "" : " (the clients could not all connect)");
    return per;
}

// The least a receiver does: one recv per datagram, counted, with the monitor's queue size; a
// 1-byte datagram ends it.
static double run_bare(int port)
{
    int ready[2], counted[2];
    if (pipe(ready) < 0 || pipe(counted) < 0)
        return 0;
    pid_t pid = fork();
    if (pid == 0) {
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        int queue = 4 << 20;  // the monitor's queue
        if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof(queue)) < 0)
            setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &queue, sizeof(queue));
        struct sockaddr_in at = loopback(port);
        if (bind(sock, (struct sockaddr *)&at, sizeof(at)) < 0)
            _exit(1);
        (void)!write(ready[1], "r", 1);
        uint8_t buffer[65536];
        long count = 0;
        while (recv(sock, buffer, sizeof(buffer), 0) != 1)
            count++;
        (void)!write(counted[1], &count, sizeof(count));
        _exit(0);
    }
    char c;
    if (read(ready[0], &c, 1) != 1)
        return 0;
    int sent = send_frames(port);
    long bare = -1;
    for (int i = 0; i < 100 && bare < 0; i++) {  // the stop datagram may be lost under load
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in to = loopback(port);
        sendto(sock, "x", 1, 0, (struct sockaddr *)&to, sizeof(to));
        close(sock);
        fd_set in;
        FD_ZERO(&in);
        FD_SET(counted[0], &in);
        struct timeval wait = {0, 100000};
        if (select(counted[0] + 1, &in, nullptr, nullptr, &wait) == 1 && read(counted[0], &bare, sizeof(bare)) != sizeof(bare))
            bare = -1;
    }
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    return report("bare receive loop                                  ", sent, bare, &usage);
}

int main(int argc, char **argv)
{
    const char *monitor = argc > 1 ? argv[1] : KIT_MONITOR_PATH;
    char dir[] = "/tmp/kit-bench-monitor-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    const int port = 17000 + getpid() % 20000;
    double captures = run_monitor(monitor, dir, port, 0, 0, "kit-monitor -L -w, lines to a file                 ");
    double streams = run_monitor(monitor, dir, port, STREAMS, 0, "kit-monitor -L -w -H, 20 event streams connected   ");
    run_monitor(monitor, dir, port, 0, POLLERS, "kit-monitor -L -w -H, 3 clients polling /state     ");
    double bare = run_bare(port);
    if (bare > 0 && captures > 0)
        printf("kit-monitor -L -w: %.2fx the bare loop's CPU per datagram; with -H and %d event streams "
               "%+.0f%% on that\n", captures / bare, STREAMS, (streams / captures - 1) * 100);
    std::string clean = std::string("rm -rf ") + dir;
    return system(clean.c_str()) == 0 ? 0 : 1;
}
