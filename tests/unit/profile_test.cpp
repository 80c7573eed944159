// The profile-file reader: what nivo.ini's parser and the dead-entry store see of a file.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/profile.h"
#include "support/test_support.h"

using nivo_test::temp_dir;
using nivo_test::write_file;

namespace {

class Profile : public ::testing::Test {
  protected:
    temp_dir dir;
    std::string path = dir.file("nivo.ini");
};

TEST_F(Profile, TooSmallBuffersAnswerSizeMinusTwoAndStayTerminated)
{
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text += "[SECTION-" + std::to_string(i) + "]\n";
    }
    text += "[BIG]\n";
    for (int i = 0; i < 1000; ++i) {
        text += "KEY" + std::to_string(i) + "=value\n";
    }
    ASSERT_TRUE(write_file(path, text));

    std::vector<char> buffer(2048 + 16, 'x');
    EXPECT_EQ(platform_profile_section_names(buffer.data(), 2048, path.c_str()), 2046u);
    EXPECT_EQ(buffer[2046], 0);
    EXPECT_EQ(buffer[2047], 0);
    EXPECT_EQ(buffer[2048], 'x'); // nothing past the buffer

    std::vector<char> big(8192 + 16, 'x');
    EXPECT_EQ(platform_profile_section("BIG", big.data(), 8192, path.c_str()), 8190u);
    EXPECT_EQ(big[8191], 0);
    EXPECT_EQ(big[8192], 'x');

    // Exactly fitting lists are not an overflow; tiny buffers stay within bounds.
    ASSERT_TRUE(write_file(path, "[AB]\n[C]\n"));
    char exact[7];
    EXPECT_EQ(platform_profile_section_names(exact, sizeof exact, path.c_str()), 5u);
    char tiny[3] = {'x', 'x', 'x'};
    EXPECT_EQ(platform_profile_section_names(tiny, 2, path.c_str()), 0u);
    EXPECT_EQ(tiny[2], 'x');
    char cut[4];
    EXPECT_EQ(platform_profile_string("AB", "K", "long default", cut, sizeof cut, path.c_str()),
              3u);
    EXPECT_STREQ(cut, "lon");
}

} // namespace
