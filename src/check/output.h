// How vorik-check writes what it found: the summary as text or as JSON, and
// one row per second as JSON lines or CSV. Numbers in JSON and CSV are the
// shortest text that reads back as the same double.
#pragma once

#include <cstdio>
#include <string>

#include "report.h"

namespace vorik::check {

// The summary as text, one fact a line, plain ASCII but for the file names.
std::string summary_text(const CheckReport& report);

// The summary as one JSON object, on one line.
std::string summary_json(const CheckReport& report);

// A second as one JSON object, on one line.
std::string second_json(const SecondRow& row);

// The CSV header for `channels` channels, and a second as a CSV row; each
// ends in a line feed.
std::string csv_header(std::uint16_t channels);
std::string second_csv(const SecondRow& row);

// The shortest text that reads back as `value`.
std::string shortest_number(double value);

}  // namespace vorik::check
