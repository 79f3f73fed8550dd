#include "app/gui/job_messages.h"

#include <cstdint>
#include <system_error>

namespace tv::gui {

OutcomeMessage MessageForOutcome(JobOutcome outcome) {
    const OutcomeRow& row = OutcomeRowOf(outcome);
    return {row.level, row.message_key, row.message};
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
    // Frames that could not be put in place are in the .part: say where.
    if (!report.kept_part.empty()) text += "\n\n" + report.kept_part;
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
