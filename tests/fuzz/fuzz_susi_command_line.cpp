// SPDX-License-Identifier: GPL-2.0-or-later
// susi-cv-read's command line: go on with a CV number of 0 to 1023 and nothing printed; 0 or 1
// after the usage text (1 for -s and for a command line without -c).
#include "fuzz_support.h"
#include "susi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzArgv args(data, size);
    const char *argv0 = args.argc() > 0 ? args.words()[0] : nullptr;
    std::string usage = usage_for(argv0, [](int argc, char **argv) {
        int cv = 0;
        return parse_susi_options(argc, argv, &cv);
    });

    int *cv = (int *)malloc(sizeof(int));
    *cv = -1;
    reset_getopt();
    Capture err(stderr);
    int status = parse_susi_options(args.argc(), args.argv(), cv);
    std::string text = err.text();

    FUZZ_CHECK(status == -1 || status == 0 || status == 1, "status %d", status);
    if (status == 0)
        FUZZ_CHECK(ends_with(text, usage), "status 0 with \"%s\"", text.c_str());
    else if (status == 1)
        FUZZ_CHECK(text == usage, "status 1 with \"%s\"", text.c_str());
    else {
        FUZZ_CHECK(text.empty(), "going on after printing \"%s\"", text.c_str());
        FUZZ_CHECK(*cv >= 0 && *cv <= 1023, "CV %d", *cv);
    }
    free(cv);
    return 0;
}
