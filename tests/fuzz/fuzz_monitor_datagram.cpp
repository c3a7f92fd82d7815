// kit-monitor's decoder: for any datagram (in a heap block of its exact size, so a read past it
// is an ASan finding) the text is "<kind> <fields>", printable, single-spaced, and says what the
// bytes say: a length other than 13 is bad-length with that length, a 13-byte datagram is never
// one; every number shown comes from the bytes it names; a frame lists exactly min(dlc, 8) data
// bytes. With -x the same text is followed by the datagram's bytes.
#include "fuzz_support.h"
#include "monitor.h"

#include <cinttypes>

namespace {

std::string hex_bytes(const uint8_t *data, size_t count)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < count; i++) {
        snprintf(byte, sizeof(byte), i ? " %02x" : "%02x", data[i]);
        text += byte;
    }
    return text;
}

std::string expected_text(const uint8_t *f, int kind)
{
    const uint32_t id = ((uint32_t)f[0] << 24 | (uint32_t)f[1] << 16 | (uint32_t)f[2] << 8 | f[3]) &
                        0x1FFFFFFFu;
    const uint8_t *d = f + 5;
    char text[MONITOR_TEXT_SIZE];
    switch (kind) {
    case KIND_S88_EVENT:
        snprintf(text, sizeof(text), "s88-event contact=%u old=%u new=%u event-id=%u hash=0x%04X",
                 d[2] << 8 | d[3], d[4], d[5], d[0] << 8 | d[1], id & 0xFFFF);
        break;
    case KIND_BEACON:
        snprintf(text, sizeof(text), "beacon");
        break;
    case KIND_LOCO_SPEED:
        snprintf(text, sizeof(text), "loco-speed loco=%u speed=%u", d[3], d[4] << 8 | d[5]);
        break;
    case KIND_LOCO_DIRECTION:
        snprintf(text, sizeof(text), "loco-direction loco=%u direction=%u", d[3], d[4]);
        break;
    case KIND_LOCO_FUNCTION:
        snprintf(text, sizeof(text), "loco-function loco=%u function=%u state=%u", d[3], d[4], d[5]);
        break;
    case KIND_START_STOP:
        snprintf(text, sizeof(text), "start-stop state=%u", d[4]);
        break;
    default:
        snprintf(text, sizeof(text), "frame id=0x%08" PRIX32 " dlc=%u data=", id, f[4]);
        return text + hex_bytes(d, f[4] < 8 ? f[4] : 8);
    }
    return text;
}

// What the kinds promise about the bytes, apart from the text.
bool kind_fits(const uint8_t *f, int kind)
{
    const uint32_t id = ((uint32_t)f[0] << 24 | (uint32_t)f[1] << 16 | (uint32_t)f[2] << 8 | f[3]) &
                        0x1FFFFFFFu;
    const uint8_t dlc = f[4], *d = f + 5;
    const bool loco = d[0] == 0 && d[1] == 0 && d[2] == 0x40;
    switch (kind) {
    case KIND_S88_EVENT: return id >> 16 == 0x0023 && (id & 0x300) == 0x300 && dlc == 8 && d[4] <= 1 && d[5] <= 1;
    case KIND_BEACON: return id == 0x00300300 && dlc == 0;
    case KIND_LOCO_SPEED: return id == 0x00080300 && dlc == 6 && loco;
    case KIND_LOCO_DIRECTION: return id == 0x000A0300 && dlc == 5 && loco && (d[4] == 1 || d[4] == 2);
    case KIND_LOCO_FUNCTION: return id == 0x000C0300 && dlc == 6 && loco && d[5] <= 1;
    case KIND_START_STOP: return id == 0x00000300 && dlc == 5 && !d[0] && !d[1] && !d[2] && !d[3] && d[4] <= 1;
    case KIND_FRAME: return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t *datagram = (uint8_t *)malloc(size ? size : 1);
    if (size)
        memcpy(datagram, data, size);
    char text[MONITOR_TEXT_SIZE], with_hex[MONITOR_TEXT_SIZE];
    int kind = decode_datagram(datagram, size, 0, text, sizeof(text));
    int kind_hex = decode_datagram(datagram, size, 1, with_hex, sizeof(with_hex));
    FUZZ_CHECK(kind == kind_hex, "kind %d, with -x %d", kind, kind_hex);
    FUZZ_CHECK(kind >= 0 && kind < KIND_COUNT, "kind %d", kind);

    std::string line = text;
    FUZZ_CHECK(starts_with(line, monitor_kind_names[kind]), "\"%s\" is not a %s", text,
               monitor_kind_names[kind]);
    for (char c : line)
        FUZZ_CHECK(c >= ' ' && c <= '~', "unprintable byte %02x in \"%s\"", (unsigned char)c, text);
    FUZZ_CHECK(line.find("  ") == std::string::npos && !ends_with(line, " "), "spacing: \"%s\"", text);
    if (size != 13) {
        FUZZ_CHECK(kind == KIND_BAD_LENGTH && line == "bad-length bytes=" + std::to_string(size),
                   "%zu bytes: \"%s\"", size, text);
    } else {
        FUZZ_CHECK(kind != KIND_BAD_LENGTH, "13 bytes called bad-length");
        FUZZ_CHECK(kind_fits(datagram, kind), "%s for these bytes", monitor_kind_names[kind]);
        // Only what the templates leave no choice about falls to frame.
        if (kind == KIND_FRAME)
            for (int k = 0; k < KIND_FRAME; k++)
                FUZZ_CHECK(!kind_fits(datagram, k), "a %s shown as frame", monitor_kind_names[k]);
        std::string expected = expected_text(datagram, kind);
        FUZZ_CHECK(line == expected, "\"%s\", not \"%s\"", text, expected.c_str());
    }
    std::string hex = line + " hex=" + hex_bytes(datagram, size < 13 ? size : 13) + (size > 13 ? " ..." : "");
    FUZZ_CHECK(with_hex == hex, "-x: \"%s\", not \"%s\"", with_hex, hex.c_str());
    free(datagram);
    return 0;
}
