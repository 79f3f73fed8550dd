#include "app/conversion_job.h"

namespace tv {

// Placeholder until the conversion is wired to the reader and the writer.
JobReport ConversionJob(const std::string&, const std::string&, ConversionProgress& progress) {
    JobReport report;
    report.outcome = JobOutcome::SourceNotOpened;
    progress.m_outcome.store(static_cast<int32_t>(report.outcome));
    progress.m_jobEnded.store(true, std::memory_order_release);
    return report;
}

const char* JobOutcomeText(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::Running: return "running";
        case JobOutcome::Converted: return "converted";
        case JobOutcome::Partial: return "converted with frames missing";
        case JobOutcome::SourceNotOpened: return "recording not opened";
        case JobOutcome::OutputNotCreated: return "output not created";
        case JobOutcome::WriteFailed: return "write failed";
        case JobOutcome::NoFrames: return "no frames";
        case JobOutcome::Stopped: return "stopped";
    }
    return "unknown";
}

}  // namespace tv
