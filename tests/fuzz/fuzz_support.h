// SPDX-License-Identifier: GPL-2.0-or-later
// What the fuzz targets share: argument vectors cut from fuzz bytes, a capture of what the code
// under test prints, and a check that stops the run with a readable reason.
#pragma once

#include "cli.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A broken promise: print why and abort, which libFuzzer reports with the input that did it.
#define FUZZ_CHECK(cond, ...)                                                   \
    do {                                                                        \
        if (!(cond)) {                                                          \
            fprintf(real_stderr(), "broken: %s\n  ", #cond);                  \
            fprintf(real_stderr(), __VA_ARGS__);                                \
            fputc('\n', real_stderr());                                         \
            abort();                                                            \
        }                                                                       \
    } while (0)

// The process's own stderr, also while a Capture has redirected stderr.
inline FILE *&real_stderr()
{
    static FILE *f = stderr;
    return f;
}

// The words of a command line, cut at NUL bytes: "prog\0-m\0" + "33" -> prog, -m, 33.
// Every word is a heap block of its exact size, so reading past its end is caught.
class FuzzArgv {
public:
    FuzzArgv(const uint8_t *data, size_t size, size_t max_words = 64)
    {
        size_t start = 0;
        for (size_t i = 0; i <= size && words_.size() < max_words; i++) {
            if (i < size && data[i] != 0)
                continue;
            if (i == size && start == size && !words_.empty())
                break;  // a trailing NUL ends the last word, it does not start an empty one
            char *w = (char *)malloc(i - start + 1);
            memcpy(w, data + start, i - start);
            w[i - start] = '\0';
            words_.push_back(w);
            start = i + 1;
        }
        ptrs_ = words_;
        ptrs_.push_back(nullptr);
    }
    ~FuzzArgv()
    {
        for (char *w : words_)
            free(w);
    }
    FuzzArgv(const FuzzArgv &) = delete;
    FuzzArgv &operator=(const FuzzArgv &) = delete;

    int argc() const { return (int)words_.size(); }
    // getopt may permute this vector; words() keeps the original order.
    char **argv() { return ptrs_.data(); }
    const std::vector<char *> &words() const { return words_; }

private:
    std::vector<char *> words_;
    std::vector<char *> ptrs_;
};

// Swaps a standard stream (stdout or stderr) for a memory stream while it lives. The code under
// test prints through the stream variable, so nothing reaches the terminal; sanitizer and
// libFuzzer reports go to the descriptor and are not caught.
class Capture {
public:
    explicit Capture(FILE *&stream) : stream_(stream), saved_(stream)
    {
        real_stderr();
        mem_ = open_memstream(&buf_, &len_);
        stream_ = mem_;
    }
    ~Capture() { stop(); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    std::string text()
    {
        stop();
        return text_;
    }

private:
    void stop()
    {
        if (!mem_)
            return;
        fclose(mem_);
        stream_ = saved_;
        text_.assign(buf_, len_);
        free(buf_);
        mem_ = nullptr;
    }
    FILE *&stream_;
    FILE *saved_;
    FILE *mem_;
    char *buf_ = nullptr;
    size_t len_ = 0;
    std::string text_;
};

inline bool starts_with(const std::string &s, const std::string &head)
{
    return s.compare(0, head.size(), head) == 0;
}

inline bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// An option argument is a whole word ("-c" "PA1") or the end of one ("-cPA1").
inline bool is_an_argument(const std::string &text, const FuzzArgv &args)
{
    for (char *w : args.words())
        if (ends_with(w, text))
            return true;
    return false;
}

// The usage text as a parser prints it for "-h" under this program name (argv[0] may be null
// when argc is 0). parse(argc, argv) runs the program's option routine.
template <class Parse>
std::string usage_for(const char *argv0, Parse parse)
{
    char name[] = "", help[] = "-h";
    char *argv[] = {argv0 ? (char *)argv0 : name, help, nullptr};
    reset_getopt();
    Capture err(stderr);
    if (parse(2, argv) != 0)
        abort();
    return err.text();
}
