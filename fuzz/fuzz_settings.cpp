// The settings file: any bytes load without harm, and whatever was read survives a save and a
// load unchanged (a value the program cannot keep would be lost at the next run).
#include <unistd.h>

#include <cstring>
#include <string>

#include "app/gui/settings.h"
#include "fuzz/fuzz_util.h"

using tv::gui::AppSettings;

namespace {
bool same(const tv::gui::Settings& a, const tv::gui::Settings& b) {
    return a.Language == b.Language && a.BrowsePath == b.BrowsePath && a.Format == b.Format &&
           a.StartTime == b.StartTime && a.StartDirTime == b.StartDirTime &&
           a.gpsoverlay == b.gpsoverlay;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tvfuzz::MemFile file(std::span<const uint8_t>(data, size));
    if (!file.ok()) return 0;
    AppSettings = tv::gui::Settings{};
    tv::gui::g_settingsPath = file.path();
    tv::gui::LoadSettings();
    const tv::gui::Settings loaded = AppSettings;

    static const std::string copy =
        "/dev/shm/torvane-fuzz-settings-" + std::to_string(getpid()) + ".dat";
    tv::gui::g_settingsPath = copy;
    tv::gui::SaveSettings();
    AppSettings = tv::gui::Settings{};
    tv::gui::LoadSettings();
    // XML cannot carry every byte (control characters, for one); such a path is not kept
    // across runs, which is acceptable. Everything else must come back exactly.
    bool plain = true;
    for (unsigned char c : loaded.BrowsePath) plain = plain && (c >= 0x20 || c == '\t');
    if (plain && !same(loaded, AppSettings)) __builtin_trap();
    unlink(copy.c_str());
    return 0;
}
