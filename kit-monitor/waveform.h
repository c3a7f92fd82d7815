// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor -V: the S88 contacts as a Value Change Dump (IEEE 1364) that GTKWave, PulseView and
// sigrok-cli open. One 1-bit wire per contact seen, named by module and contact ("m2_c1" for
// contact 17), changed at each event's arrival; a train's run shows as a staircase.
// The file is written as events arrive, so a viewer can reload it during the run: the header
// keeps a blank slot for each wire to come, filled in place when its contact first shows up.
#pragma once

#include "output.h"

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

constexpr int WAVEFORM_MAX_WIRES = 512;  // a whole S88 bus of 32 modules
constexpr size_t WAVEFORM_SLOT_SIZE = 40;  // one "$var wire 1 ID NAME $end" line, blank-padded

// "$var wire 1 ID m<module>_c<contact> $end" for a contact number as the events carry it, with
// ID the contact number in VCD's printable characters: contact 17 -> "$var wire 1 2 m2_c1 $end".
// Returns the length (at most WAVEFORM_SLOT_SIZE - 1).
size_t format_waveform_wire(unsigned contact, char *line, size_t size);

// Creates the file with its header, time 0 at when. Returns the output, which turns each S88
// event into a change of its contact's wire (in microseconds since the open) and leaves other
// frames out, or null after "cannot write PATH: REASON". A file that cannot be written any more
// (disk full) gets one line on stderr and no more events; it ends on its last whole change.
const monitor_output *waveform_output(const char *path, const struct timeval *when);
