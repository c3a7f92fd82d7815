// SPDX-License-Identifier: GPL-2.0-or-later
#include "stdout_queue.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <climits>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

// A ring: the writer takes from tail, the loop adds at head; both only grow (modulo the size).
static char ring[STDOUT_QUEUE_SIZE];
static size_t head, tail;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t work = PTHREAD_COND_INITIALIZER, written = PTHREAD_COND_INITIALIZER;
static bool started, waiting, failed;
static char error[64];

static void *write_queue(void *)
{
    pthread_mutex_lock(&lock);
    for (;;) {
        while (head == tail && !failed) {
            waiting = true;
            pthread_cond_wait(&work, &lock);
            waiting = false;
        }
        if (failed)
            break;
        // A pipe's atomic size at a time: what a stalled reader's pipe took is then written off
        // the queue, not counted as lost at the end.
        size_t from = tail % STDOUT_QUEUE_SIZE;
        size_t length = head - tail < STDOUT_QUEUE_SIZE - from ? head - tail : STDOUT_QUEUE_SIZE - from;
        if (length > PIPE_BUF)
            length = PIPE_BUF;
        pthread_mutex_unlock(&lock);
        ssize_t n = write(STDOUT_FILENO, ring + from, length);
        int why = errno;
        if (n < 0 && why == EAGAIN) {  // someone made it non-blocking: wait for room here
            struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
            poll(&out, 1, -1);
        }
        pthread_mutex_lock(&lock);
        if (n > 0)
            tail += (size_t)n;
        else if (n == 0 || (why != EINTR && why != EAGAIN)) {
            snprintf(error, sizeof(error), "%s", strerror(n == 0 ? EIO : why));
            failed = true;
            fprintf(stderr, "cannot write standard output: %s\n", error);
        }
        pthread_cond_broadcast(&written);
    }
    pthread_cond_broadcast(&written);
    pthread_mutex_unlock(&lock);
    return nullptr;
}

void stdout_start()
{
    sigset_t all, old;
    sigfillset(&all);
    sigdelset(&all, SIGPIPE);  // a reader gone ends the program, as it does any filter's
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t writer;
    started = pthread_create(&writer, nullptr, write_queue, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (started)
        pthread_detach(writer);
}

bool stdout_put(const char *text, size_t length)
{
    if (!started)
        return fwrite(text, 1, length, stdout) == length && fflush(stdout) == 0;
    pthread_mutex_lock(&lock);
    bool room = !failed && STDOUT_QUEUE_SIZE - (head - tail) >= length;
    for (size_t done = 0; room && done < length;) {
        size_t at = head % STDOUT_QUEUE_SIZE;
        size_t n = length - done < STDOUT_QUEUE_SIZE - at ? length - done : STDOUT_QUEUE_SIZE - at;
        memcpy(ring + at, text + done, n);
        head += n;
        done += n;
    }
    pthread_mutex_unlock(&lock);
    return room;
}

void stdout_flush()
{
    pthread_mutex_lock(&lock);
    if (waiting && head != tail)
        pthread_cond_signal(&work);
    pthread_mutex_unlock(&lock);
}

bool stdout_idle()
{
    pthread_mutex_lock(&lock);
    bool idle = head == tail;
    pthread_mutex_unlock(&lock);
    return idle;
}

// Waits on the condition until everything is written, standard output failed, or the
// realtime clock passes until. Returns whether the queue is empty.
static bool wait_written(const struct timespec *until)
{
    pthread_mutex_lock(&lock);
    if (head != tail)
        pthread_cond_signal(&work);
    while (head != tail && !failed && pthread_cond_timedwait(&written, &lock, until) == 0) {
    }
    bool empty = head == tail;
    pthread_mutex_unlock(&lock);
    return empty;
}

static struct timespec realtime_in(double seconds)
{
    struct timespec at;
    clock_gettime(CLOCK_REALTIME, &at);  // the condition variable's clock
    long long ns = (long long)at.tv_nsec + (long long)(seconds * 1e9);
    at.tv_sec += (time_t)(ns / 1000000000);
    at.tv_nsec = (long)(ns % 1000000000);
    return at;
}

bool stdout_drain(double seconds, double busy_seconds)
{
    if (!started)
        return true;
    struct timespec until = realtime_in(seconds);
    if (wait_written(&until))
        return true;
    // Standard output takes more: it is this machine that is slow, not the reader.
    struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
    if (stdout_error()[0] || poll(&out, 1, 0) != 1 || !(out.revents & POLLOUT))
        return false;
    until = realtime_in(busy_seconds - seconds);
    return wait_written(&until);
}

unsigned long stdout_unwritten()
{
    pthread_mutex_lock(&lock);
    unsigned long lines = 0;
    for (size_t i = tail; i != head; i++)
        lines += ring[i % STDOUT_QUEUE_SIZE] == '\n';
    pthread_mutex_unlock(&lock);
    return lines;
}

const char *stdout_error()
{
    pthread_mutex_lock(&lock);
    const char *why = failed ? error : "";
    pthread_mutex_unlock(&lock);
    return why;
}
