// Error texts, model names and version words.
#include <gtest/gtest.h>

#include <cstring>

#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

TEST(ErrorText, TableEndsAndOutOfRange)
{
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorText((aErr)34), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText((aErr)35), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText((aErr)-1), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription((aErr)27), "Strandix command to short");
    EXPECT_STREQ(aError_GetErrorDescription(aErrCancel), "Cancelation occurred, or did not complete");
    EXPECT_STREQ(aError_GetErrorDescription((aErr)1000), "Unknown error");
}

TEST(ModelName, KnownAndUnknownCodes)
{
    EXPECT_STREQ(aDefs_GetModelName(16), "Ginkgo");
    EXPECT_STREQ(aDefs_GetModelName(17), "Hemlock");
    EXPECT_STREQ(aDefs_GetModelName(4), "Alder");
    EXPECT_STREQ(aDefs_GetModelName(24), "Pine");
    for (int code : {-1, 0, 3, 6, 12, 25, 255})
        EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
}

TEST(Version, PackedWords)
{
    EXPECT_EQ(aVersion_ParseMajor(0x12000005), 1u);
    EXPECT_EQ(aVersion_ParseMinor(0x12000005), 2u);
    EXPECT_EQ(aVersion_ParsePatch(0x12000005), 5u);
    EXPECT_EQ(aVersion_ParseMajor(0xFFFFFFFF), 15u);
    EXPECT_EQ(aVersion_ParseMinor(0xFFFFFFFF), 15u);
    EXPECT_EQ(aVersion_ParsePatch(0xFFFFFFFF), 16777215u);
    EXPECT_EQ(aVersion_Pack(1, 2, 5), 0x12000005u);

    char text[16];
    EXPECT_EQ(aVersion_ParseString(0x12000005, text, sizeof(text)), 5);
    EXPECT_STREQ(text, "1.2.5");
    char small[4];
    EXPECT_EQ(aVersion_ParseString(0xFFFFFFFF, small, sizeof(small)), 14);  // full length reported
    EXPECT_STREQ(small, "15.");
}

TEST(Version, LibraryVersionAndComparison)
{
    EXPECT_STREQ(aVersion_GetString(), "2.9.29");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 9, 29, 2, 9, 29));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 28, 2, 9, 29));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 15, 99));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 8, 99, 2, 9, 0));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 9, 29));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 9, 30));
}

TEST(Version, Features)
{
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}
