// Base64 (RFC 4648 alphabet, "=" padding) for build contents that travel as text.
#ifndef UPDATER_BASE64_H
#define UPDATER_BASE64_H

#include <cstddef>

// Decodes a Base64 text. Returns a buffer from malloc holding the bytes followed by one NUL
// (not counted in *output_length), or null when the text is empty, its length is not a
// multiple of 4, it holds a character outside the alphabet, or padding appears anywhere but
// in the last two places. The caller frees the buffer.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);

// Encodes bytes as a NUL-terminated Base64 text of 4 * ceil(input_length / 3) characters
// (*output_length). Returns a buffer from malloc, or null when memory is exhausted.
char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);

#endif
