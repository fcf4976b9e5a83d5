#include "messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "platform/console_and_files.h"
#else
#include "text_encoding.h"
#endif

namespace {

using namespace vorik;

TEST(Messages, FinishedIsTheKnownTwelveBytes) {
    const unsigned char expected[] = {0x0A, 0x8C, 0x76, 0x8E, 0x5A, 0x8F, 0x49, 0x97, 0xB9, 0x81, 0x42, 0x0A};
    ASSERT_EQ(std::strlen(MESSAGE_FINISHED.shift_jis), sizeof expected);
    EXPECT_EQ(std::memcmp(MESSAGE_FINISHED.shift_jis, expected, sizeof expected), 0);
}

#ifndef _WIN32

TEST(Messages, ShiftJisAndUtf8FormsSayTheSame) {
    ASSERT_EQ(ALL_MESSAGES_COUNT, 13);
    for (int i = 0; i < ALL_MESSAGES_COUNT; ++i) {
        const Message& message = *ALL_MESSAGES[i];
        EXPECT_EQ(vorik_test::convert_encoding(message.shift_jis, "CP932", "UTF-8"), message.utf8)
            << "message " << i;
    }
}

#else

// `text` in a Windows code page, by Windows' own tables.
std::string in_code_page(const std::wstring& text, UINT code_page) {
    const int size = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(code_page, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(code_page, 0, text.data(), size, converted.data(), bytes, nullptr, nullptr);
    return converted;
}

// `text` with each line feed as CR LF, as a text stream writes it.
std::string with_crlf(const char* text) {
    std::string written;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') written += '\r';
        written += *c;
    }
    return written;
}

// The console is given the UTF-8 twin in UTF-16; back in code page 932 it
// must be the Shift_JIS bytes that pipes carry, and back in UTF-8 the twin.
TEST(Messages, ConsoleTextsAreTheShiftJisAndUtf8Forms) {
    constexpr UINT SHIFT_JIS_CODE_PAGE = 932;
    ASSERT_EQ(ALL_MESSAGES_COUNT, 13);
    for (int i = 0; i < ALL_MESSAGES_COUNT; ++i) {
        const Message& message = *ALL_MESSAGES[i];
        const std::wstring text = console_text(message.utf8);
        EXPECT_EQ(in_code_page(text, SHIFT_JIS_CODE_PAGE), with_crlf(message.shift_jis)) << "message " << i;
        EXPECT_EQ(in_code_page(text, CP_UTF8), with_crlf(message.utf8)) << "message " << i;
    }
}

TEST(Messages, FinishedOnTheConsoleIsTheKnownCodeUnits) {
    // CR LF, U+8A08 U+7B97 U+7D42 U+4E86 U+3002 (計算終了。), CR LF.
    EXPECT_EQ(console_text(MESSAGE_FINISHED.utf8), L"\r\n\x8A08\x7B97\x7D42\x4E86\x3002\r\n");
}

#endif

}  // namespace
