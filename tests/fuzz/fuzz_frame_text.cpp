// SPDX-License-Identifier: GPL-2.0-or-later
// kit-send's ID#DATA parser: for any text (in a heap block of its exact size, so a read past its
// terminator is an ASan finding) it either refuses with a reason, or accepts exactly cansend's
// form of an extended frame: then the frame written back as a token is the text upper-cased
// without dots, and that token parses to the same 13 bytes.
#include "cantext.h"
#include "fuzz_support.h"

#include <cctype>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = '\0';
    CanUdpFrame frame, again;
    const char *why = nullptr;
    int result = parse_frame_text(text, &frame, &why);
    if (result < 0) {
        FUZZ_CHECK(why && *why, "refused \"%s\" without a reason", text);
        free(text);
        return 0;
    }
    FUZZ_CHECK(result == 0, "result %d", result);
    std::string canonical;
    for (const char *p = text; *p; p++)
        if (*p != '.' || p - text < 9)
            canonical += (char)toupper((unsigned char)*p);
    char token[FRAME_TEXT_SIZE];
    format_frame_text(&frame, token);
    FUZZ_CHECK(canonical == token, "\"%s\" read as %s", text, token);
    FUZZ_CHECK(frame.dlc <= 8 && (frame.id[0] & 0xE0) == 0, "dlc %u, id byte %02x", frame.dlc, frame.id[0]);
    for (int i = frame.dlc; i < 8; i++)
        FUZZ_CHECK(frame.data[i] == 0, "\"%s\": byte %d past the length is %02x", text, i, frame.data[i]);
    FUZZ_CHECK(parse_frame_text(token, &again, &why) == 0 && memcmp(&frame, &again, sizeof(frame)) == 0,
               "the token %s of \"%s\" does not read back the same", token, text);
    free(text);
    return 0;
}
