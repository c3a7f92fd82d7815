// kit-monitor receiving 6,250 datagrams a second on loopback while it writes its lines, a candump
// log and a pcap file, then the same with its live page (-H) pushed to 20 browsers' event streams,
// against a bare receive loop at the same rate: loss by the sender's count and CPU time (user +
// system) per datagram.
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

static struct sockaddr_in loopback(int port)
{
    struct sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons((uint16_t)port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

static void report(const char *what, int sent, long received, const struct rusage *usage)
{
    double cpu = (double)(usage->ru_utime.tv_sec + usage->ru_stime.tv_sec) +
                 (double)(usage->ru_utime.tv_usec + usage->ru_stime.tv_usec) / 1e6;
    printf("%s: sent %d at %d/s, received %ld, lost %ld; CPU %.3f s, %.2f us per datagram\n", what,
           sent, RATE, received, sent - received, cpu, received ? cpu * 1e6 / (double)received : 0.0);
}

// Browsers on the page: streams connections to /events at http_port, each read as it comes,
// in a child process. Returns its pid once all are connected (-1 if they could not), with
// *stop: closing it makes the child write the bytes it read to *result and end.
static pid_t open_event_streams(int http_port, int streams, int *stop, int *result)
{
    int ready[2], stop_pipe[2], result_pipe[2];
    if (pipe(ready) < 0 || pipe(stop_pipe) < 0 || pipe(result_pipe) < 0)
        return -1;
    pid_t pid = fork();
    if (pid != 0) {
        char c;
        close(ready[1]);
        close(stop_pipe[0]);
        close(result_pipe[1]);
        *stop = stop_pipe[1];
        *result = result_pipe[0];
        bool ok = read(ready[0], &c, 1) == 1;
        close(ready[0]);
        return ok ? pid : -1;
    }
    close(stop_pipe[1]);
    int fds[64];
    struct sockaddr_in at = loopback(http_port);
    for (int i = 0; i < streams; i++) {
        fds[i] = socket(AF_INET, SOCK_STREAM, 0);
        const char request[] = "GET /events HTTP/1.1\r\nHost: bench\r\n\r\n";
        if (connect(fds[i], (struct sockaddr *)&at, sizeof(at)) < 0 ||
            write(fds[i], request, sizeof(request) - 1) < 0)
            _exit(1);
    }
    (void)!write(ready[1], "r", 1);
    long total = 0;
    for (;;) {
        fd_set in;
        FD_ZERO(&in);
        FD_SET(stop_pipe[0], &in);
        for (int i = 0; i < streams; i++)
            if (fds[i] >= 0)
                FD_SET(fds[i], &in);
        if (select(FD_SETSIZE, &in, nullptr, nullptr, nullptr) < 0 || FD_ISSET(stop_pipe[0], &in))
            break;
        char buffer[65536];
        for (int i = 0; i < streams; i++) {
            ssize_t n = fds[i] >= 0 && FD_ISSET(fds[i], &in) ? read(fds[i], buffer, sizeof(buffer)) : 1;
            total += n > 0 ? n : 0;
            if (n <= 0) {
                close(fds[i]);  // closed by the monitor: no more to read
                fds[i] = -1;
            }
        }
    }
    (void)!write(result_pipe[1], &total, sizeof(total));
    _exit(0);
}

// kit-monitor with its captures (and with streams browsers on -H unless 0) at RATE: one row.
static void run_monitor(const char *monitor, const char *dir, int port, int streams, const char *what)
{
    std::string lines = std::string(dir) + "/lines", log = std::string(dir) + "/s.log",
                pcap = std::string(dir) + "/s.pcap";
    const std::string port_text = std::to_string(port), http_text = "127.0.0.1:" + std::to_string(port + 1);

    unlink(lines.c_str());  // the ready line of this run, not of the last one
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(lines.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        if (streams)
            execl(monitor, monitor, "-p", port_text.c_str(), "-L", log.c_str(), "-w", pcap.c_str(), "-H",
                  http_text.c_str(), (char *)nullptr);
        else
            execl(monitor, monitor, "-p", port_text.c_str(), "-L", log.c_str(), "-w", pcap.c_str(), (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500 && file_text(lines).find("listening") == std::string::npos; i++)
        pause_ms(10);
    int stop = -1, result = -1;
    pid_t browsers = streams ? open_event_streams(port + 1, streams, &stop, &result) : 0;
    int sent = send_frames(port);
    for (int i = 0; i < 300 && file_text(log).size() < (size_t)sent * 51; i++)  // 51 bytes a line
        pause_ms(10);
    long streamed = 0;
    if (browsers > 0) {  // before the monitor ends, so the end is not counted
        close(stop);
        if (read(result, &streamed, sizeof(streamed)) != sizeof(streamed))
            streamed = -1;
        int status;
        waitpid(browsers, &status, 0);
    }
    kill(pid, SIGTERM);
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    std::string text = file_text(lines);
    size_t at = text.find("summary: ");
    long received = at == std::string::npos ? -1 : atol(text.c_str() + at + 9);
    report(what, sent, received, &usage);
    printf("  candump log %zu bytes, pcap %zu bytes", file_text(log).size(), file_text(pcap).size());
    if (streams)
        printf("; the %d event streams read %ld bytes%s", streams, streamed,
               browsers < 0 ? " (they could not connect)" : "");
    printf("\n");
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
    run_monitor(monitor, dir, port, 0, "kit-monitor -L -w, lines to a file              ");
    run_monitor(monitor, dir, port, 20, "kit-monitor -L -w -H, 20 event streams connected");

    // The least a receiver does: one recv per datagram, counted, with the monitor's queue size; a
// 1-byte datagram ends it.
    int ready[2], counted[2];
    if (pipe(ready) < 0 || pipe(counted) < 0)
        return 1;
    pid_t pid = fork();
    if (pid == 0) {
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        int queue = 2 << 20;  // the monitor's queue
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
        return 1;
    int status;
    struct rusage usage;
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
    wait4(pid, &status, 0, &usage);
    report("bare receive loop                               ", sent, bare, &usage);
    std::string clean = std::string("rm -rf ") + dir;
    return system(clean.c_str()) == 0 ? 0 : 1;
}
