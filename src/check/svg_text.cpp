#include "svg_text.h"

#include <cstdint>
#include <cstdio>

namespace vorik::check {
namespace {

// The Unicode scalar value XML allows whose UTF-8 starts at `text[at]`:
// its length in bytes, or 0 where the bytes there are no such character.
std::size_t xml_character_at(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    std::uint32_t value = lead;
    std::uint32_t least = 0;
    // The lead byte's high bits give the length; the least value of each
    // length keeps out the longer spellings of shorter characters.
    if (lead >= 0xF8) {
        return 0;
    }
    if (lead >= 0xF0) {
        length = 4;
        value = lead & 0x07U;
        least = 0x10000;
    } else if (lead >= 0xE0) {
        length = 3;
        value = lead & 0x0FU;
        least = 0x800;
    } else if (lead >= 0xC0) {
        length = 2;
        value = lead & 0x1FU;
        least = 0x80;
    } else if (lead >= 0x80) {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0U) != 0x80U) {
            return 0;
        }
        value = value << 6 | (next & 0x3FU);
    }
    // XML 1.0's characters: no control characters but three, no surrogates,
    // not U+FFFE and U+FFFF.
    const bool allowed = value == '\t' || value == '\n' || value == '\r' ||
                         (value >= 0x20 && value < 0xD800) || (value >= 0xE000 && value <= 0xFFFD) ||
                         (value >= 0x10000 && value <= 0x10FFFF);
    return allowed && value >= least ? length : 0;
}

}  // namespace

std::string printed(const char* format, double value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string coordinate(double value) { return printed("%.1f", value); }

std::string xml_text(const std::string& text) {
    constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";
    std::string escaped;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = xml_character_at(text, at);
        if (length == 0) {
            escaped += REPLACEMENT;
            ++at;
            continue;
        }
        switch (text[at]) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                escaped.append(text, at, length);
        }
        at += length;
    }
    return escaped;
}

std::string line(double x1, double y1, double x2, double y2, const std::string& style) {
    return "<line x1=\"" + coordinate(x1) + "\" y1=\"" + coordinate(y1) + "\" x2=\"" + coordinate(x2) +
           "\" y2=\"" + coordinate(y2) + "\" " + style + "/>\n";
}

std::string text(double x, double y, const std::string& content, const std::string& style) {
    return "<text x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\"" + (style.empty() ? "" : " ") +
           style + ">" + xml_text(content) + "</text>\n";
}

std::string stroke(const char* colour, double width, const char* dashes) {
    return std::string("stroke=\"") + colour + "\" stroke-width=\"" + printed("%g", width) + "\"" +
           (*dashes == '\0' ? "" : std::string(" stroke-dasharray=\"") + dashes + "\"");
}

}  // namespace vorik::check
