#include "app/gui/job_messages.h"

#include <cstdint>
#include <system_error>

namespace tv::gui {

OutcomeMessage MessageForOutcome(JobOutcome outcome) {
    switch (outcome) {
        case JobOutcome::Converted:
            return {MessageLevel::Information, "MessageAVIsucceed",
                    "The AVI file has been created."};
        case JobOutcome::Partial:
            return {MessageLevel::Warning, "MessageAVIPartial",
                    "The AVI file has been created, but {skipped} of {total} frames could not "
                    "be converted and are missing from it."};
        case JobOutcome::SourceNotOpened:
            return {MessageLevel::Error, "MessageSourceFailed",
                    "The recording could not be opened. It may be damaged or not an ifv "
                    "recording."};
        case JobOutcome::OutputNotCreated:
            return {MessageLevel::Error, "MessageOutputFailed",
                    "The AVI file could not be created. Check the folder and the free space."};
        case JobOutcome::WriteFailed:
            return {MessageLevel::Error, "MessageWriteFailed",
                    "Writing the AVI file failed after {written} frames. The file holds only "
                    "the part written before the failure."};
        case JobOutcome::ReadFailed:
            return {MessageLevel::Error, "MessageReadFailed",
                    "Reading the recording failed after {written} frames. The AVI file holds "
                    "only the part converted before the failure."};
        case JobOutcome::NoFrames:
            return {MessageLevel::Error, "MessageNoFrames",
                    "The recording holds no frames; there is nothing to convert."};
        case JobOutcome::Stopped:
            return {MessageLevel::Warning, "MessageStopped",
                    "The conversion was stopped. The AVI file holds the {written} frames "
                    "written until then."};
        case JobOutcome::Running:
            break;
    }
    return {MessageLevel::Error, "MessageFailed", "The conversion failed."};
}

std::string FormatOutcomeMessage(std::string_view text, const JobReport& report) {
    const auto skipped = int64_t{report.skipped_frames} + report.missing_frames;
    const struct {
        std::string_view name;
        int64_t value;
    } fields[] = {{"{total}", report.total_frames},
                  {"{written}", report.written_frames},
                  {"{skipped}", skipped}};
    std::string out;
    while (!text.empty()) {
        bool replaced = false;
        for (const auto& field : fields) {
            if (text.starts_with(field.name)) {
                out += std::to_string(field.value);
                text.remove_prefix(field.name.size());
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += text.front();
            text.remove_prefix(1);
        }
    }
    return out;
}

std::string OutcomeMessageText(const OutcomeMessage& message, const std::string& translated,
                               const JobReport& report) {
    std::string text = FormatOutcomeMessage(
        translated.empty() ? std::string_view(message.fallback) : std::string_view(translated),
        report);
    if (message.level == MessageLevel::Error && report.system_error != 0) {
        text += "\n\n" + std::generic_category().message(report.system_error);
    }
    return text;
}

std::string FillPlaceholder(std::string_view text, std::string_view name, std::string_view value) {
    if (name.empty()) return std::string(text);
    std::string out;
    for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name)) {
        out.append(text.substr(0, at)).append(value);
        text.remove_prefix(at + name.size());
    }
    return out.append(text);
}

}  // namespace tv::gui
