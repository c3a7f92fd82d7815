// SPDX-License-Identifier: GPL-2.0-or-later
// s88-reporter's command line: any argument vector ends in a defined outcome, and the -b and -c
// texts never write or read outside their buffers.
//   go on (-1): every value within the ranges the reporter relies on, nothing printed;
//   0: the usage text (after getopt's complaint for an unknown option or a missing argument);
//   1: the usage text for -m/-o out of range, or exactly one of the two option messages.
// A -c text that passes is then applied to the pins and compared with what its tokens say.
#include "broadcast.h"
#include "cli.h"
#include "fuzz_support.h"
#include "reporter.h"

#include <arpa/inet.h>
#include <cctype>

namespace {

// The pins a configuration text must give, read token by token.
int expected_pins(const std::string &text, int32_t pins[PIN_SLOTS], std::string *message)
{
    size_t pos = 0;
    int slot = 0;
    while (slot < PIN_SLOTS) {
        size_t end = text.find_first_of(" .,;:!-", pos);
        std::string token = text.substr(pos, end == std::string::npos ? end : end - pos);
        if (!token.empty() && toupper((unsigned char)token[0]) == 'P') {
            int bank = token.size() > 1 ? toupper((unsigned char)token[1]) - 'A' : -1;
            unsigned long number = bank >= 0 && bank <= 8 ? strtoul(token.c_str() + 2, nullptr, 10) : 0;
            if (bank < 0 || bank > 8 || number > 287 - (unsigned long)bank * 32) {
                *message = "pin definition error: P" + token.substr(1) + "\n";
                return -1;
            }
            pins[slot++] = bank * 32 + (int32_t)number;
        }
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return 0;
}

void check_pin_config(const char *config)
{
    static const int32_t defaults[PIN_SLOTS] = {276, 227, 277, 229};
    // Exact-size heap blocks: a write past the fourth slot or the text is an ASan finding.
    int32_t *pins = (int32_t *)malloc(sizeof(defaults));
    memcpy(pins, defaults, sizeof(defaults));
    size_t len = strlen(config);
    char *text = (char *)malloc(len + 1);
    memcpy(text, config, len + 1);

    int32_t want[PIN_SLOTS];
    memcpy(want, defaults, sizeof(want));
    std::string want_err;
    int want_result = expected_pins(config, want, &want_err);

    Capture err(stderr);
    int result = apply_pin_config(text, pins);
    std::string got_err = err.text();

    FUZZ_CHECK(result == want_result, "-c \"%s\" gave %d", config, result);
    FUZZ_CHECK(got_err == want_err, "-c \"%s\" printed \"%s\"", config, got_err.c_str());
    if (result == 0) {
        for (int i = 0; i < PIN_SLOTS; i++) {
            FUZZ_CHECK(pins[i] >= 0 && pins[i] <= 287, "-c \"%s\": pin %d is %d", config, i, pins[i]);
            FUZZ_CHECK(pins[i] == want[i], "-c \"%s\": pin %d is %d, not %d", config, i, pins[i],
                       want[i]);
        }
    }
    free(text);
    free(pins);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzArgv args(data, size);
    const char *argv0 = args.argc() > 0 ? args.words()[0] : nullptr;

    reporter_context ctx = {};
    reporter_settings settings = {};
    ctx.background = 1;
    ctx.destination.sin_port = htons(REPORTER_DEFAULT_PORT);
    settings.modules = 1;
    settings.microtiming = REPORTER_DEFAULT_MICROTIMING;
    if (alloc_destination_texts(&settings.udp_dst_address, &settings.bcast_interface) < 0)
        abort();

    std::string usage = usage_for(argv0, [](int argc, char **argv) {
        reporter_context c = {};
        reporter_settings s = {};
        return parse_reporter_options(argc, argv, &c, &s);
    });
    reset_getopt();
    Capture err(stderr);
    int status = parse_reporter_options(args.argc(), args.argv(), &ctx, &settings);
    std::string text = err.text();

    FUZZ_CHECK(status == -1 || status == 0 || status == 1, "status %d", status);
    if (status == 0) {
        FUZZ_CHECK(ends_with(text, usage), "status 0 without the usage text: \"%s\"", text.c_str());
    } else if (status == 1) {
        bool range = (unsigned)settings.modules > MAX_MODULES || ctx.offset > 65502;
        bool printed_usage = text == usage;
        bool timing = text == "microtiming value to low: " + std::to_string(settings.microtiming) + "\n" &&
                      settings.microtiming < 2;
        const std::string bcast = "UDP broadcast address or interface error: ";
        bool address = starts_with(text, bcast) && ends_with(text, "\n") &&
                       text.size() - bcast.size() - 1 >= (size_t)DEST_TEXT_SIZE &&
                       is_an_argument(text.substr(bcast.size(), text.size() - bcast.size() - 1), args);
        FUZZ_CHECK((printed_usage && range) || timing || address, "status 1 with \"%s\"", text.c_str());
    } else {
        FUZZ_CHECK(text.empty(), "going on after printing \"%s\"", text.c_str());
        FUZZ_CHECK(settings.modules >= 0 && settings.modules <= MAX_MODULES, "-m %d", settings.modules);
        FUZZ_CHECK(settings.microtiming >= 2, "-t %d", settings.microtiming);
        FUZZ_CHECK(ctx.offset <= 65502, "-o %d", ctx.offset);
        FUZZ_CHECK(ctx.invert <= 1, "-i %u", ctx.invert);
        FUZZ_CHECK(ctx.background <= 1 && ctx.verbose <= 1, "flags %u %u", ctx.background, ctx.verbose);
        const char *address = settings.udp_dst_address, *iface = settings.bcast_interface;
        FUZZ_CHECK(strnlen(address, DEST_TEXT_SIZE) < DEST_TEXT_SIZE, "address text unterminated");
        FUZZ_CHECK(strnlen(iface, DEST_TEXT_SIZE) < DEST_TEXT_SIZE, "interface text unterminated");
        FUZZ_CHECK(!address[0] || isdigit((unsigned char)address[0]), "address \"%s\"", address);
        FUZZ_CHECK(!iface[0] || !isdigit((unsigned char)iface[0]), "interface \"%s\"", iface);
        if (settings.pin_config) {
            FUZZ_CHECK(is_an_argument(settings.pin_config, args), "-c text \"%s\"", settings.pin_config);
            check_pin_config(settings.pin_config);
        }
    }
    free(settings.pin_config);
    free(settings.udp_dst_address);
    free(settings.bcast_interface);
    return 0;
}
