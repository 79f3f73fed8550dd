#include "app/gui/settings.h"

#include <tinyxml2.h>

#include <cctype>
#include <cstdio>
#include <limits>
#include <system_error>

#include "app/conversion_job.h"
#include "common/platform.h"

namespace tv::gui {

Settings AppSettings;
std::filesystem::path g_settingsPath;
std::filesystem::path g_defaultSettingsPath;

namespace {
// By their Format number.
constexpr OutputFormat kFormats[] = {OutputFormat::Avi, OutputFormat::Matroska, OutputFormat::Mp4};
}  // namespace

const char* FormatExtension(int32_t format) {
    return OutputFormatName(format >= 1 && format <= 2 ? kFormats[format] : kFormats[0]);
}

int32_t FormatOfExtension(std::string_view extension) {
    const OutputFormat named = OutputFormatNamed(extension);
    for (int32_t format = 1; format < 3; ++format)
        if (kFormats[format] == named) return format;
    return 0;
}

int32_t AtoiValue(const char* text) {
    if (text == nullptr) return 0;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > kLimit) value = kLimit;  // stays put once past the range
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

namespace {

void LoadSettingsFrom(const std::filesystem::path& path) {
    tinyxml2::XMLDocument document;
    // A failed load leaves an empty document: every value keeps what it had.
    FILE* file = tv::platform::open_stream(tv::platform::utf8_of(path).c_str());
    if (file == nullptr) return;
    document.LoadFile(file);
    std::fclose(file);
    const tinyxml2::XMLElement* root = document.FirstChildElement();
    if (root == nullptr) return;
    // Element names play no part; the last element carrying an attribute wins.
    for (const tinyxml2::XMLElement* group = root->FirstChildElement(); group != nullptr;
         group = group->NextSiblingElement()) {
        for (const tinyxml2::XMLElement* item = group->FirstChildElement(); item != nullptr;
             item = item->NextSiblingElement()) {
            if (const char* text = item->Attribute("BrowsePath")) AppSettings.BrowsePath = text;
            if (const char* text = item->Attribute("Language")) {
                AppSettings.Language = AtoiValue(text);
            }
            if (const char* text = item->Attribute("Format")) AppSettings.Format = AtoiValue(text);
            if (const char* text = item->Attribute("StartTime")) {
                AppSettings.StartTime = AtoiValue(text);
            }
            if (const char* text = item->Attribute("StartDirTime")) {
                AppSettings.StartDirTime = AtoiValue(text);
            }
            if (const char* text = item->Attribute("gpsoverlay")) {
                AppSettings.gpsoverlay = AtoiValue(text);
            }
        }
    }
}

}  // namespace

void LoadSettings() {
    if (!g_defaultSettingsPath.empty()) LoadSettingsFrom(g_defaultSettingsPath);
    LoadSettingsFrom(g_settingsPath);
}

void SaveSettings() {
    tinyxml2::XMLDocument document;
    tinyxml2::XMLElement* root = document.NewElement("XML");
    document.InsertEndChild(root);
    tinyxml2::XMLElement* group = document.NewElement("CollocateXML");
    tinyxml2::XMLElement* item = document.NewElement("Collocate");
    item->SetAttribute("Language", AppSettings.Language);
    item->SetAttribute("BrowsePath", AppSettings.BrowsePath.c_str());
    item->SetAttribute("Format", AppSettings.Format);
    item->SetAttribute("StartTime", AppSettings.StartTime);
    item->SetAttribute("StartDirTime", AppSettings.StartDirTime);
    item->SetAttribute("gpsoverlay", AppSettings.gpsoverlay);
    group->InsertEndChild(item);
    root->InsertEndChild(group);

    // The user's configuration folder may not exist yet on a first run.
    std::error_code ec;
    if (g_settingsPath.has_parent_path()) {
        std::filesystem::create_directories(g_settingsPath.parent_path(), ec);
    }
    FILE* file = tv::platform::create_stream(tv::platform::utf8_of(g_settingsPath).c_str());
    if (file == nullptr) return;
    document.SaveFile(file);
    std::fclose(file);
}

}  // namespace tv::gui
