// Packed version words (major 4 bits, minor 4 bits, patch 24 bits), the library's own
// version and its feature list.
#ifndef SX_AVERSION_H
#define SX_AVERSION_H

#include <cstddef>
#include <cstdint>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 9
#define aVERSION_PATCH 29
#define aVERSION_PHASE "."

uint32_t aVersion_ParseMajor(uint32_t version);
uint32_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch" like snprintf; returns the length of the full text.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);
// Packs the three fields into a version word (fields too wide are masked).
uint32_t aVersion_Pack(uint32_t major, uint32_t minor, uint32_t patch);

uint32_t aVersion_GetMajor(void);
uint32_t aVersion_GetMinor(void);
uint32_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2, uint8_t b3);

bool aVersion_HasFeature(const char* name);
// A new text "NAME - Description" per feature; the caller frees it with
// aVersion_DestroyFeatureList. Null when memory is exhausted.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#endif
