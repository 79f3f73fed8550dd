#include "app/gui/progress_poller.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "app/gui/job_messages.h"

namespace tv::gui {

PollActions PollProgress(ConversionProgress& progress) {
    PollActions actions;
    // The end is read first: once it is seen, everything the job wrote before it is visible,
    // an announcement included, so an announcement is never taken for idle.
    const bool ended = progress.m_jobEnded.load(std::memory_order_acquire);

    if (progress.m_jobStarted.load() != 0) {
        actions.setRange = true;
        actions.range = progress.m_totalFrames.load();
        actions.setPosition = true;
        actions.position = 0;
        std::lock_guard<std::mutex> lock(progress.m_progressLock);
        progress.m_jobStarted.store(0);
        return actions;
    }

    const int32_t done = progress.m_doneFrames.load();
    const int32_t total = progress.m_totalFrames.load();
    if (ended) {
        actions.jobEnded = true;
        actions.report.outcome = static_cast<JobOutcome>(progress.m_outcome.load());
        actions.report.total_frames = total;
        actions.report.written_frames = progress.m_writtenFrames.load();
        actions.report.skipped_frames = progress.m_skippedFrames.load();
        actions.report.missing_frames = progress.m_missingFrames.load();
        if (total != 0) {
            actions.setPosition = true;
            actions.position = done;
        }
        ResetProgress(progress);
        return actions;
    }

    if (done > 0 && done != total) {
        actions.setPosition = true;
        actions.position = done;
    } else if (done != 0 && total != 0 && done == total) {
        // Every frame is written; the bar stays full while the job finalises the file.
        actions.setPosition = true;
        actions.position = total;
    }
    return actions;
}

void ResetProgress(ConversionProgress& progress) {
    progress.m_totalFrames.store(0);
    progress.m_doneFrames.store(0);
    {
        std::lock_guard<std::mutex> lock(progress.m_progressLock);
        progress.m_jobStarted.store(0);
    }
    progress.m_outcome.store(static_cast<int32_t>(JobOutcome::Running));
    progress.m_writtenFrames.store(0);
    progress.m_skippedFrames.store(0);
    progress.m_missingFrames.store(0);
    progress.m_stopRequested.store(false);
    progress.m_jobEnded.store(false);
}

ProgressNumbers NumbersFor(int32_t done, int32_t total, double elapsedSeconds,
                           uint64_t recordingBytes) {
    ProgressNumbers numbers;
    numbers.total = std::max(total, 0);
    numbers.done = std::clamp(done, 0, numbers.total);
    numbers.elapsedSeconds = std::max(elapsedSeconds, 0.0);
    if (numbers.total == 0) return numbers;
    const double fraction = static_cast<double>(numbers.done) / numbers.total;
    numbers.percent = static_cast<int>(fraction * 100.0);
    // The first moments' rate says little: the first bytes come from the page cache.
    if (numbers.elapsedSeconds > 0.5) {
        numbers.bytesPerSecond =
            static_cast<double>(recordingBytes) * fraction / numbers.elapsedSeconds;
    }
    if (numbers.done == numbers.total) {
        numbers.leftSeconds = 0;
    } else if (numbers.done > 0 && numbers.elapsedSeconds > 0.5) {
        numbers.leftSeconds = numbers.elapsedSeconds * (1.0 - fraction) / fraction;
    }
    return numbers;
}

std::string FormatProgressNumbers(std::string_view text, const ProgressNumbers& numbers) {
    const auto clock = [](double seconds) {
        if (seconds < 0) return std::string("--:--");
        const auto whole = static_cast<long long>(seconds + 0.5);
        char out[32];
        std::snprintf(out, sizeof out, "%lld:%02lld", whole / 60, whole % 60);
        return std::string(out);
    };
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", numbers.bytesPerSecond / 1e6);
    std::string out = FillPlaceholder(text, "{percent}", std::to_string(numbers.percent));
    out = FillPlaceholder(out, "{done}", std::to_string(numbers.done));
    out = FillPlaceholder(out, "{total}", std::to_string(numbers.total));
    out = FillPlaceholder(out, "{elapsed}", clock(numbers.elapsedSeconds));
    out = FillPlaceholder(out, "{left}", clock(numbers.leftSeconds));
    return FillPlaceholder(out, "{rate}", rate);
}

}  // namespace tv::gui
