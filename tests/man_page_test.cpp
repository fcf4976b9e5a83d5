// The man page must list every message the tool can write, in the words
// the tool writes them, and name the tool's version.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "messages.h"

namespace {

using namespace vorik;

std::string man_page() {
    std::ifstream file(VORIK_MAN_PAGE);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string without_line_feeds(const char* text) {
    std::string kept;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c != '\n') kept += *c;
    }
    return kept;
}

TEST(ManPage, ListsEveryMessageOnALineOfItsOwn) {
    const std::string page = man_page();
    ASSERT_FALSE(page.empty()) << VORIK_MAN_PAGE;
    for (int i = 0; i < ALL_MESSAGES_COUNT; ++i) {
        // Appended rather than concatenated: GCC 12 warns wrongly on "\n" + string.
        std::string line(1, '\n');
        line += without_line_feeds(ALL_MESSAGES[i]->utf8);
        line += '\n';
        EXPECT_NE(page.find(line), std::string::npos) << "message " << i << " is not in the man page";
    }
}

TEST(ManPage, TitleNamesTheVersion) {
    const std::string page = man_page();
    const std::string title = page.substr(0, page.find('\n'));
    std::ostringstream version;
    version << '"' << PROGRAM_NAME << ' ' << PROGRAM_VERSION << '"';
    EXPECT_EQ(title.rfind(".TH VORIK 1 ", 0), 0u) << title;
    EXPECT_NE(title.find(version.str()), std::string::npos) << title;
}

}  // namespace
