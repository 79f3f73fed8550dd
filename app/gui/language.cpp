#include "app/gui/language.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "common/platform.h"

namespace tv::gui {

namespace {

// A language file is a few kilobytes; anything far larger is not one.
constexpr long kMaxLanguageFile = 4 * 1024 * 1024;

// The window's texts in English: what a label, caption or question shows when the current
// language has no text for it.
struct EnglishEntry {
    const char* key;
    const char* text;
};
constexpr EnglishEntry kEnglish[] = {
    {"STSource", "Original ifv file:"},
    {"STConversionAVI", "AVI file after conversion:"},
    {"BtConversion", "Start conversion"},
    {"BtLanguage", "Language"},
    {"MessageAVIsucceed", "The AVI file has been created."},
    {"MenuChina", "简体中文"},
    {"MenuEnglish", "English"},
    {"MenuChinaT", "繁體中文"},
    {"BtStop", "Stop"},
    {"BtClearList", "Clear list"},
    {"StProgress",
     "{percent}%   {done} of {total} frames   {elapsed} elapsed   {left} left   "
     "{rate} MB/s"},
    {"StFileTypes", "AVI file (*.avi)|*.avi|Matroska file (*.mkv)|*.mkv|MP4 file (*.mp4)|*.mp4"},
    {"StRecordingTypes", "ifv recordings (*.ifv)"},
    {"StAllFiles", "All files"},
    {"StColumnRecording", "Recording"},
    {"StColumnOutput", "Output"},
    {"StColumnOutcome", "Outcome"},
    {"StQueueWaiting", "Waiting"},
    {"StQueueRunning", "Converting"},
    {"StQueueConverted", "Converted"},
    {"StQueuePartial", "Converted, frames missing"},
    {"StQueueFailed", "Not converted"},
    {"StQueueStopped", "Stopped"},
    {"StQueueExists", "The output exists; left alone"},
    {"StQueueSummary", "{converted} of {total} recordings converted."},
    {"MessageOpenFolder", "Open the folder that holds it?"},
    {"MessageStopQuestion",
     "A conversion is running. Stop it and close the window? The AVI file keeps the frames "
     "converted so far."},
    {"MessageReplaceQuestion", "{file} already exists. Replace it?"},
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Where an inline comment starts: a ';' after white space; npos when there is none.
size_t InlineComment(std::string_view text) {
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == ';' && IsSpace(text[i - 1])) return i;
    }
    return std::string_view::npos;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

bool ReadWholeFile(const std::filesystem::path& path, std::string& out) {
    std::unique_ptr<FILE, FileCloser> file(
        tv::platform::open_stream(tv::platform::utf8_of(path).c_str()));
    if (!file) return false;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return false;
    const long size = std::ftell(file.get());
    if (size < 0 || size > kMaxLanguageFile) return false;
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return false;
    out.resize(static_cast<size_t>(size));
    const size_t got = std::fread(out.data(), 1, out.size(), file.get());
    out.resize(got);
    return true;
}

// Hands every "name=value" of section "Lang<language>" to `take` in file order, until it
// returns false.
void ForEachText(const std::filesystem::path& languageFile, int32_t language,
                 const std::function<bool(std::string_view, std::string_view)>& take) {
    std::string contents;
    if (!ReadWholeFile(languageFile, contents)) return;
    const std::string wanted = "Lang" + std::to_string(language);
    std::string_view rest = contents;
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    bool inSection = false;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = Trim(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;

        const size_t comment = InlineComment(line);
        if (line[0] == '[') {
            const size_t close = line.substr(0, comment).find(']');
            if (close != std::string_view::npos)
                inSection = SameName(line.substr(1, close - 1), wanted);
            continue;
        }
        const size_t separator = line.substr(0, comment).find_first_of("=:");
        if (separator == std::string_view::npos || !inSection) continue;
        std::string_view value = line.substr(separator + 1);
        value = Trim(value.substr(0, InlineComment(value)));
        if (!take(Trim(line.substr(0, separator)), value)) return;
    }
}

}  // namespace

std::string CutToCharacters(std::string_view text, size_t limit) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) continue;  // belongs to the character before it
        if (characters == limit) return std::string(text.substr(0, i));
        ++characters;
    }
    return std::string(text);
}

std::string GetLanguageText(const std::filesystem::path& languageFile, int32_t language,
                            std::string_view key) {
    std::string text;
    ForEachText(languageFile, language, [&](std::string_view name, std::string_view value) {
        if (!SameName(name, key)) return true;
        text = CutToCharacters(value, kLanguageTextLimit);
        return false;
    });
    return text;
}

bool LanguageHasTexts(const std::filesystem::path& languageFile, int32_t language) {
    bool any = false;
    ForEachText(languageFile, language, [&](std::string_view, std::string_view value) {
        any = !value.empty();
        return !any;
    });
    return any;
}

const char* EnglishText(std::string_view key) {
    for (const EnglishEntry& entry : kEnglish) {
        if (key == entry.key) return entry.text;
    }
    return nullptr;
}

}  // namespace tv::gui
