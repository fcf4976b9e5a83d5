// The man pages of vorik must list every message the tool can write, in the
// words the tool writes them, and every page must name the tool's version.
// Each Japanese page must stay level with its English one: the same
// sections, the same entries and the very same examples.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "messages.h"

namespace {

using namespace vorik;

// The configured pages: English ones in the build folder, Japanese ones of
// the same names in its ja/ folder, as they install.
const std::string MAN_DIR = VORIK_MAN_DIR;
const char* const PAGE_NAMES[] = {"vorik", "vorik-check"};
const char* const LANGUAGE_FOLDERS[] = {"", "ja/"};
const char* const VORIK_PAGES[] = {"vorik.1", "ja/vorik.1"};

std::string read_page(const std::string& page) {
    std::ifstream file(MAN_DIR + "/" + page);
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

std::string upper_case(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// How many lines of the page start with the request, such as ".SH".
int count_requests(const std::string& page, const std::string& request) {
    int count = 0;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (line == request || line.rfind(request + " ", 0) == 0) ++count;
    }
    return count;
}

// The text of every example, between .EX and .EE, in order.
std::vector<std::string> examples(const std::string& page) {
    std::vector<std::string> found;
    std::istringstream lines(page);
    std::string example;
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (line == ".EX") {
            inside = true;
            example.clear();
        } else if (line == ".EE") {
            inside = false;
            found.push_back(example);
        } else if (inside) {
            example += line + "\n";
        }
    }
    return found;
}

TEST(ManPage, ListsEveryMessageOnALineOfItsOwn) {
    for (const char* name : VORIK_PAGES) {
        const std::string page = read_page(name);
        ASSERT_FALSE(page.empty()) << name;
        for (int i = 0; i < ALL_MESSAGES_COUNT; ++i) {
            // Appended rather than concatenated: GCC 12 warns wrongly on "\n" + string.
            std::string line(1, '\n');
            line += without_line_feeds(ALL_MESSAGES[i]->utf8);
            line += '\n';
            EXPECT_NE(page.find(line), std::string::npos) << "message " << i << " is not in " << name;
        }
    }
}

TEST(ManPage, TitleNamesTheVersion) {
    std::ostringstream version;
    version << '"' << PROGRAM_NAME << ' ' << PROGRAM_VERSION << '"';
    for (const char* folder : LANGUAGE_FOLDERS) {
        for (const char* name : PAGE_NAMES) {
            const std::string page = read_page(std::string(folder) + name + ".1");
            const std::string title = page.substr(0, page.find('\n'));
            EXPECT_EQ(title.rfind(".TH " + upper_case(name) + " 1 ", 0), 0u)
                << folder << name << ": " << title;
            EXPECT_NE(title.find(version.str()), std::string::npos) << folder << name << ": " << title;
        }
    }
}

TEST(ManPage, JapanesePagesHaveTheSectionsEntriesAndExamplesOfTheEnglishOnes) {
    for (const char* name : PAGE_NAMES) {
        const std::string english = read_page(std::string(name) + ".1");
        const std::string japanese = read_page(std::string("ja/") + name + ".1");
        ASSERT_FALSE(japanese.empty()) << name;
        for (const char* request : {".SH", ".TP", ".IP"}) {
            EXPECT_EQ(count_requests(japanese, request), count_requests(english, request))
                << name << " " << request;
        }
        const std::vector<std::string> english_examples = examples(english);
        EXPECT_FALSE(english_examples.empty()) << name;
        EXPECT_EQ(examples(japanese), english_examples) << name;
    }
}

}  // namespace
