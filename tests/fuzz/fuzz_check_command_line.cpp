// SPDX-License-Identifier: GPL-2.0-or-later
// s88-check's command line: go on with an invert flag of 0 or 1 and nothing printed; 0 after the
// usage text; 1 after the usage text for -m outside 1 to 32 or "microtiming value to low: %d\n".
#include "check.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzArgv args(data, size);
    const char *argv0 = args.argc() > 0 ? args.words()[0] : nullptr;
    std::string usage = usage_for(argv0, [](int argc, char **argv) {
        uint8_t invert = 0;
        return parse_check_options(argc, argv, &invert);
    });

    uint8_t *invert = (uint8_t *)calloc(1, 1);
    reset_getopt();
    Capture err(stderr);
    int status = parse_check_options(args.argc(), args.argv(), invert);
    std::string text = err.text();

    FUZZ_CHECK(status == -1 || status == 0 || status == 1, "status %d", status);
    if (status == 0) {
        FUZZ_CHECK(ends_with(text, usage), "status 0 with \"%s\"", text.c_str());
    } else if (status == 1) {
        const std::string head = "microtiming value to low: ";
        bool timing = starts_with(text, head) && ends_with(text, "\n") &&
                      atoi(text.c_str() + head.size()) < 2;
        FUZZ_CHECK(text == usage || timing, "status 1 with \"%s\"", text.c_str());
    } else {
        FUZZ_CHECK(text.empty(), "going on after printing \"%s\"", text.c_str());
        FUZZ_CHECK(*invert <= 1, "invert %u", *invert);
    }
    free(invert);
    return 0;
}
