#include "support/avi_check.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "common/bytes.h"

namespace fs = std::filesystem;

namespace tvtest {

namespace {

const uint8_t* field(std::span<const uint8_t> bytes, size_t offset, size_t length) {
    if (offset > bytes.size() || length > bytes.size() - offset) {
        throw std::out_of_range("field at " + std::to_string(offset) + " past the end " +
                                std::to_string(bytes.size()));
    }
    return bytes.data() + offset;
}

bool holds(std::span<const uint8_t> bytes, uint64_t offset, uint64_t length) {
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

}  // namespace

uint16_t le16(std::span<const uint8_t> bytes, size_t offset) {
    return tv::load_le16(field(bytes, offset, 2));
}
uint32_t le32(std::span<const uint8_t> bytes, size_t offset) {
    return tv::load_le32(field(bytes, offset, 4));
}
uint64_t le64(std::span<const uint8_t> bytes, size_t offset) {
    return tv::load_le64(field(bytes, offset, 8));
}
std::string fourcc(std::span<const uint8_t> bytes, size_t offset) {
    return std::string(reinterpret_cast<const char*>(field(bytes, offset, 4)), 4);
}

std::vector<uint8_t> read_range(const fs::path& path, int64_t offset, size_t length) {
    std::vector<uint8_t> bytes(length);
    std::ifstream in(path, std::ios::binary);
    if (!in || !in.seekg(offset)) return {};
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

#ifdef _WIN32
// Read whole where there is no mmap here.
MappedFile::MappedFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    copy_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    bytes_ = copy_;
}

MappedFile::~MappedFile() = default;
#else
MappedFile::MappedFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            bytes_ = {static_cast<const uint8_t*>(map), static_cast<size_t>(st.st_size)};
        }
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (!bytes_.empty()) munmap(const_cast<uint8_t*>(bytes_.data()), bytes_.size());
}
#endif

AviChunk chunk_at(std::span<const uint8_t> file, uint64_t offset) {
    AviChunk c;
    c.offset = offset;
    if (!holds(file, offset, 8)) return c;
    c.tag = fourcc(file, offset);
    c.size = le32(file, offset + 4);
    if ((c.tag == "RIFF" || c.tag == "LIST") && holds(file, offset, 12)) {
        c.type = fourcc(file, offset + 8);
    }
    return c;
}

AviChunk chunk_at(const fs::path& path, uint64_t offset) {
    return chunk_at(MappedFile(path).bytes(), offset);
}

std::vector<AviChunk> walk(std::span<const uint8_t> file, uint64_t begin, uint64_t end) {
    std::vector<AviChunk> chunks;
    for (uint64_t pos = begin; pos + 8 <= end;) {
        AviChunk c = chunk_at(file, pos);
        if (c.tag.empty()) break;
        pos = c.end();
        chunks.push_back(std::move(c));
    }
    return chunks;
}

std::vector<AviChunk> walk(const fs::path& path, uint64_t begin, uint64_t end) {
    return walk(MappedFile(path).bytes(), begin, end);
}

StdIndex read_std_index(std::span<const uint8_t> file, const AviChunk& chunk) {
    StdIndex ix;
    if (!holds(file, chunk.data(), 0)) return ix;
    const std::span<const uint8_t> b =
        file.subspan(chunk.data(), std::min<uint64_t>(chunk.size, file.size() - chunk.data()));
    if (b.size() < 24) return ix;
    ix.longs_per_entry = le16(b, 0);
    ix.sub_type = b[2];
    ix.type = b[3];
    ix.entries = le32(b, 4);
    ix.chunk_id = fourcc(b, 8);
    ix.base = le64(b, 12);
    for (size_t at = 24; at + 8 <= b.size(); at += 8)
        ix.items.emplace_back(le32(b, at), le32(b, at + 4));
    return ix;
}

StdIndex read_std_index(const fs::path& path, const AviChunk& chunk) {
    return read_std_index(MappedFile(path).bytes(), chunk);
}

SuperIndex read_super_index(std::span<const uint8_t> file, uint64_t offset) {
    SuperIndex s;
    if (!holds(file, offset, 8) || fourcc(file, offset) != "indx") return s;
    s.size = le32(file, offset + 4);
    s.longs_per_entry = le16(file, offset + 8);
    s.sub_type = file[offset + 10];
    s.type = file[offset + 11];
    s.count = le32(file, offset + 12);
    s.chunk_id = fourcc(file, offset + 16);
    for (uint64_t i = 0; i < s.count && 24 + 16 * (i + 1) <= s.size; ++i) {
        const uint64_t e = offset + 32 + 16 * i;
        if (!holds(file, e, 16)) break;
        s.entries.push_back({le64(file, e), le32(file, e + 8), le32(file, e + 12)});
    }
    return s;
}

namespace {

// Tags as messages and tables show them: bytes outside printable ASCII become '?'.
std::string printable(std::string tag) {
    for (char& c : tag) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    }
    return tag;
}

class Walker {
  public:
    Walker(std::span<const uint8_t> file, AviReport& report) : f_(file), r_(report) {}

    void run() {
        if (f_.size() < 12) return problem("file shorter than a RIFF header");
        uint64_t pos = 0;
        while (pos < f_.size()) {
            if (pos + 12 > f_.size())
                return problem("trailing bytes after the last RIFF at " + num(pos));
            const AviChunk riff = chunk_at(f_, pos);
            if (riff.tag != "RIFF")
                return problem("expected RIFF at " + num(pos) + ", found " + printable(riff.tag));
            const uint64_t end = pos + 8 + riff.size;
            if (end > f_.size())
                return problem("RIFF at " + num(pos) + " runs past the end of the file");
            const std::string form = printable(riff.type);
            if (r_.riff_segments == 0 && form != "AVI ") problem("first RIFF form is " + form);
            if (r_.riff_segments > 0 && form != "AVIX")
                problem("RIFF form at " + num(pos) + " is " + form);
            ++r_.riff_segments;
            walk_list_body(pos + 12, end, r_.riff_segments == 1 ? "AVI " : "AVIX");
            pos = end + (end & 1);
        }
        if (pos != f_.size()) problem("RIFF segments do not end at the end of the file");
        check_indexes();
    }

  private:
    void problem(const std::string& text) {
        if (r_.problems.size() < 50) r_.problems.push_back(text);
    }
    static std::string num(uint64_t v) { return std::to_string(v); }
    bool fits(uint64_t at, uint64_t n, uint64_t end) const { return at <= end && n <= end - at; }

    // Walks the chunks between begin and end, the content of a list of the given form.
    void walk_list_body(uint64_t begin, uint64_t end, const std::string& form) {
        uint64_t pos = begin;
        while (pos < end) {
            if (!fits(pos, 8, end))
                return problem("chunk header at " + num(pos) + " crosses the end of its " + form +
                               " list");
            const AviChunk c = chunk_at(f_, pos);
            const std::string id = printable(c.tag);
            const uint32_t size = c.size;
            if (!fits(pos + 8, size, end)) {
                return problem(id + " at " + num(pos) + " (size " + num(size) +
                               ") crosses the end of its " + form + " list");
            }
            if (id == "LIST" || id == "RIFF") {
                if (size < 4) return problem("LIST at " + num(pos) + " shorter than its form");
                const std::string sub = printable(c.type);
                if (sub == "movi" && movi_count_++ == 0) r_.first_movi_size = size;
                if (sub == "strl") r_.streams.emplace_back();
                walk_list_body(pos + 12, pos + 8 + size, sub);
            } else {
                visit_chunk(pos, id, size, form);
            }
            const uint64_t next = pos + 8 + size + (size & 1);
            if (next > end && pos + 8 + size != end)
                return problem("pad byte of " + id + " at " + num(pos) + " crosses its list");
            pos = next;
        }
    }

    void visit_chunk(uint64_t pos, const std::string& id, uint32_t size, const std::string& form) {
        const uint64_t body = pos + 8;
        if (form == "movi") {
            if (id.size() == 4 && id[0] == 'i' && id[1] == 'x') {
                r_.std_index_chunks.push_back({pos, id, size, ""});
            } else if (id == "JUNK") {
            } else if (id.substr(2) == "db" || id.substr(2) == "dc" || id.substr(2) == "wb") {
                r_.data_chunks.push_back({pos, id, size, ""});
                ++r_.chunk_count[id];
                chunks_[pos] = {pos, id, size, ""};
            } else {
                problem("unexpected chunk " + id + " in movi at " + num(pos));
            }
            return;
        }
        if (id.size() == 4 && id[0] == 'i' && id[1] == 'x' && form != "strl") {
            r_.std_index_chunks.push_back({pos, id, size, ""});
            return;
        }
        if (id == "avih" && size >= 56) {
            r_.avih_flags = le32(f_, body + 12);
            r_.avih_total_frames = le32(f_, body + 16);
            r_.avih_streams = le32(f_, body + 24);
            r_.width = le32(f_, body + 32);
            r_.height = le32(f_, body + 36);
        } else if (id == "strh" && size >= 48 && !r_.streams.empty()) {
            auto& s = r_.streams.back();
            s.type = printable(fourcc(f_, body));
            s.handler = printable(fourcc(f_, body + 4));
            s.scale = le32(f_, body + 20);
            s.rate = le32(f_, body + 24);
            s.length = le32(f_, body + 32);
            s.sample_size = le32(f_, body + 44);
        } else if (id == "strf" && !r_.streams.empty()) {
            auto& s = r_.streams.back();
            if (s.type == "auds" && size >= 16) {
                s.format_tag = le16(f_, body);
                s.channels = le16(f_, body + 2);
                s.sample_rate = le32(f_, body + 4);
                s.avg_bytes_per_sec = le32(f_, body + 8);
                s.block_align = le16(f_, body + 12);
                s.bits_per_sample = le16(f_, body + 14);
            }
        } else if (id == "indx" && !r_.streams.empty()) {
            if (size < 24) return problem("indx at " + num(pos) + " too short");
            const SuperIndex index = read_super_index(f_, pos);
            auto& s = r_.streams.back();
            s.super_index_entries = index.count;
            s.super_index_chunk_id = printable(index.chunk_id);
            if (index.longs_per_entry != 4 || index.type != 0)
                problem("indx at " + num(pos) + " is not an index of indexes");
            if (24 + 16ull * index.count > size)
                return problem("indx at " + num(pos) + " holds fewer entries than it counts");
            for (const SuperEntry& e : index.entries) {
                super_entries_.push_back({r_.streams.size() - 1, e, s.super_index_chunk_id});
            }
        } else if (id == "dmlh" && size >= 4) {
            r_.dmlh_total_frames = le32(f_, body);
        } else if (id == "idx1") {
            r_.has_idx1 = true;
            if (size % 16 != 0) problem("idx1 size " + num(size) + " is no multiple of 16");
            r_.idx1_entries = size / 16;
            idx1_at_ = body;
        }
    }

    void check_indexes() {
        // Legacy index: absolute offsets of data chunks in the first segment.
        for (uint32_t i = 0; i < r_.idx1_entries; ++i) {
            const uint64_t e = idx1_at_ + 16ull * i;
            const std::string id = printable(fourcc(f_, e));
            const uint32_t offset = le32(f_, e + 8), size = le32(f_, e + 12);
            auto it = chunks_.find(offset);
            if (it == chunks_.end()) {
                problem("idx1 entry " + num(i) + " (" + id + ") points at " + num(offset) +
                        ", where no data chunk starts");
            } else if (it->second.tag != id || it->second.size != size) {
                problem("idx1 entry " + num(i) + " says " + id + "/" + num(size) +
                        " but the chunk is " + it->second.tag + "/" + num(it->second.size));
            }
        }
        // OpenDML: super index entries point at standard index chunks, whose entries point at
        // data chunks of the indexed stream.
        std::set<uint64_t> ix_positions;
        for (const auto& c : r_.std_index_chunks) ix_positions.insert(c.offset);
        for (const auto& se : super_entries_) {
            if (se.entry.offset == 0 && se.entry.size == 0) continue;
            if (!ix_positions.count(se.entry.offset)) {
                problem("indx entry of stream " + num(se.stream) + " points at " +
                        num(se.entry.offset) + ", where no ix chunk starts");
                continue;
            }
            if (!fits(se.entry.offset + 8, 24, f_.size())) continue;
            const AviChunk ix_chunk = chunk_at(f_, se.entry.offset);
            if (ix_chunk.size != se.entry.size)
                problem("indx entry size " + num(se.entry.size) +
                        " differs from its ix chunk size " + num(ix_chunk.size));
            const StdIndex ix = read_std_index(f_, ix_chunk);
            if (24 + 8ull * ix.entries > ix_chunk.size) {
                problem("ix chunk at " + num(se.entry.offset) +
                        " holds fewer entries than it counts");
                continue;
            }
            const std::string chunk_id = printable(ix.chunk_id);
            if (chunk_id != se.chunk_id) {
                problem("ix chunk at " + num(se.entry.offset) + " indexes " + chunk_id +
                        " but its indx names " + se.chunk_id);
            }
            for (uint32_t i = 0; i < ix.entries; ++i) {
                const uint64_t data = ix.base + ix.items[i].first;
                const uint32_t size = ix.items[i].second & 0x7FFFFFFFu;
                auto it = chunks_.find(data - 8);
                if (data < 8 || it == chunks_.end()) {
                    problem("ix entry " + num(i) + " at " + num(se.entry.offset) + " points at " +
                            num(data) + ", where no chunk data starts");
                    break;
                }
                if (it->second.tag != chunk_id || it->second.size != size) {
                    problem("ix entry " + num(i) + " at " + num(se.entry.offset) + " says " +
                            chunk_id + "/" + num(size) + " but the chunk is " + it->second.tag +
                            "/" + num(it->second.size));
                    break;
                }
            }
        }
        if (r_.avih_streams != r_.streams.size()) {
            problem("avih counts " + num(r_.avih_streams) + " streams, the header lists " +
                    num(r_.streams.size()));
        }
    }

    struct StreamEntry {
        size_t stream;
        SuperEntry entry;
        std::string chunk_id;
    };

    std::span<const uint8_t> f_;
    AviReport& r_;
    std::map<uint64_t, AviChunk> chunks_;
    std::vector<StreamEntry> super_entries_;
    uint64_t idx1_at_ = 0;
    int movi_count_ = 0;
};

}  // namespace

AviReport check_avi(std::span<const uint8_t> file) {
    AviReport report;
    Walker(file, report).run();
    return report;
}

AviReport check_avi_file(const std::string& path) {
    const MappedFile file(path);
    if (file.bytes().empty()) {
        AviReport report;
        report.problems.push_back("cannot read " + path);
        return report;
    }
    return check_avi(file.bytes());
}

std::string describe(const AviReport& report) {
    std::ostringstream out;
    for (const auto& p : report.problems) out << p << "\n";
    return out.str();
}

}  // namespace tvtest
