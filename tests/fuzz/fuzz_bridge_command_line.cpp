// SPDX-License-Identifier: GPL-2.0-or-later
// can-bridge's command line: go on with a terminated interface name of at most 15 characters
// and nothing printed; 0 after the usage text; 1 after "invalid IP address: %s\n" with the
// argument as given.
#include "bridge.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzArgv args(data, size);
    const char *argv0 = args.argc() > 0 ? args.words()[0] : nullptr;
    std::string usage = usage_for(argv0, [](int argc, char **argv) {
        bridge_settings s;
        bridge_defaults(&s);
        return parse_bridge_options(argc, argv, &s);
    });

    bridge_settings *settings = (bridge_settings *)malloc(sizeof(bridge_settings));
    bridge_defaults(settings);
    reset_getopt();
    Capture err(stderr);
    int status = parse_bridge_options(args.argc(), args.argv(), settings);
    std::string text = err.text();

    FUZZ_CHECK(status == -1 || status == 0 || status == 1, "status %d", status);
    if (status == 0) {
        FUZZ_CHECK(ends_with(text, usage), "status 0 with \"%s\"", text.c_str());
    } else if (status == 1) {
        const std::string head = "invalid IP address: ";
        FUZZ_CHECK(starts_with(text, head) && ends_with(text, "\n") &&
                       is_an_argument(text.substr(head.size(), text.size() - head.size() - 1), args),
                   "status 1 with \"%s\"", text.c_str());
    } else {
        FUZZ_CHECK(text.empty(), "going on after printing \"%s\"", text.c_str());
        FUZZ_CHECK(strnlen(settings->interface, IFNAMSIZ) < IFNAMSIZ, "interface name unterminated");
        FUZZ_CHECK(settings->foreground == 0 || settings->foreground == 1, "foreground %d",
                   settings->foreground);
        FUZZ_CHECK(settings->destination.sin_family == AF_INET, "address family changed");
    }
    free(settings);
    return 0;
}
