#include "support/avi_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "common/bytes.h"

namespace tvtest {
namespace {

class Walker {
  public:
    Walker(std::span<const uint8_t> file, AviReport& report) : f_(file), r_(report) {}

    void run() {
        if (f_.size() < 12) return problem("file shorter than a RIFF header");
        uint64_t pos = 0;
        while (pos < f_.size()) {
            if (pos + 12 > f_.size())
                return problem("trailing bytes after the last RIFF at " + num(pos));
            if (tag(pos) != "RIFF")
                return problem("expected RIFF at " + num(pos) + ", found " + tag(pos));
            const uint64_t end = pos + 8 + u32(pos + 4);
            if (end > f_.size())
                return problem("RIFF at " + num(pos) + " runs past the end of the file");
            const std::string form = tag(pos + 8);
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
    uint32_t u32(uint64_t at) const { return tv::load_le32(f_.data() + at); }
    uint16_t u16(uint64_t at) const { return tv::load_le16(f_.data() + at); }
    std::string tag(uint64_t at) const {
        std::string s(reinterpret_cast<const char*>(f_.data() + at), 4);
        for (char& c : s)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
                c = '?';
        return s;
    }
    bool fits(uint64_t at, uint64_t n, uint64_t end) const { return at <= end && n <= end - at; }

    // Walks the chunks between begin and end, the content of a list of the given form.
    void walk_list_body(uint64_t begin, uint64_t end, const std::string& form) {
        uint64_t pos = begin;
        while (pos < end) {
            if (!fits(pos, 8, end))
                return problem("chunk header at " + num(pos) + " crosses the end of its " + form +
                               " list");
            const std::string id = tag(pos);
            const uint32_t size = u32(pos + 4);
            if (!fits(pos + 8, size, end)) {
                return problem(id + " at " + num(pos) + " (size " + num(size) +
                               ") crosses the end of its " + form + " list");
            }
            if (id == "LIST" || id == "RIFF") {
                if (size < 4) return problem("LIST at " + num(pos) + " shorter than its form");
                const std::string sub = tag(pos + 8);
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
                r_.std_index_chunks.push_back({pos, id, size});
            } else if (id == "JUNK") {
            } else if (id.substr(2) == "db" || id.substr(2) == "dc" || id.substr(2) == "wb") {
                r_.data_chunks.push_back({pos, id, size});
                ++r_.chunk_count[id];
                chunks_[pos] = {pos, id, size};
            } else {
                problem("unexpected chunk " + id + " in movi at " + num(pos));
            }
            return;
        }
        if (id.size() == 4 && id[0] == 'i' && id[1] == 'x' && form != "strl") {
            r_.std_index_chunks.push_back({pos, id, size});
            return;
        }
        if (id == "avih" && size >= 56) {
            r_.avih_flags = u32(body + 12);
            r_.avih_total_frames = u32(body + 16);
            r_.avih_streams = u32(body + 24);
            r_.width = u32(body + 32);
            r_.height = u32(body + 36);
        } else if (id == "strh" && size >= 48 && !r_.streams.empty()) {
            auto& s = r_.streams.back();
            s.type = tag(body);
            s.handler = tag(body + 4);
            s.scale = u32(body + 20);
            s.rate = u32(body + 24);
            s.length = u32(body + 32);
            s.sample_size = u32(body + 44);
        } else if (id == "strf" && !r_.streams.empty()) {
            auto& s = r_.streams.back();
            if (s.type == "auds" && size >= 16) {
                s.format_tag = u16(body);
                s.channels = u16(body + 2);
                s.sample_rate = u32(body + 4);
                s.avg_bytes_per_sec = u32(body + 8);
                s.block_align = u16(body + 12);
                s.bits_per_sample = u16(body + 14);
            }
        } else if (id == "indx" && !r_.streams.empty()) {
            if (size < 24) return problem("indx at " + num(pos) + " too short");
            auto& s = r_.streams.back();
            const uint32_t n = u32(body + 4);
            s.super_index_entries = n;
            s.super_index_chunk_id = tag(body + 8);
            if (u16(body) != 4 || f_[body + 3] != 0)
                problem("indx at " + num(pos) + " is not an index of indexes");
            if (24 + 16ull * n > size)
                return problem("indx at " + num(pos) + " holds fewer entries than it counts");
            for (uint32_t i = 0; i < n; ++i) {
                const uint64_t e = body + 24 + 16ull * i;
                super_entries_.push_back({r_.streams.size() - 1, tv::load_le64(f_.data() + e),
                                          u32(e + 8), u32(e + 12), s.super_index_chunk_id});
            }
        } else if (id == "dmlh" && size >= 4) {
            r_.dmlh_total_frames = u32(body);
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
            const std::string id = tag(e);
            const uint32_t offset = u32(e + 8), size = u32(e + 12);
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
            if (se.offset == 0 && se.size == 0) continue;
            if (!ix_positions.count(se.offset)) {
                problem("indx entry of stream " + num(se.stream) + " points at " + num(se.offset) +
                        ", where no ix chunk starts");
                continue;
            }
            if (!fits(se.offset + 8, 24, f_.size())) continue;
            const uint64_t body = se.offset + 8;
            const uint32_t ix_size = u32(se.offset + 4);
            if (ix_size != se.size)
                problem("indx entry size " + num(se.size) + " differs from its ix chunk size " +
                        num(ix_size));
            const uint32_t n = u32(body + 4);
            const std::string chunk_id = tag(body + 8);
            const uint64_t base = tv::load_le64(f_.data() + body + 12);
            if (24 + 8ull * n > ix_size) {
                problem("ix chunk at " + num(se.offset) + " holds fewer entries than it counts");
                continue;
            }
            if (chunk_id != se.chunk_id) {
                problem("ix chunk at " + num(se.offset) + " indexes " + chunk_id +
                        " but its indx names " + se.chunk_id);
            }
            for (uint32_t i = 0; i < n; ++i) {
                const uint64_t e = body + 24 + 8ull * i;
                const uint64_t data = base + u32(e);
                const uint32_t size = u32(e + 4) & 0x7FFFFFFFu;
                auto it = chunks_.find(data - 8);
                if (data < 8 || it == chunks_.end()) {
                    problem("ix entry " + num(i) + " at " + num(se.offset) + " points at " +
                            num(data) + ", where no chunk data starts");
                    break;
                }
                if (it->second.tag != chunk_id || it->second.size != size) {
                    problem("ix entry " + num(i) + " at " + num(se.offset) + " says " + chunk_id +
                            "/" + num(size) + " but the chunk is " + it->second.tag + "/" +
                            num(it->second.size));
                    break;
                }
            }
        }
        if (r_.avih_streams != r_.streams.size()) {
            problem("avih counts " + num(r_.avih_streams) + " streams, the header lists " +
                    num(r_.streams.size()));
        }
    }

    struct SuperEntry {
        size_t stream;
        uint64_t offset;
        uint32_t size;
        uint32_t duration;
        std::string chunk_id;
    };

    std::span<const uint8_t> f_;
    AviReport& r_;
    std::map<uint64_t, AviChunk> chunks_;
    std::vector<SuperEntry> super_entries_;
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
    AviReport report;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        report.problems.push_back("cannot open " + path);
        return report;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size == 0) {
        ::close(fd);
        report.problems.push_back("cannot read " + path);
        return report;
    }
    void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        report.problems.push_back("cannot map " + path);
        return report;
    }
    report = check_avi(std::span<const uint8_t>(static_cast<const uint8_t*>(map),
                                                static_cast<size_t>(st.st_size)));
    munmap(map, static_cast<size_t>(st.st_size));
    return report;
}

std::string describe(const AviReport& report) {
    std::ostringstream out;
    for (const auto& p : report.problems) out << p << "\n";
    return out.str();
}

}  // namespace tvtest
