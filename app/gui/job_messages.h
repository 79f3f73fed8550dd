// What the user is told when a conversion ends.
#pragma once

#include <string>
#include <string_view>

#include "app/conversion_job.h"

namespace tv::gui {

using MessageLevel = OutcomeLevel;

struct OutcomeMessage {
    MessageLevel level;
    const char* key;       // language key of the text
    const char* fallback;  // built-in English, for a language file without the key
};

// The window's part of the outcome's row.
OutcomeMessage MessageForOutcome(JobOutcome outcome);

// Fills the placeholders {total}, {written} and {skipped} (frames of the recording that are
// not in the AVI: refused by the reader or never delivered) from the report; other text,
// unknown placeholders included, stays as it is.
std::string FormatOutcomeMessage(std::string_view text, const JobReport& report);

// The text the message box shows: the language file's text for the outcome (as looked up by
// the caller), or the built-in English when that is empty, with the placeholders filled and,
// for a failure the system reported, the system's own words for it on a line of their own.
std::string OutcomeMessageText(const OutcomeMessage& message, const std::string& translated,
                               const JobReport& report);

// Replaces every `name` in text with value.
std::string FillPlaceholder(std::string_view text, std::string_view name, std::string_view value);

}  // namespace tv::gui
