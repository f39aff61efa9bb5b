#include "base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char sAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of one alphabet character, -1 for padding, -2 for anything else.
int sValue(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    if (c == '=')
        return -1;
    return -2;
}

}  // namespace

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length)
{
    if (data == nullptr || output_length == nullptr || input_length == 0 || input_length % 4 != 0)
        return nullptr;
    size_t pad = 0;
    if (data[input_length - 1] == '=')
        pad++;
    if (data[input_length - 2] == '=')
        pad++;
    // "x=y=" style padding: the second-to-last is padding, so the last must be too.
    if (pad == 1 && data[input_length - 2] == '=')
        return nullptr;
    const size_t length = input_length / 4 * 3 - pad;
    unsigned char* out = static_cast<unsigned char*>(malloc(length + 1));
    if (out == nullptr)
        return nullptr;

    size_t o = 0;
    for (size_t i = 0; i < input_length; i += 4) {
        const bool last = (i + 4 == input_length);
        int v[4];
        for (int k = 0; k < 4; k++) {
            v[k] = sValue(static_cast<unsigned char>(data[i + k]));
            const bool padding = last && k >= 4 - (int)pad;  // already known to be "="
            if (padding) {
                v[k] = 0;
            } else if (v[k] < 0) {
                free(out);
                return nullptr;
            }
        }
        const uint32_t triple = (uint32_t)v[0] << 18 | (uint32_t)v[1] << 12 | (uint32_t)v[2] << 6 | (uint32_t)v[3];
        const unsigned char bytes[3] = {(unsigned char)(triple >> 16), (unsigned char)(triple >> 8),
                                        (unsigned char)triple};
        for (int k = 0; k < 3 && o < length; k++)
            out[o++] = bytes[k];
    }
    out[length] = 0;
    *output_length = length;
    return out;
}

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length)
{
    if (data == nullptr && input_length != 0)
        return nullptr;
    const size_t length = 4 * ((input_length + 2) / 3);
    char* out = static_cast<char*>(malloc(length + 1));
    if (out == nullptr)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < input_length; i += 3) {
        const size_t n = input_length - i < 3 ? input_length - i : 3;
        uint32_t triple = (uint32_t)data[i] << 16;
        if (n > 1)
            triple |= (uint32_t)data[i + 1] << 8;
        if (n > 2)
            triple |= data[i + 2];
        out[o++] = sAlphabet[(triple >> 18) & 0x3F];
        out[o++] = sAlphabet[(triple >> 12) & 0x3F];
        out[o++] = n > 1 ? sAlphabet[(triple >> 6) & 0x3F] : '=';
        out[o++] = n > 2 ? sAlphabet[triple & 0x3F] : '=';
    }
    out[o] = 0;
    if (output_length)
        *output_length = length;
    return out;
}
