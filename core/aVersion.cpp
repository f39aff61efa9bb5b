#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
struct sFeature {
    const char* name;
    const char* description;
};
const sFeature FEATS[] = {{"VERSION", "Version Query API"}};
const size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);
}  // namespace

uint32_t aVersion_ParseMajor(uint32_t version) { return version >> 28; }
uint32_t aVersion_ParseMinor(uint32_t version) { return (version >> 24) & 15u; }
uint32_t aVersion_ParsePatch(uint32_t version) { return version & 0xFFFFFFu; }

int aVersion_ParseString(uint32_t version, char* buffer, size_t size)
{
    return snprintf(buffer, size, "%d.%d.%d", (int)aVersion_ParseMajor(version),
                    (int)aVersion_ParseMinor(version), (int)aVersion_ParsePatch(version));
}

uint32_t aVersion_Pack(uint32_t major, uint32_t minor, uint32_t patch)
{
    return ((major & 15u) << 28) | ((minor & 15u) << 24) | (patch & 0xFFFFFFu);
}

uint32_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint32_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint32_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void)
{
    static char text[15];
    if (text[0] == '\0')
        snprintf(text, sizeof(text), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
                 aVERSION_PATCH);
    return text;
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2, uint8_t b3)
{
    if (a1 > b1)
        return true;
    if (a1 == b1 && a2 > b2)
        return true;
    return a1 == b1 && a2 == b2 && a3 >= b3;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor, patch);
}

bool aVersion_HasFeature(const char* name)
{
    if (!name)
        return false;
    for (size_t i = 0; i < NUM_FEATS; i++) {
        if (strcmp(FEATS[i].name, name) == 0)
            return true;
    }
    return false;
}

char* aVersion_GetFeatureList(void)
{
    size_t size = 0;
    for (size_t i = 0; i < NUM_FEATS; i++)
        size += strlen(FEATS[i].name) + strlen(FEATS[i].description) + 3;
    size += 2;
    char* list = static_cast<char*>(calloc(size, 1));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < NUM_FEATS; i++) {
        strcat(list, FEATS[i].name);
        strcat(list, " - ");
        strcat(list, FEATS[i].description);
    }
    list[size - 1] = '\0';
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (list) {
        free(*list);
        *list = nullptr;
    }
}
