// A stand-in for the conversion job, preloaded into the real window by the window test: it
// runs long enough to be interrupted, honours a stop request after the current frame and
// logs what happened, so the test sees how the window treats a running job.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/conversion_job.h"

namespace {

constexpr int32_t kFrames = 80;
constexpr auto kFrameTime = std::chrono::milliseconds(100);

void Log(const std::string& line) {
    if (const char* path = std::getenv("TORVANE_SLOW_JOB_LOG")) {
        std::ofstream(path, std::ios::app) << line << std::endl;
    }
}

}  // namespace

namespace tv {

JobReport ConversionJob(const std::string& sourcePath, const std::string& outputPath,
                        ConversionProgress& progress, const ConversionOptions&) {
    Log("start " + sourcePath + " " + outputPath);
    progress.m_totalFrames.store(kFrames);
    {
        std::lock_guard<std::mutex> lock(progress.m_progressLock);
        progress.m_jobStarted.store(1);
    }
    int32_t done = 0;
    while (done < kFrames && !progress.m_stopRequested.load()) {
        std::this_thread::sleep_for(kFrameTime);
        progress.m_doneFrames.store(++done);
    }
    const bool stopped = done < kFrames;
    progress.m_doneFrames.store(kFrames);
    // "Finalising" the output takes a moment, too.
    std::this_thread::sleep_for(kFrameTime * 3);
    std::ofstream(outputPath) << "frames " << done << (stopped ? " stopped" : " complete") << "\n";
    Log("end " + std::to_string(done) + (stopped ? " stopped" : " complete"));

    JobReport report;
    report.outcome = stopped ? JobOutcome::Stopped : JobOutcome::Converted;
    report.total_frames = kFrames;
    report.written_frames = done;
    progress.m_outcome.store(static_cast<int32_t>(report.outcome));
    progress.m_writtenFrames.store(done);
    progress.m_jobEnded.store(true, std::memory_order_release);
    return report;
}

}  // namespace tv
