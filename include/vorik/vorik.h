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
// What vorik-check measures is here too: the chunk walk of any 16-bit PCM
// WAV file (<vorik/wave_format.h>), a copy compared with its original second
// by second and channel by channel at a delay (<vorik/channel_measurement.h>),
// in exact integer sums (<vorik/channel_differences.h>). Its delay search
// is an archive of its own, vorik::alignment (<vorik/alignment.h>), as it
// uses an FFT.
//
// The loop at the heart of every use, on two files opened with "rb":
//
//     vorik::WaveHeader first_header{};
//     vorik::WaveHeader second_header{};
//     if (vorik::read_wave_header(first, first_header) && vorik::read_wave_header(second, second_header)) {
//         vorik::Measurement measurement{};
//         vorik::start_measurement(measurement, first, first_header, second, second_header);
//         while (vorik::measure_next_block(measurement)) {
//             // measurement.result holds the running result after each second.
//         }
//         // measurement.state says how it ended: finished, or why not.
//         vorik::finish_measurement(measurement);
//     }
//
// The README's "Using the library from C++" gives a whole example, which the
// project's tests compile and run against the tool.
//
// With the CMake package:
// find_package(vorik) and target_link_libraries(... vorik::library); with
// pkg-config: `pkg-config --cflags --libs vorik`.
#pragma once

#include <vorik/channel_differences.h>
#include <vorik/channel_measurement.h>
#include <vorik/measurement.h>
#include <vorik/psnr_meter.h>
#include <vorik/version.h>
#include <vorik/wave_format.h>
#include <vorik/wave_header.h>
