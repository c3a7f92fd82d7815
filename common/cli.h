// Small helpers the programs' command lines share.
#pragma once

#include <cstdint>

// Last path component of argv[0]: "/usr/bin/can-bridge" -> "can-bridge".
const char *program_name(const char *argv0);

// A port as the kit reads it: strtoul in base 10, low 16 bits kept.
//   "7654" -> 7654, "80000" -> 14464, "abc" -> 0
uint16_t parse_port(const char *text);

// Resets getopt so that a routine parsing options can run more than once in a process (tests).
void reset_getopt();
