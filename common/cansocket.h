// SPDX-License-Identifier: GPL-2.0-or-later
// The raw CAN socket the gateway and the throttle write to: created, looked up by interface
// name and bound, with the caller's own message for each step.
#pragma once

// Opens a PF_CAN raw socket bound to the interface `name` (at most 15 characters are used).
// No socket options: no filter, no error frames, own frames not looped back to it, no CAN FD.
// On failure prints socket_error, setup_error (interface index look-up) or bind_error, each a
// format taking the system's error text, and returns -1.
//   open_can_socket("vcan0", "CAN socket error: %s\n", "CAN setup error: %s\n",
//                   "CAN bind error: %s\n") -> descriptor
int open_can_socket(const char *name, const char *socket_error, const char *setup_error,
                    const char *bind_error);

// Copies at most 15 characters of text into a zero-filled 16-byte interface name field.
void copy_interface_name(char *field, const char *text);
