// SPDX-License-Identifier: GPL-2.0-or-later
// ir-throttle's command line: go on with a terminated interface name (at most 15 characters)
// and device path (at most 254) and nothing printed, or 0 after the usage text.
#include "fuzz_support.h"
#include "throttle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzArgv args(data, size);
    const char *argv0 = args.argc() > 0 ? args.words()[0] : nullptr;
    std::string usage = usage_for(argv0, [](int argc, char **argv) {
        throttle_settings s;
        throttle_defaults(&s);
        return parse_throttle_options(argc, argv, &s);
    });

    throttle_settings *settings = (throttle_settings *)malloc(sizeof(throttle_settings));
    throttle_defaults(settings);
    reset_getopt();
    Capture err(stderr);
    int status = parse_throttle_options(args.argc(), args.argv(), settings);
    std::string text = err.text();

    FUZZ_CHECK(status == -1 || status == 0, "status %d", status);
    if (status == 0) {
        FUZZ_CHECK(ends_with(text, usage), "status 0 with \"%s\"", text.c_str());
    } else {
        FUZZ_CHECK(text.empty(), "going on after printing \"%s\"", text.c_str());
        FUZZ_CHECK(strnlen(settings->interface, IFNAMSIZ) < IFNAMSIZ, "interface name unterminated");
        FUZZ_CHECK(strnlen(settings->device, THROTTLE_DEVICE_SIZE) <= THROTTLE_DEVICE_SIZE - 2,
                   "device path of %zu characters", strnlen(settings->device, THROTTLE_DEVICE_SIZE));
    }
    free(settings);
    return 0;
}
