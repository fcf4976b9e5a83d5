// The text of an SVG picture: numbers, XML character data from bytes of any
// kind, and the few elements the pictures are drawn with.
#pragma once

#include <string>

namespace vorik::check {

// `value` as `format` prints it (one number).
std::string printed(const char* format, double value);

// A coordinate in pixels, to a tenth.
std::string coordinate(double value);

// `text` as XML character data or attribute value: the markup characters as
// references, and each byte that is no character XML allows as U+FFFD.
std::string xml_text(const std::string& text);

std::string line(double x1, double y1, double x2, double y2, const std::string& style);

// `content` is escaped here; `style` holds attributes, or nothing.
std::string text(double x, double y, const std::string& content, const std::string& style = "");

// The stroke attributes of a line: its colour, width and any dashes.
std::string stroke(const char* colour, double width, const char* dashes = "");

}  // namespace vorik::check
