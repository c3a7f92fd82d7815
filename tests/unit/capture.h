// SPDX-License-Identifier: GPL-2.0-or-later
// Captures what the code under test writes to stdout or stderr, through the real descriptor,
// so printf formats are checked byte for byte.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

class CaptureFd {
public:
    explicit CaptureFd(int fd) : fd_(fd)
    {
        fflush(nullptr);
        char name[] = "/tmp/kit-capture-XXXXXX";
        file_ = mkstemp(name);
        unlink(name);
        saved_ = dup(fd_);
        dup2(file_, fd_);
    }
    ~CaptureFd()
    {
        restore();
        close(file_);
    }
    CaptureFd(const CaptureFd &) = delete;
    CaptureFd &operator=(const CaptureFd &) = delete;

    // Everything written so far; stops the capture.
    std::string text()
    {
        restore();
        std::string out;
        lseek(file_, 0, SEEK_SET);
        char buf[4096];
        ssize_t n;
        while ((n = read(file_, buf, sizeof(buf))) > 0)
            out.append(buf, (size_t)n);
        return out;
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    int file_ = -1;
    int saved_ = -1;
};

// Points stdout at the null device for its lifetime, as a service manager's StandardOutput=null.
struct NullStdout {
    int saved = (fflush(stdout), dup(STDOUT_FILENO));
    int null = open("/dev/null", O_WRONLY);
    NullStdout() { dup2(null, STDOUT_FILENO); }
    ~NullStdout()
    {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(null);
    }
};

// The process's write system calls so far: writes to the null device show up here only.
inline long write_calls()
{
    long n = -1;
    char line[64];
    FILE *f = fopen("/proc/self/io", "r");
    while (f && fgets(line, sizeof(line), f))
        sscanf(line, "syscw: %ld", &n);
    if (f)
        fclose(f);
    return n;
}
