// SPDX-License-Identifier: GPL-2.0-or-later
// susi-cv-read: reads one CV of the decoder on the SUSI interface, bit by bit, through the SUSI
// GPIO driver behind /dev/susi-gpio.
#pragma once

#include <cstdint>

constexpr const char *SUSI_DEVICE = "/dev/susi-gpio";

// Read and write, type 0xB5, number 0x65, size field 4. The record is 5 bytes all the same: the
// driver takes its length from the count byte, not from the request number.
constexpr unsigned long SUSI_GPIO_XFER = 0xC004B565;

// The record handed to the driver with each call.
struct susi_request {
    uint8_t count;       // command bytes in command[]: always 3
    uint8_t result;      // written by the driver: not zero when the decoder acknowledged
    uint8_t command[3];  // SUSI CV access, bit manipulation: 0111 10aa, aaaaaaaa, 1110 1bbb
};
static_assert(sizeof(susi_request) == 5, "the driver reads five bytes");

// Reads the command line; *cv becomes the low 10 bits of -c (1024 -> 0, -1 -> 1023).
// Returns -1 to go on, or the exit status after the usage text: 0 for -h, -? and unknown
// options, 1 for -s and for a command line without -c.
int parse_susi_options(int argc, char **argv, int *cv);

// Asks the decoder to verify bits 0 to 7 of the CV in turn and assembles its answers least
// significant bit first: acknowledgements for bits 0, 1 and 7 give 0x83.
void read_cv(int fd, int cv, int *result);

// One driver call with the record. The program does the ioctl (xfer.cpp); unit tests link a
// stand-in driver instead. The return value is the ioctl's; read_cv does not look at it.
int susi_xfer(int fd, susi_request *request);
