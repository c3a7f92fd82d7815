// kit-monitor receiving 6,250 datagrams a second on loopback while it writes its lines, a candump
// log and a pcap file, against a bare receive loop at the same rate: loss by the sender's count
// and CPU time (user + system) per datagram.
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

int main(int argc, char **argv)
{
    const char *monitor = argc > 1 ? argv[1] : KIT_MONITOR_PATH;
    char dir[] = "/tmp/kit-bench-monitor-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    std::string lines = std::string(dir) + "/lines", log = std::string(dir) + "/s.log",
                pcap = std::string(dir) + "/s.pcap";
    const int port = 17000 + getpid() % 20000;
    const std::string port_text = std::to_string(port);

    pid_t pid = fork();
    if (pid == 0) {
        int out = open(lines.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        execl(monitor, monitor, "-p", port_text.c_str(), "-L", log.c_str(), "-w", pcap.c_str(), (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500 && file_text(lines).find("listening") == std::string::npos; i++)
        pause_ms(10);
    int sent = send_frames(port);
    for (int i = 0; i < 300 && file_text(log).size() < (size_t)sent * 51; i++)  // 51 bytes a line
        pause_ms(10);
    kill(pid, SIGTERM);
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    std::string text = file_text(lines);
    size_t at = text.find("summary: ");
    long received = at == std::string::npos ? -1 : atol(text.c_str() + at + 9);
    report("kit-monitor -L -w, lines to a file", sent, received, &usage);
    printf("  candump log %zu bytes, pcap %zu bytes\n", file_text(log).size(), file_text(pcap).size());

    // The least a receiver does: one recv per datagram, counted, with the monitor's queue size; a
// 1-byte datagram ends it.
    int ready[2], counted[2];
    if (pipe(ready) < 0 || pipe(counted) < 0)
        return 1;
    pid = fork();
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
    sent = send_frames(port);
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
    report("bare receive loop                  ", sent, bare, &usage);
    std::string clean = std::string("rm -rf ") + dir;
    return system(clean.c_str()) == 0 ? 0 : 1;
}
