// Base64: decoding any text is safe, and whatever decodes re-encodes to a text that decodes to
// the same bytes; encoding any bytes decodes back to them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t decoded_length = 0;
    unsigned char* decoded = base64_decode(reinterpret_cast<const char*>(data), size, &decoded_length);
    if (decoded) {
        if (decoded_length != size / 4 * 3 && decoded_length + 1 != size / 4 * 3 && decoded_length + 2 != size / 4 * 3)
            __builtin_trap();
        size_t text_length = 0;
        char* text = base64_encode(decoded, decoded_length, &text_length);
        size_t again_length = 0;
        unsigned char* again = base64_decode(text, text_length, &again_length);
        if (text_length != size || !again || again_length != decoded_length ||
            memcmp(again, decoded, decoded_length) != 0)
            __builtin_trap();
        free(again);
        free(text);
        free(decoded);
    }

    size_t text_length = 0;
    char* text = base64_encode(data, size, &text_length);
    if (text && size > 0) {
        size_t back_length = 0;
        unsigned char* back = base64_decode(text, text_length, &back_length);
        if (!back || back_length != size || memcmp(back, data, size) != 0)
            __builtin_trap();
        free(back);
    }
    free(text);
    return 0;
}
