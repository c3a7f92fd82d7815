// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor's decoder: for any datagram (in a heap block of its exact size, so a read past it
// is an ASan finding) the words are "<kind> <fields>", printable, single-spaced, and say what the
// bytes say: a length other than 13 is bad-length with that length, a 13-byte datagram is never
// one; it is the first kind of the table whose identifier, length and data ranges it meets,
// with each of that kind's fields read from the bytes the table names; a frame of no kind lists
// exactly min(dlc, 8) data bytes. With -x the same words are followed by the datagram's bytes.
#include "decode.h"
#include "fuzz_support.h"

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

uint32_t identifier(const uint8_t *f)
{
    return ((uint32_t)f[0] << 24 | (uint32_t)f[1] << 16 | (uint32_t)f[2] << 8 | f[3]) & 0x1FFFFFFFu;
}

// What the table says of a kind, read on its own terms.
bool meets(const uint8_t *f, const frame_kind &kind)
{
    if ((identifier(f) & kind.id_mask) != kind.id || f[4] != kind.dlc)
        return false;
    for (const kind_test &test : kind.tests)
        if (test.byte < 8 && (f[5 + test.byte] < test.low || f[5 + test.byte] > test.high))
            return false;
    return true;
}

std::string expected_words(const uint8_t *f, int kind)
{
    char text[160];
    if (kind == KIND_FRAME) {
        snprintf(text, sizeof(text), "frame id=0x%08" PRIX32 " dlc=%u data=", identifier(f), f[4]);
        return text + hex_bytes(f + 5, f[4] < 8 ? f[4] : 8);
    }
    std::string words = FRAME_KINDS[kind].name;
    for (const kind_field &field : FRAME_KINDS[kind].fields) {
        if (!field.name)
            break;
        unsigned value = 0;
        for (int i = 0; i < field.size; i++)
            value = value << 8 | f[field.at + i];
        snprintf(text, sizeof(text), field.hex ? " %s=0x%04X" : " %s=%u", field.name, value);
        words += text;
    }
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t *datagram = (uint8_t *)malloc(size ? size : 1);
    if (size)
        memcpy(datagram, data, size);
    monitor_record record = {};
    decode_datagram(datagram, size, &record);
    char text[MONITOR_LINE_SIZE], with_hex[MONITOR_LINE_SIZE];
    format_words(&record, 0, text, sizeof(text));
    format_words(&record, 1, with_hex, sizeof(with_hex));
    const int kind = record.kind;
    FUZZ_CHECK(kind >= 0 && kind < KIND_COUNT, "kind %d", kind);

    std::string line = text;
    FUZZ_CHECK(starts_with(line, kind_name(kind)), "\"%s\" is not a %s", text, kind_name(kind));
    for (char c : line)
        FUZZ_CHECK(c >= ' ' && c <= '~', "unprintable byte %02x in \"%s\"", (unsigned char)c, text);
    FUZZ_CHECK(line.find("  ") == std::string::npos && !ends_with(line, " "), "spacing: \"%s\"", text);
    if (size != 13) {
        FUZZ_CHECK(kind == KIND_BAD_LENGTH && line == "bad-length bytes=" + std::to_string(size),
                   "%zu bytes: \"%s\"", size, text);
    } else {
        int first = KIND_FRAME;
        for (int k = KIND_FRAME - 1; k >= 0; k--)
            if (meets(datagram, FRAME_KINDS[k]))
                first = k;
        FUZZ_CHECK(kind == first, "%s, not %s", kind_name(kind), kind_name(first));
        std::string expected = expected_words(datagram, kind);
        FUZZ_CHECK(line == expected, "\"%s\", not \"%s\"", text, expected.c_str());
    }
    std::string hex = line + " hex=" + hex_bytes(datagram, size < 13 ? size : 13) + (size > 13 ? " ..." : "");
    FUZZ_CHECK(with_hex == hex, "-x: \"%s\", not \"%s\"", with_hex, hex.c_str());
    free(datagram);
    return 0;
}
