// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a getopt-based option parser on a command line given as a list of words.
#pragma once

#include "cli.h"

#include <string>
#include <unistd.h>
#include <vector>

class Argv {
public:
    Argv(std::initializer_list<std::string> words) : Argv(std::vector<std::string>(words)) {}
    explicit Argv(std::vector<std::string> words) : words_(std::move(words))
    {
        for (auto &w : words_)
            ptrs_.push_back(&w[0]);
        ptrs_.push_back(nullptr);
        reset_getopt();
        opterr = 0;  // getopt's own complaint is the system's text, not ours to check
    }
    int argc() const { return (int)words_.size(); }
    char **argv() { return ptrs_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char *> ptrs_;
};
