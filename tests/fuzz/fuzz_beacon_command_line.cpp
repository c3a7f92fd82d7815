// SPDX-License-Identifier: GPL-2.0-or-later
// event-beacon's command line: any argument vector ends in a defined outcome.
//   go on (-1): an interval of 0 or more, both texts terminated within 40 bytes, nothing printed;
//   0: the usage text (after getopt's complaint for an unknown option or a missing argument);
//   1: the usage text for a negative interval, or the -b message repeating the argument.
#include "beacon.h"
#include "broadcast.h"
#include "cli.h"
#include "fuzz_support.h"

#include <arpa/inet.h>
#include <cctype>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzArgv args(data, size);
    const char *argv0 = args.argc() > 0 ? args.words()[0] : nullptr;

    beacon_context ctx = {};
    ctx.background = 1;
    ctx.interval = BEACON_DEFAULT_INTERVAL;
    ctx.destination.sin_port = htons(BEACON_DEFAULT_PORT);
    char *address, *iface;
    if (alloc_destination_texts(&address, &iface) < 0)
        abort();

    std::string usage = usage_for(argv0, [](int argc, char **argv) {
        beacon_context c = {};
        char address[DEST_TEXT_SIZE], iface[DEST_TEXT_SIZE];
        return parse_beacon_options(argc, argv, &c, address, iface);
    });
    reset_getopt();
    Capture err(stderr);
    int status = parse_beacon_options(args.argc(), args.argv(), &ctx, address, iface);
    std::string text = err.text();

    bool printed_usage = ends_with(text, usage);
    FUZZ_CHECK(status == -1 || status == 0 || status == 1, "status %d", status);
    if (status == 0) {
        FUZZ_CHECK(printed_usage, "status 0 with \"%s\"", text.c_str());
    } else if (status == 1) {
        const std::string bcast = "UDP broadcast address or interface error: ";
        bool address_error = starts_with(text, bcast) &&
                             text.size() - bcast.size() - 1 >= (size_t)DEST_TEXT_SIZE;
        bool negative = ctx.interval < 0 && text == usage;
        FUZZ_CHECK(address_error || negative, "status 1 with \"%s\"", text.c_str());
    } else {
        FUZZ_CHECK(text.empty(), "going on after printing \"%s\"", text.c_str());
        FUZZ_CHECK(ctx.interval >= 0, "interval %d", ctx.interval);
        FUZZ_CHECK(strnlen(address, DEST_TEXT_SIZE) < DEST_TEXT_SIZE, "address text unterminated");
        FUZZ_CHECK(strnlen(iface, DEST_TEXT_SIZE) < DEST_TEXT_SIZE, "interface text unterminated");
        FUZZ_CHECK(!address[0] || isdigit((unsigned char)address[0]), "address \"%s\"", address);
        FUZZ_CHECK(!iface[0] || !isdigit((unsigned char)iface[0]), "interface \"%s\"", iface);
    }
    free(address);
    free(iface);
    return 0;
}
