// SPDX-License-Identifier: GPL-2.0-or-later
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

// Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed. A daemon calls it before it
// opens anything: started with a standard stream closed, its first socket would get that
// descriptor, and daemon(0, 0) would later put /dev/null over it. Returns 0, or -1 after
// "Can't open /dev/null: <reason>" on standard error.
int open_standard_streams();

// Tells the service manager that start-up is done ("READY=1" to the datagram socket named by
// NOTIFY_SOCKET: a path, or "@name" for an abstract one), so that a unit of Type=notify counts
// as started only once its sockets are open. Does nothing without NOTIFY_SOCKET. Returns 0, or
// -1 after "Can't notify the service manager: <reason>" on standard error.
int notify_ready();
