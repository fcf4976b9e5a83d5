#include "messages.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

namespace {

// Decodes code page 932 bytes to UTF-8 with the C library's converter.
std::string cp932_to_utf8(const std::string& bytes) {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1)) << "no CP932 converter";
    std::string input = bytes;
    std::string output(bytes.size() * 4, '\0');
    char* in = input.data();
    char* out = output.data();
    std::size_t in_left = input.size();
    std::size_t out_left = output.size();
    const std::size_t converted = iconv(converter, &in, &in_left, &out, &out_left);
    iconv_close(converter);
    EXPECT_NE(converted, static_cast<std::size_t>(-1)) << "not valid CP932";
    output.resize(output.size() - out_left);
    return output;
}

TEST(Messages, ShiftJisAndUtf8FormsSayTheSame) {
    ASSERT_EQ(ALL_MESSAGES_COUNT, 10);
    for (int i = 0; i < ALL_MESSAGES_COUNT; ++i) {
        const Message& message = *ALL_MESSAGES[i];
        EXPECT_EQ(cp932_to_utf8(message.shift_jis), message.utf8) << "message " << i;
    }
}

TEST(Messages, FinishedIsTheKnownTwelveBytes) {
    const unsigned char expected[] = {0x0A, 0x8C, 0x76, 0x8E, 0x5A, 0x8F, 0x49, 0x97, 0xB9, 0x81, 0x42, 0x0A};
    ASSERT_EQ(std::strlen(MESSAGE_FINISHED.shift_jis), sizeof expected);
    EXPECT_EQ(std::memcmp(MESSAGE_FINISHED.shift_jis, expected, sizeof expected), 0);
}

}  // namespace
