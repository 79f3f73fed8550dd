// The rules by which the window's progress timer follows a conversion job. They know no
// window toolkit: one tick reads the job's progress record and says what the progress bar
// and the message box should do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/conversion_job.h"

namespace tv::gui {

struct PollActions {
    // The job announced its frame total: the bar's range becomes 0..range, its position 0.
    bool setRange = false;
    int32_t range = 0;
    // Move the bar.
    bool setPosition = false;
    int32_t position = 0;
    // The job has ended and left the record for good: the window collects the worker thread,
    // tells the user how it ended (see job_messages.h) and then empties the bar.
    bool jobEnded = false;
    JobReport report;  // how it ended, when jobEnded
};

// One timer tick:
//  1. A fresh announcement (m_jobStarted) sets the range, clears the flag under the lock and
//     does nothing else on this tick.
//  2. Otherwise, once the job has published its end (m_jobEnded), its outcome is reported and
//     the record returns to idle, so the following ticks do nothing.
//  3. Otherwise the bar follows the frames done. Done = total alone is not the end: the job
//     still finalises the AVI, and the message waits for it.
PollActions PollProgress(ConversionProgress& progress);

// Returns the record to idle for the next job. Only while no job uses it.
void ResetProgress(ConversionProgress& progress);

// The numbers under the bar, as the command line shows them: the recording's bytes count as
// done in the share of its frames done.
struct ProgressNumbers {
    int percent = 0;
    int32_t done = 0;
    int32_t total = 0;
    double elapsedSeconds = 0;
    double leftSeconds = -1;  // unknown while negative
    double bytesPerSecond = 0;
};
ProgressNumbers NumbersFor(int32_t done, int32_t total, double elapsedSeconds,
                           uint64_t recordingBytes);
// Fills {percent}, {done}, {total}, {elapsed}, {left} (m:ss, or --:-- while unknown) and
// {rate} (MB/s) in text.
std::string FormatProgressNumbers(std::string_view text, const ProgressNumbers& numbers);

}  // namespace tv::gui
