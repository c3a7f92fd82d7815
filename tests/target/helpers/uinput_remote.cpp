// uinput-remote: an infrared receiver as the kernel's rc drivers present one, made with uinput
// and played from the command line, so that a test can feed a real input event device. Ours
// because the VM has busybox, can-utils and the C library only: evemu-play and libevdev are not
// there.
//
//   uinput-remote [-g GOFILE] [-e ENDFILE] STEP...
//     press=V  one key press: EV_MSC MSC_RAW V, EV_MSC MSC_SCAN V, EV_KEY down, SYN, then
//              EV_KEY up, SYN (the key and sync events are what a reader must ignore)
//     scan=V   EV_MSC MSC_SCAN V, SYN          raw=V  EV_MSC MSC_RAW V, SYN
//     key=C    EV_KEY C down, SYN, up, SYN     sleep=MS  a real pause
// Prints the evdev name ("event3") once the device exists, waits for GOFILE to exist before
// the first step, prints "played" after the last, waits for ENDFILE, then removes the device.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int fd = -1;

static void die(const char *what)
{
    fprintf(stderr, "uinput-remote: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

static void wait_for_file(const char *path)
{
    struct stat st;
    for (int i = 0; i < 60000 && stat(path, &st) < 0; i++)
        sleep_ms(10);
}

static void emit(uint16_t type, uint16_t code, int32_t value)
{
    struct input_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.type = type;
    ev.code = code;
    ev.value = value;
    if (write(fd, &ev, sizeof(ev)) != (ssize_t)sizeof(ev))
        die("write");
}

static void sync_report() { emit(EV_SYN, SYN_REPORT, 0); }

static std::string event_name()
{
    char sysname[64] = {};
    if (ioctl(fd, UI_GET_SYSNAME(sizeof(sysname)), sysname) < 0)
        die("UI_GET_SYSNAME");
    std::string dir = std::string("/sys/class/input/") + sysname;
    for (int tries = 0; tries < 200; tries++) {
        if (DIR *d = opendir(dir.c_str())) {
            while (struct dirent *e = readdir(d)) {
                if (strncmp(e->d_name, "event", 5) == 0) {
                    std::string name = e->d_name;
                    closedir(d);
                    return name;
                }
            }
            closedir(d);
        }
        sleep_ms(10);
    }
    errno = ENOENT;
    die("no evdev node for the device");
    return "";
}

int main(int argc, char **argv)
{
    const char *go_file = nullptr, *end_file = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "g:e:")) != -1) {
        if (opt == 'g')
            go_file = optarg;
        else if (opt == 'e')
            end_file = optarg;
        else
            return 2;
    }

    fd = open("/dev/uinput", O_WRONLY);
    if (fd < 0)
        die("/dev/uinput");
    ioctl(fd, UI_SET_EVBIT, EV_SYN);
    ioctl(fd, UI_SET_EVBIT, EV_MSC);
    ioctl(fd, UI_SET_MSCBIT, MSC_SCAN);
    ioctl(fd, UI_SET_MSCBIT, MSC_RAW);
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    for (int k = KEY_ESC; k < KEY_MAX; k++)
        ioctl(fd, UI_SET_KEYBIT, k);
    struct uinput_setup setup;
    memset(&setup, 0, sizeof(setup));
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x1;
    setup.id.product = 0x1;
    strcpy(setup.name, "kit test remote");
    if (ioctl(fd, UI_DEV_SETUP, &setup) < 0)
        die("UI_DEV_SETUP");
    if (ioctl(fd, UI_DEV_CREATE) < 0)
        die("UI_DEV_CREATE");
    printf("%s\n", event_name().c_str());
    fflush(stdout);

    if (go_file)
        wait_for_file(go_file);
    for (int i = optind; i < argc; i++) {
        const char *eq = strchr(argv[i], '=');
        if (!eq) {
            fprintf(stderr, "uinput-remote: bad step %s\n", argv[i]);
            return 2;
        }
        std::string what(argv[i], (size_t)(eq - argv[i]));
        long v = strtol(eq + 1, nullptr, 0);
        if (what == "press") {
            emit(EV_MSC, MSC_RAW, (int32_t)v);
            emit(EV_MSC, MSC_SCAN, (int32_t)v);
            emit(EV_KEY, KEY_OK, 1);
            sync_report();
            emit(EV_KEY, KEY_OK, 0);
            sync_report();
        } else if (what == "scan" || what == "raw") {
            emit(EV_MSC, what == "scan" ? MSC_SCAN : MSC_RAW, (int32_t)v);
            sync_report();
        } else if (what == "key") {
            emit(EV_KEY, (uint16_t)v, 1);
            sync_report();
            emit(EV_KEY, (uint16_t)v, 0);
            sync_report();
        } else if (what == "sleep") {
            sleep_ms(v);
        } else {
            fprintf(stderr, "uinput-remote: bad step %s\n", argv[i]);
            return 2;
        }
    }
    printf("played\n");
    fflush(stdout);

    if (end_file)
        wait_for_file(end_file);
    ioctl(fd, UI_DEV_DESTROY);
    close(fd);
    return 0;
}
