// vorik: how far one 16-bit PCM WAV file has drifted from another, as a peak
// signal-to-noise ratio in decibels, to the last bit as the vorik tool
// prints it.
//
// The library checks the canonical 44-byte header of each file
// (<vorik/wave_header.h>), measures the two files block by block, one second
// of audio at a time (<vorik/measurement.h>), and sums their squared
// differences in the PSNR meter (<vorik/psnr_meter.h>). L is the first sample
// of every pair of samples in a block, R the second; a side without any
// difference gives 333 dB. The library prints nothing, installs no signal
// handler and keeps no state outside the records it is given; every name is
// in namespace vorik, and <vorik/version.h> tells which version it is.
//
// The tool's closing line for two files, and whether the measurement
// finished (reached the end of one file) or stopped short:
//
//     #include <vorik/vorik.h>
//
//     #include <cstdio>
//
//     // False when a file is not a canonical WAV file.
//     bool print_psnr(std::FILE* original, std::FILE* copy) {
//         vorik::WaveHeader original_header{};
//         vorik::WaveHeader copy_header{};
//         if (!vorik::read_wave_header(original, original_header) ||
//             !vorik::read_wave_header(copy, copy_header)) {
//             return false;
//         }
//         vorik::Measurement measurement{};
//         vorik::start_measurement(measurement, original, original_header, copy, copy_header);
//         while (vorik::measure_next_block(measurement)) {
//             // measurement.result holds the running result after each second.
//         }
//         const vorik::PsnrResult& result = measurement.result;
//         std::printf("L%8.3fdB | R%8.3fdB | LR%8.3fdB, %s\n", result.left_db, result.right_db,
//                     (result.left_db + result.right_db) * 0.5,
//                     measurement.state == vorik::MeasurementState::finished ? "finished" : "stopped short");
//         vorik::finish_measurement(measurement);
//         return true;
//     }
//
// Open the files in binary mode ("rb"). With the CMake package:
// find_package(vorik) and target_link_libraries(... vorik::library); with
// pkg-config: `pkg-config --cflags --libs vorik`.
#pragma once

#include <vorik/measurement.h>
#include <vorik/psnr_meter.h>
#include <vorik/version.h>
#include <vorik/wave_header.h>
