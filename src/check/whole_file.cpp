#include "whole_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/console_and_files.h"

namespace vorik::check {
namespace {

// Names tried for the temporary file, where earlier ones are taken (left
// behind by a run that was stopped, say).
constexpr int MOST_TEMPORARY_NAMES = 100;

struct TemporaryFile {
    std::FILE* file;  // null: none could be made
    std::string path;
    std::string error;
};

// A new file beside `path`, named after it.
TemporaryFile create_temporary_file(const std::string& path) {
    for (int n = 0; n < MOST_TEMPORARY_NAMES; ++n) {
        const std::string name = path + "." + std::to_string(n) + ".tmp";
        std::FILE* file = create_new_file(name.c_str());
        if (file != nullptr) {
            return {file, name, {}};
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return {nullptr, {}, path + ": cannot write: " + std::strerror(errno)};
}

}  // namespace

std::string check_can_write(const std::string& path) {
    const TemporaryFile temporary = create_temporary_file(path);
    if (temporary.file != nullptr) {
        std::fclose(temporary.file);
        remove_file(temporary.path.c_str());
    }
    return temporary.error;
}

std::string write_whole_file(const std::string& path, const std::string& text) {
    TemporaryFile temporary = create_temporary_file(path);
    if (temporary.file == nullptr) {
        return temporary.error;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), temporary.file) == text.size();
    // fclose flushes what is still buffered, and fails where that fails.
    const bool closed = std::fclose(temporary.file) == 0;
    if (written && closed && replace_file(temporary.path.c_str(), path.c_str())) {
        return {};
    }
    remove_file(temporary.path.c_str());
    return path + ": cannot write the file";
}

}  // namespace vorik::check
