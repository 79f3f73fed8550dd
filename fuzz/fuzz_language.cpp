// The language lookup: any file, any key, any language number. A text never exceeds its
// limit and never reaches past its own line.
#include <cstring>
#include <string>

#include "app/gui/language.h"
#include "fuzz/fuzz_util.h"

namespace {
size_t characters(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // First byte: the language number; then the key up to the first newline; then the file.
    const int32_t language = static_cast<int8_t>(data[0]);
    const auto* begin = reinterpret_cast<const char*>(data + 1);
    const auto* end = begin + (size - 1);
    const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', size - 1));
    const std::string key(begin, newline ? newline : end);
    const char* content = newline ? newline + 1 : end;
    tvfuzz::MemFile file(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(content),
                                                  static_cast<size_t>(end - content)));
    if (!file.ok()) return 0;
    const std::string text = tv::gui::GetLanguageText(file.path(), language, key);
    if (characters(text) > tv::gui::kLanguageTextLimit) __builtin_trap();
    // A value is one line of the file.
    if (text.find('\n') != std::string::npos) __builtin_trap();
    return 0;
}
