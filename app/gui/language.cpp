#include "app/gui/language.h"

#include <ini.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace tv::gui {

namespace {

// A language file is a few kilobytes; anything far larger is not one.
constexpr long kMaxLanguageFile = 4 * 1024 * 1024;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Feeds the file to the parser line by line. The parser reads lines into a fixed buffer of
// a couple of hundred bytes, while a text may hold 258 characters of up to four bytes each.
// A longer "name=value" line is therefore handed over in pieces: the first as it stands, each
// further one as a line of its own under a name that no file holds, which the lookup appends
// to the text of the first. A piece never ends in white space, and each further piece starts
// with a marker byte, so the parser's trimming takes nothing from the text and its
// inline-comment rule sees what it would see in the whole line. Lines lose their leading
// white space, so the parser never joins two lines of the file as one multi-line value.
struct LineFeed {
    std::string_view rest;     // the file not yet handed over
    std::string_view pending;  // what is left of a long name=value line
    std::string_view current;  // the line (or piece) the parser is working on, without '\n'
    bool currentIsPiece = false;
    size_t lineNumber = 0;  // lines of the file handed over so far; pieces do not count
    std::string shortened;  // a long section line, cut down
};

// Position of the first '=' or ':' that the parser takes as the separator, or npos when the
// line is not a name=value line for it (an inline comment comes first, or none at all).
size_t SeparatorOf(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '=' || line[i] == ':') return i;
        if (line[i] == ';' && i > 0 && IsSpace(line[i - 1])) return std::string_view::npos;
    }
    return std::string_view::npos;
}

// Largest cut point p in [low, high] with text[p-1] not white space; 0 if there is none.
size_t CutPoint(std::string_view text, size_t low, size_t high) {
    for (size_t p = high; p >= low && p > 0; --p) {
        if (!IsSpace(text[p - 1])) return p;
    }
    return 0;
}

// Name and marker that open a further piece.
constexpr std::string_view kPieceStart = "\x01=\x02";

char* Deliver(LineFeed& feed, char* buffer, std::string_view text, bool piece) {
    char* out = buffer;
    if (piece) {
        std::memcpy(out, kPieceStart.data(), kPieceStart.size());
        out += kPieceStart.size();
    }
    std::memcpy(out, text.data(), text.size());
    out += text.size();
    *out++ = '\n';
    *out = '\0';
    feed.current = text;
    feed.currentIsPiece = piece;
    if (!piece) ++feed.lineNumber;
    return buffer;
}

char* ReadLine(char* buffer, int num, void* stream) {
    auto& feed = *static_cast<LineFeed*>(stream);
    if (num < 8) return nullptr;
    const size_t room = static_cast<size_t>(num) - 2;  // keep space for '\n' and the terminator

    if (!feed.pending.empty()) {
        std::string_view piece = feed.pending;
        const size_t pieceRoom = room - kPieceStart.size();
        if (piece.size() > pieceRoom) {
            const size_t cut = CutPoint(piece, 1, pieceRoom);
            piece = cut == 0 ? std::string_view{} : piece.substr(0, cut);
        }
        if (piece.empty()) {
            // White space longer than a piece: the rest of the line is dropped.
            feed.pending = {};
        } else {
            feed.pending.remove_prefix(piece.size());
            return Deliver(feed, buffer, piece, true);
        }
    }
    if (feed.rest.empty()) return nullptr;

    size_t end = feed.rest.find('\n');
    std::string_view line = feed.rest.substr(0, end);
    feed.rest.remove_prefix(end == std::string_view::npos ? feed.rest.size() : end + 1);
    while (!line.empty() && IsSpace(line.front())) line.remove_prefix(1);

    if (line.size() > room) {
        // Only a line that the parser takes as "name=value" with a name is cut into pieces;
        // any other line loses its tail, which holds nothing a lookup could find.
        const size_t separator = SeparatorOf(line.substr(0, room));
        const bool splittable = line[0] != '[' && line[0] != ';' && line[0] != '#' &&
                                separator != std::string_view::npos && separator > 0;
        const size_t cut = splittable ? CutPoint(line, separator + 1, room) : 0;
        if (cut != 0) {
            feed.pending = line.substr(cut);
            line = line.substr(0, cut);
            // White space that opens the text is not part of it, however long it is.
            if (cut == separator + 1) {
                while (!feed.pending.empty() && IsSpace(feed.pending.front())) {
                    feed.pending.remove_prefix(1);
                }
            }
        } else if (line[0] == '[' && line.find(']') != std::string_view::npos) {
            // A section too long to be one of ours stays a section, so that the lines below
            // it are not taken for the section before it.
            feed.shortened.assign(line.substr(0, room - 1)).push_back(']');
            line = feed.shortened;
        } else {
            line = line.substr(0, room);
        }
    }
    return Deliver(feed, buffer, line, false);
}

struct Lookup {
    std::string_view section;
    std::string_view key;
    LineFeed* feed = nullptr;
    std::string value;
    bool found = false;
    bool collecting = false;  // the pieces of line matchLine extend the value
    size_t matchLine = 0;
};

int OnValue(void* user, const char* section, const char* name, const char* value) {
    auto& lookup = *static_cast<Lookup*>(user);
    if (lookup.feed->currentIsPiece) {
        if (lookup.collecting && lookup.feed->lineNumber == lookup.matchLine && *value != '\0') {
            const std::string_view text(value + 1);  // after the marker
            // An inline comment in this piece ends the text.
            lookup.collecting = text.size() == lookup.feed->current.size();
            lookup.value += text;
        }
        return 1;
    }
    if (lookup.found || !SameName(section, lookup.section) || !SameName(name, lookup.key)) {
        return 1;
    }
    lookup.found = true;
    lookup.value = value;
    // Further pieces extend the text only when the parser kept it to the end of the first
    // piece; an inline comment makes the rest of the line part of the comment.
    const std::string_view line = lookup.feed->current;
    const size_t separator = SeparatorOf(line);
    if (separator == std::string_view::npos) return 1;
    std::string_view full = line.substr(separator + 1);
    while (!full.empty() && IsSpace(full.front())) full.remove_prefix(1);
    lookup.collecting = lookup.value.size() == full.size();
    lookup.matchLine = lookup.feed->lineNumber;
    return 1;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

bool ReadWholeFile(const std::filesystem::path& path, std::string& out) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
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
    std::string contents;
    if (!ReadWholeFile(languageFile, contents)) return {};
    const std::string section = "Lang" + std::to_string(language);

    LineFeed feed;
    feed.rest = contents;
    Lookup lookup;
    lookup.section = section;
    lookup.key = key;
    lookup.feed = &feed;
    ini_parse_stream(ReadLine, &feed, OnValue, &lookup);  // syntax errors only skip lines
    return CutToCharacters(lookup.value, kLanguageTextLimit);
}

}  // namespace tv::gui
