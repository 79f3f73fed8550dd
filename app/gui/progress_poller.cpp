#include "app/gui/progress_poller.h"

#include <mutex>

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

}  // namespace tv::gui
