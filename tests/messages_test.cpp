#include "messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "text_encoding.h"

namespace {

using namespace vorik;

TEST(Messages, ShiftJisAndUtf8FormsSayTheSame) {
    ASSERT_EQ(ALL_MESSAGES_COUNT, 13);
    for (int i = 0; i < ALL_MESSAGES_COUNT; ++i) {
        const Message& message = *ALL_MESSAGES[i];
        EXPECT_EQ(vorik_test::convert_encoding(message.shift_jis, "CP932", "UTF-8"), message.utf8)
            << "message " << i;
    }
}

TEST(Messages, FinishedIsTheKnownTwelveBytes) {
    const unsigned char expected[] = {0x0A, 0x8C, 0x76, 0x8E, 0x5A, 0x8F, 0x49, 0x97, 0xB9, 0x81, 0x42, 0x0A};
    ASSERT_EQ(std::strlen(MESSAGE_FINISHED.shift_jis), sizeof expected);
    EXPECT_EQ(std::memcmp(MESSAGE_FINISHED.shift_jis, expected, sizeof expected), 0);
}

}  // namespace
