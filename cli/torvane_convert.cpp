// torvane-convert: converts .ifv recordings into AVI, Matroska or MP4 files from the command
// line.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/conversion_job.h"
#include "app/recording_search.h"
#include "cli/convert_options.h"
#include "cli/evidence.h"
#include "cli/printable.h"
#include "cli/recording_info.h"
#include "common/platform.h"
#include "mux/mux.h"
#include "torvane/log.h"
#include "torvane/source.h"
#include "torvane/voice.h"

namespace fs = std::filesystem;

namespace {

using namespace tvcli;

// Of the --report JSON (docs/report.schema.json); raised when a key changes its meaning.
constexpr int kReportSchemaVersion = 1;

struct Task {
    std::string input;
    std::vector<std::string> joined;  // --join: every recording, as given
    std::string output;
    uint64_t input_size = 0;
    std::string refusal;  // set when the task is refused before it starts
    bool skip = false;    // its output exists and -n leaves it alone
    tv::ConversionProgress progress;
    tv::JobReport report;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    bool reported = false;
    // After an output put in place: how far its timeline ends from the recorded time, and
    // what went wrong with its subtitles.
    double drift = 0;
    std::string srt_failure;
    tvcli::Timeline timeline;  // gathered by the job as it writes the frames
    bool timeline_known = false;
    // --hash: the SHA-256 of the recording and of the output, and why they are missing.
    std::vector<std::string> input_sha256;  // of each recording, in the order of inputs()
    std::string output_sha256, hash_failure;

    const std::vector<std::string>& inputs() const { return joined.empty() ? single : joined; }
    std::vector<std::string> single;  // {input}
    // The reader's and writer's diagnostics for this conversion, for --report.
    std::vector<std::string> warnings;
};

std::atomic<bool> g_interrupted{false};

// The first interrupt asks the conversions to stop; a second one ends the program at once, as
// the interrupt itself would have (the platform layer's part).
void on_stop() {
    g_interrupted.store(true);
}

// Ctrl-C, SIGTERM and a closed terminal (SIGHUP, or the console's window) stop the running
// conversions cleanly. One that whoever started the program ignores (nohup, a script's
// background job) stays ignored.
void catch_stop_signals() {
    tv::platform::on_interrupt(on_stop);
}

std::atomic<bool> g_bar_shown{false};

// The diagnostics of the conversion that runs on this thread, when a report gathers them: the
// library calls its sink on the thread that works.
thread_local std::vector<std::string>* t_warnings = nullptr;

// The library's diagnostics go to standard error (unless `quiet` is set), where a line of their
// own first clears the progress bar (it is drawn again at its next tick).
extern "C" void log_to_stderr(void* quiet, const char* line) {
    if (t_warnings != nullptr) t_warnings->emplace_back(line);
    if (quiet != nullptr) return;
    std::fprintf(stderr, "%s%s\n", g_bar_shown.load() ? "\r\033[K" : "", line);
}

// --info describes the recordings below a folder; a folder without any is left to the reader,
// which says it is no recording.
std::vector<std::string> info_inputs(const std::vector<std::string>& positionals) {
    std::vector<std::string> inputs;
    for (const auto& in : positionals) {
        const tv::FolderScan scan = is_folder(in) ? tv::scan_folder(as_path(in)) : tv::FolderScan{};
        if (scan.recordings.empty()) {
            inputs.push_back(in);
            continue;
        }
        for (const auto& recording : scan.recordings) inputs.push_back(as_utf8(recording.first));
    }
    return inputs;
}

struct Pair {
    std::string input;
    std::string output;
    std::string refusal;
    std::vector<std::string> joined;
};

// Pairs every input with its output; a folder stands for the recordings below it, and files
// there that are not recordings go to `skipped`. Returns false for a usage error.
bool plan_tasks(const Options& options, std::vector<std::unique_ptr<Task>>& tasks,
                std::vector<std::string>& skipped) {
    std::vector<Pair> pairs;
    const auto& pos = options.positionals;
    const std::string extension = std::string(".") + tv::OutputFormatName(options.format);
    auto output_of = [&](const fs::path& in, const fs::path& below) {
        fs::path out =
            options.output_dir ? (as_path(*options.output_dir) / below).make_preferred() : in;
        out.replace_extension(extension);
        return as_utf8(out);
    };
    if (options.join) {
        // One output from every recording named, or found below a folder named.
        const auto inputs = info_inputs(pos);
        pairs.push_back({inputs.front(), *options.join, {}, inputs});
    } else if (!options.output_dir && pos.size() == 2 && !is_folder(pos[0]) &&
               !tv::is_recording_name(as_path(pos[1]))) {
        fs::path out = as_path(pos[1]);
        // An existing folder as OUTPUT receives the output under the recording's own name.
        if (is_folder(pos[1]))
            out = (out / as_path(pos[0]).filename()).replace_extension(extension);
        pairs.push_back({pos[0], as_utf8(out), {}, {}});
    } else {
        for (const auto& in : pos) {
            if (is_folder(in)) {
                const tv::FolderScan scan = tv::scan_folder(as_path(in));
                for (const auto& [folder, words] : scan.unreadable)
                    pairs.push_back(
                        {as_utf8(folder), {}, "the folder could not be read: " + words, {}});
                if (scan.recordings.empty() && scan.unreadable.empty())
                    pairs.push_back({in, {}, "the folder holds no recording (.ifv)", {}});
                // The outputs of an earlier run beside their recordings are no news.
                std::set<std::string> outputs;
                for (const auto& [path, below] : scan.recordings) {
                    const std::string out = output_of(path, below);
                    pairs.push_back({as_utf8(path), out, {}, {}});
                    outputs.insert(out);
                    outputs.insert(out + ".part");
                }
                for (const auto& other : scan.others)
                    if (!outputs.contains(as_utf8(other))) skipped.push_back(as_utf8(other));
                continue;
            }
            if (!options.output_dir && pos.size() > 1 && !tv::is_recording_name(as_path(in))) {
                std::fprintf(stderr,
                             "%s: '%s' is not an .ifv recording; several inputs need -o DIR or the "
                             ".ifv extension\n",
                             kProgram, tvcli::printable(in).c_str());
                return false;
            }
            pairs.push_back({in, output_of(as_path(in), as_path(in).filename()), {}, {}});
        }
    }

    // Neither a FIFO (opening it waits for a writer) nor a device that streams can be read at
    // the offsets a recording's index gives. Directories and the rest are left to the reader.
    auto not_readable = [](const std::string& in) -> const char* {
        std::error_code ec;
        switch (fs::status(as_path(in), ec).type()) {
            case fs::file_type::fifo:
                return "a FIFO";
            case fs::file_type::character:
                return "a character device";
            case fs::file_type::socket:
                return "a socket";
            default:
                return nullptr;
        }
    };
    std::set<std::string> claimed;
    for (auto& [in, out, refusal, joined] : pairs) {
        auto task = std::make_unique<Task>();
        task->input = in;
        task->single = {in};
        task->joined = joined;
        task->output = out;
        task->refusal = refusal;
        if (!refusal.empty()) {
            tasks.push_back(std::move(task));
            continue;
        }
        std::error_code ec;
        const bool output_exists = fs::exists(as_path(out), ec);
        for (const auto& one : task->inputs()) {
            const auto size = fs::file_size(as_path(one), ec);
            task->input_size += ec ? 0 : size;
            if (!task->refusal.empty()) continue;
            const std::string named = task->joined.empty() ? "" : tvcli::printable(one) + ": ";
            if (const char* kind = not_readable(one)) {
                task->refusal =
                    named + "the recording is not a regular file (" + std::string(kind) + ")";
            } else if (fs::exists(as_path(one), ec) && output_exists &&
                       fs::equivalent(as_path(one), as_path(out), ec)) {
                task->refusal = "the output would replace the recording itself";
            }
        }
        if (!task->refusal.empty()) {
            // refused above, for one of its recordings
        } else if (!claimed.insert(as_utf8(fs::weakly_canonical(as_path(out), ec))).second) {
            task->refusal =
                "another input in this run writes the same output " + tvcli::printable(out);
        } else if (output_exists && options.skip_existing) {
            task->skip = true;
        } else if (output_exists && !options.overwrite) {
            task->refusal =
                "the output " + tvcli::printable(out) + " exists (use -y to replace it)";
        } else if (options.hash && !options.overwrite && fs::exists(as_path(out + ".sha256"), ec)) {
            task->refusal = "the checksum file " + tvcli::printable(out + ".sha256") +
                            " exists (use -y to replace it)";
        } else if (const std::string srt = as_utf8(as_path(out).replace_extension(".srt"));
                   options.clock_srt && !options.overwrite && fs::exists(as_path(srt), ec) &&
                   tv::OutputFormatFor(out, options.format) == tv::OutputFormat::Avi) {
            task->refusal =
                "the subtitle file " + tvcli::printable(srt) + " exists (use -y to replace it)";
        }
        tasks.push_back(std::move(task));
    }
    return true;
}

// How far a batch is, in bytes of the recordings to convert (all known before the first
// conversion starts) and in those recordings. A running conversion counts the share of its
// bytes that its share of frames done stands for.
struct BatchProgress {
    uint64_t done_bytes = 0, total_bytes = 0;
    size_t done_files = 0, total_files = 0;
    double elapsed_s = 0, rate = 0;  // bytes per second
    double eta_s = -1;               // unknown while negative

    static BatchProgress of(const std::vector<std::unique_ptr<Task>>& tasks, double elapsed_s) {
        BatchProgress p;
        p.elapsed_s = elapsed_s;
        for (const auto& t : tasks) {
            if (!t->refusal.empty() || t->skip) continue;
            ++p.total_files;
            p.total_bytes += t->input_size;
            if (t->finished.load()) {
                ++p.done_files;
                p.done_bytes += t->input_size;
                continue;
            }
            const int64_t total = t->progress.m_totalFrames.load();
            const int64_t done = std::min<int64_t>(t->progress.m_doneFrames.load(), total);
            if (total > 0)
                p.done_bytes +=
                    static_cast<uint64_t>(static_cast<double>(t->input_size) *
                                          static_cast<double>(done) / static_cast<double>(total));
        }
        // The first moments' rate says little: the first chunks come from the page cache.
        if (elapsed_s > 0.5) p.rate = static_cast<double>(p.done_bytes) / elapsed_s;
        if (p.done_bytes >= p.total_bytes && p.done_files == p.total_files)
            p.eta_s = 0;
        else if (p.rate > 0)
            p.eta_s = static_cast<double>(p.total_bytes - p.done_bytes) / p.rate;
        return p;
    }

    double fraction() const {
        if (total_bytes > 0)
            return static_cast<double>(done_bytes) / static_cast<double>(total_bytes);
        return total_files > 0 ? static_cast<double>(done_files) / static_cast<double>(total_files)
                               : 0.0;
    }
};

// Bytes in the unit that suits `scale`: MB below 10 GB, GB above.
std::string in_units(uint64_t bytes, uint64_t scale) {
    char text[32];
    if (scale < 10'000'000'000ULL)
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
    else
        std::snprintf(text, sizeof text, "%.2f", static_cast<double>(bytes) / 1e9);
    return text;
}

class ProgressBar {
  public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}

    // The line fits the terminal's width as it is now: the bar shrinks first, then the
    // details go, so that no line wraps.
    void draw(const BatchProgress& p) {
        if (!enabled_) return;
        const double fraction = p.fraction();
        std::string eta = "--:--";
        if (p.eta_s >= 0) {
            const auto left = static_cast<long>(p.eta_s + 0.5);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%ld:%02ld", left / 60, left % 60);
            eta = buf;
        }
        const char* unit = p.total_bytes < 10'000'000'000ULL ? "MB" : "GB";
        char full[160], brief[48];
        std::snprintf(full, sizeof full, " %s/%s %s, %zu/%zu files %3d%% %6.1f MB/s ETA %s",
                      in_units(p.done_bytes, p.total_bytes).c_str(),
                      in_units(p.total_bytes, p.total_bytes).c_str(), unit, p.done_files,
                      p.total_files, static_cast<int>(fraction * 100.0), p.rate / 1e6, eta.c_str());
        std::snprintf(brief, sizeof brief, " %3d%% ETA %s", static_cast<int>(fraction * 100.0),
                      eta.c_str());
        int columns = tv::platform::stderr_columns();
        if (columns <= 0) columns = 80;
        const int room = columns - 1;  // a character in the last column may wrap the line
        constexpr int kNarrowest = 10;
        std::string tail = full;
        if (room - static_cast<int>(tail.size()) - 2 < kNarrowest) tail = brief;
        const int bar_width = room - static_cast<int>(tail.size()) - 2;
        std::string line = "\r";
        if (bar_width >= kNarrowest) {
            const int filled = static_cast<int>(fraction * bar_width);
            line += "[";
            for (int i = 0; i < bar_width; ++i)
                line += i < filled ? '=' : (i == filled ? '>' : ' ');
            line += "]";
            line += tail;
        } else {
            line += tail.substr(1, static_cast<size_t>(std::max(0, room)));
        }
        line += "\033[K";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        drawn_ = true;
    }

    // Clears the bar so a message can take its line.
    void clear() {
        if (!enabled_ || !drawn_) return;
        std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

  private:
    bool enabled_;
    bool drawn_ = false;
};

// --progress=json: one line of JSON on standard output.
void print_progress_json(const BatchProgress& p) {
    char eta[32] = "null";
    if (p.eta_s >= 0) std::snprintf(eta, sizeof eta, "%.0f", p.eta_s);
    std::printf(
        "{\"done_bytes\":%llu,\"total_bytes\":%llu,\"done_files\":%zu,\"total_files\":%zu,"
        "\"elapsed_s\":%.1f,\"eta_s\":%s,\"rate_bytes_per_s\":%.0f}\n",
        static_cast<unsigned long long>(p.done_bytes),
        static_cast<unsigned long long>(p.total_bytes), p.done_files, p.total_files, p.elapsed_s,
        eta, p.rate);
    std::fflush(stdout);
}

// One line for the files of input folders that are not recordings: how many, and the first few.
void print_skipped(const std::vector<std::string>& skipped) {
    constexpr size_t kNamed = 5;
    std::string names;
    for (size_t i = 0; i < std::min(skipped.size(), kNamed); ++i) {
        if (i > 0) names += ", ";
        names += tvcli::printable(skipped[i]);
    }
    if (skipped.size() > kNamed)
        names += " and " + std::to_string(skipped.size() - kNamed) + " more";
    if (skipped.size() == 1)
        std::fprintf(stderr, "%s: 1 file that is not a recording (.ifv) was skipped: %s\n",
                     kProgram, names.c_str());
    else
        std::fprintf(stderr, "%s: %zu files that are not recordings (.ifv) were skipped: %s\n",
                     kProgram, skipped.size(), names.c_str());
}

// --hash: OUTPUT.sha256 beside the output, in sha256sum's format with the names as seen from
// its folder. The output is read again once it is in place: both writers go back over what
// they wrote (the AVI's header, indexes and sizes; Matroska's and MP4's sizes, cues and
// index), so bytes hashed as they first pass would not be the file's. The second read comes
// from the page cache the writing has just filled.
void write_checksums(Task& task, const Options& options) {
    std::string error;
    task.output_sha256 = tvcli::sha256_of_file(task.output, error);
    if (task.output_sha256.empty()) {
        task.hash_failure = tvcli::printable(task.output) + " could not be read: " + error;
        return;
    }
    if (task.input_sha256.size() != task.inputs().size()) return;  // its failure is told
    const std::string sums = task.output + ".sha256";
    const std::string folder = as_utf8(as_path(task.output).parent_path());
    std::string text;
    for (size_t i = 0; i < task.inputs().size(); ++i)
        text +=
            tvcli::checksum_line(task.input_sha256[i], tvcli::name_from(task.inputs()[i], folder));
    text += tvcli::checksum_line(task.output_sha256, as_utf8(as_path(task.output).filename()));
    if (!tvcli::write_file_aside(sums, text, options.overwrite, error))
        task.hash_failure = tvcli::printable(sums) + " could not be written: " + error;
}

// What follows an output put in place: its checksums, the drift of its timeline and the clock
// subtitles.
void after_conversion(Task& task, const Options& options) {
    const auto outcome = task.report.outcome;
    if (outcome != tv::JobOutcome::Converted && outcome != tv::JobOutcome::Partial) return;
    std::error_code ec;
    if (options.hash && fs::is_regular_file(as_path(task.output), ec))
        write_checksums(task, options);
    else if (options.hash)
        task.hash_failure = tvcli::printable(task.output) + " is not a regular file";
    if (!task.timeline_known || !fs::is_regular_file(as_path(task.output), ec)) return;
    // Only an AVI stretches the recorded time over one rate; Matroska and MP4 keep it.
    const bool avi = tv::OutputFormatFor(task.output, options.format) == tv::OutputFormat::Avi;
    if (!avi) {
        task.timeline = {};
        return;
    }
    // The rate the job wrote: a join's spans all its recordings, not the first's alone.
    if (task.report.frame_rate > 0) task.timeline.fps = task.report.frame_rate;
    task.drift = tvcli::avi_drift(task.timeline);
    if (options.clock_srt) {
        const std::string srt = as_utf8(as_path(task.output).replace_extension(".srt"));
        const std::string part = srt + ".part";
        errno = 0;
        if (!tvcli::write_clock_srt(part, task.timeline)) {
            task.srt_failure = std::strerror(errno);
            tv::platform::remove(part.c_str());
        } else if (tv::PutInPlace(part, srt, options.overwrite) != 0) {
            task.srt_failure = std::strerror(errno);
            tv::platform::remove(part.c_str());
        } else if (options.preserve_time) {
            fs::last_write_time(as_path(srt),
                                std::chrono::file_clock::from_sys(std::chrono::sys_seconds(
                                    std::chrono::seconds(task.timeline.end_time))),
                                ec);
        }
    }
    task.timeline = {};  // a batch need not keep every recording's stamps
}

// One recording as the report tells it: what the job found of it, when it opened it.
nlohmann::ordered_json recording_json(const std::string& path, const Task& task,
                                      const Options& options) {
    nlohmann::ordered_json r;
    tvcli::put_path(r, "path", path);
    std::error_code ec;
    const auto size = fs::file_size(as_path(path), ec);
    r["size"] = ec ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(size);
    if (options.hash) {
        const auto& in = task.inputs();
        const auto at = std::find(in.begin(), in.end(), path) - in.begin();
        r["sha256"] = static_cast<size_t>(at) < task.input_sha256.size()
                          ? nlohmann::ordered_json(task.input_sha256[static_cast<size_t>(at)])
                          : nlohmann::ordered_json(nullptr);
    }
    const tv::SourceSummary* found = nullptr;
    for (const auto& s : task.report.sources)
        if (s.path == path) found = &s;
    if (found == nullptr) {
        for (const char* key :
             {"start_time", "end_time", "duration_ms", "video_frames", "audio_frames"})
            r[key] = nullptr;
        return r;
    }
    r["start_time"] = tvcli::utc_iso(found->start_time);
    r["end_time"] = tvcli::utc_iso(found->end_time);
    r["duration_ms"] = found->duration_ms;
    r["video_frames"] = found->video_frames;
    r["audio_frames"] = found->audio_frames;
    return r;
}

// One conversion: its recordings, how it ended, and its output when there is one.
nlohmann::ordered_json conversion_json(const Task& task, const Options& options) {
    nlohmann::ordered_json c;
    c["recordings"] = nlohmann::ordered_json::array();
    // In the order the job took them, those it opened; then the others.
    std::vector<std::string> order;
    for (const auto& s : task.report.sources) order.push_back(s.path);
    for (const auto& in : task.inputs())
        if (std::find(order.begin(), order.end(), in) == order.end()) order.push_back(in);
    for (const auto& path : order) c["recordings"].push_back(recording_json(path, task, options));
    // The part of the recordings asked for, as given; null for all of it.
    if (options.from || options.to) {
        auto given = [](const std::optional<std::string>& text) {
            return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
        };
        c["span"] = {{"from", given(options.from_text)}, {"to", given(options.to_text)}};
    } else {
        c["span"] = nullptr;
    }
    const bool ran = task.refusal.empty() && !task.skip && task.started.load();
    if (!task.refusal.empty()) {
        c["outcome"] = "refused";
        c["exit_status"] = kNotConverted;
        c["reason"] = task.refusal;
    } else if (task.skip) {
        c["outcome"] = "skipped";
        c["exit_status"] = kAllConverted;
        c["reason"] = "the output exists";
    } else if (!ran) {
        c["outcome"] = "not started";
        c["exit_status"] = kNotConverted;
        c["reason"] = "interrupted before it started";
    } else {
        const auto& row = tv::OutcomeRowOf(task.report.outcome);
        c["outcome"] = row.text;
        c["exit_status"] = row.exit_status;
        c["reason"] = tv::OutcomeReason(task.report, task.input, task.output);
    }
    if (ran) {
        c["frames"] = {{"total", task.report.total_frames},
                       {"written", task.report.written_frames},
                       {"skipped", task.report.skipped_frames},
                       {"missing", task.report.missing_frames}};
    } else {
        c["frames"] = nullptr;
    }
    c["warnings"] = task.warnings;
    std::error_code ec;
    const bool in_place = ran && (task.report.outcome == tv::JobOutcome::Converted ||
                                  task.report.outcome == tv::JobOutcome::Partial);
    if (!task.output.empty() && (in_place || task.skip) && fs::exists(as_path(task.output), ec)) {
        nlohmann::ordered_json o;
        tvcli::put_path(o, "path", task.output);
        const auto size = fs::file_size(as_path(task.output), ec);
        o["size"] = ec ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(size);
        if (options.hash) {
            o["sha256"] = task.output_sha256.empty() ? nlohmann::ordered_json(nullptr)
                                                     : nlohmann::ordered_json(task.output_sha256);
        }
        o["format"] = tv::OutputFormatName(tv::OutputFormatFor(task.output, options.format));
        c["output"] = o;
    } else {
        c["output"] = nullptr;
    }
    if (ran && !task.report.kept_part.empty()) {
        nlohmann::ordered_json k;
        tvcli::put_path(k, "path", task.report.kept_part);
        c["kept_part"] = k["path"];
        if (k.contains("path_bytes")) c["kept_part_bytes"] = k["path_bytes"];
    } else {
        c["kept_part"] = nullptr;
    }
    return c;
}

// --report: the run as one JSON object, written aside and put in place. A report that cannot
// be written is told, but the conversions' exit status stands.
void write_report(const Options& options, const std::vector<std::unique_ptr<Task>>& tasks,
                  const std::vector<std::string>& skipped, std::time_t started, int status) {
    nlohmann::ordered_json j;
    j["schema_version"] = kReportSchemaVersion;
    j["tool"] = {{"name", kProgram}, {"version", TORVANE_VERSION}};
    j["started"] = tvcli::utc_iso(started);
    j["ended"] = tvcli::utc_iso(std::time(nullptr));
    j["exit_status"] = status;
    j["conversions"] = nlohmann::ordered_json::array();
    for (const auto& t : tasks) j["conversions"].push_back(conversion_json(*t, options));
    j["files_not_recordings"] = nlohmann::ordered_json::array();
    for (const auto& name : skipped) {
        nlohmann::ordered_json p;
        tvcli::put_path(p, "path", name);
        j["files_not_recordings"].push_back(p);
    }
    std::string error;
    // Reasons and warnings are words for people and may quote a name that is not UTF-8: shown
    // with replacements there, its exact bytes are under path_bytes.
    const std::string text =
        j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    if (!tvcli::write_file_aside(*options.report, text, options.overwrite, error)) {
        std::fprintf(stderr, "%s: the report %s could not be written: %s\n", kProgram,
                     tvcli::printable(*options.report).c_str(), error.c_str());
    }
}

int convert(const Options& options) {
    const std::time_t started = std::time(nullptr);
    std::vector<std::unique_ptr<Task>> tasks;
    std::vector<std::string> skipped;
    if (!plan_tasks(options, tasks, skipped)) return kUsage;
    // Never an AVI under a .mkv or .mp4 name.
    if (!tv::mux::available()) {
        for (const auto& task : tasks) {
            if (!task->output.empty() &&
                tv::OutputFormatFor(task->output, options.format) != tv::OutputFormat::Avi) {
                std::fprintf(stderr,
                             "%s: Matroska and MP4 output (.mkv, .mp4) are not available in "
                             "this build; write an AVI (.avi)\n",
                             kProgram);
                return kUsage;
            }
        }
    }

    if (options.output_dir) {
        std::error_code ec;
        fs::create_directories(as_path(*options.output_dir), ec);
    }

    unsigned jobs = options.jobs;
    if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
    jobs = std::min<unsigned>(jobs, static_cast<unsigned>(tasks.size()));

    catch_stop_signals();

    // Workers wake the main thread as soon as a conversion ends, so nothing waits on a tick.
    std::mutex wake_lock;
    std::condition_variable wake;
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= tasks.size()) return;
            Task& task = *tasks[i];
            if (task.refusal.empty() && !task.skip && !g_interrupted.load()) {
                task.started.store(true);
                // A folder's tree is rebuilt under -o DIR as its recordings are converted.
                if (options.output_dir) {
                    std::error_code ec;
                    fs::create_directories(as_path(task.output).parent_path(), ec);
                }
                tv::ConversionOptions job_options;
                job_options.replace_existing = options.overwrite;
                job_options.preserve_time = options.preserve_time;
                job_options.format = options.format;
                job_options.clock_track = options.clock_track;
                job_options.on_frame = [&task](const SourceMedia* media, const SourceFrame& f) {
                    if (!task.timeline_known) {
                        task.timeline = tvcli::timeline_of(media);
                        task.timeline_known = true;
                    }
                    if (!f.is_audio && f.status != SOURCE_FRAME_REFUSED)
                        task.timeline.stamps.push_back(f.time_stamp);
                };
                // The recording is hashed by a read of its own: the reader takes its bytes in
                // the index's order, through windows, not once from start to end. Read first,
                // it also leaves the file in the page cache for the conversion.
                for (const auto& in : options.hash ? task.inputs() : std::vector<std::string>{}) {
                    std::string error;
                    std::string sum = tvcli::sha256_of_file(in, error);
                    if (sum.empty()) {
                        task.hash_failure = tvcli::printable(in) + " could not be read: " + error;
                        break;
                    }
                    task.input_sha256.push_back(sum);
                }
                if (options.report) t_warnings = &task.warnings;
                job_options.from = options.from;
                job_options.to = options.to;
                task.report =
                    task.joined.empty()
                        ? tv::ConversionJob(task.input, task.output, task.progress, job_options)
                        : tv::JoinJob(task.joined, task.output, task.progress, job_options);
                t_warnings = nullptr;
                after_conversion(task, options);
            }
            {
                std::lock_guard<std::mutex> lock(wake_lock);
                task.finished.store(true, std::memory_order_release);
            }
            wake.notify_all();
        }
    };
    const bool show_bar =
        options.progress == Progress::kBar && !options.quiet && tv::platform::stderr_is_terminal();
    g_bar_shown.store(show_bar);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < jobs; ++i) threads.emplace_back(worker);

    ProgressBar bar(show_bar);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    double next_json = 0;
    bool failed = false, partial = false, hash_failed = false;
    int converted_count = 0, partial_count = 0, skipped_count = 0, failed_count = 0;
    auto report_finished = [&] {
        for (auto& t : tasks) {
            if (t->reported || !t->finished.load(std::memory_order_acquire)) continue;
            t->reported = true;
            bar.clear();
            // A join is named by its earliest recording, or by the one it stopped at.
            std::string input = t->input;
            if (!t->report.culprit.empty())
                input = t->report.culprit;
            else if (t->joined.size() > 1 && !t->report.sources.empty())
                input = t->report.sources.front().path;
            input = tvcli::printable(input);
            if (t->joined.size() > 1 && t->report.culprit.empty())
                input += " (+" + std::to_string(t->joined.size() - 1) + ")";
            const std::string output = tvcli::printable(t->output);
            if (!t->refusal.empty()) {
                failed = true;
                ++failed_count;
                std::fprintf(stderr, "%s: %s: not converted: %s\n", kProgram, input.c_str(),
                             t->refusal.c_str());
                continue;
            }
            if (t->skip) {
                ++skipped_count;
                if (!options.quiet)
                    std::fprintf(stderr, "%s: %s -> %s: skipped, the output exists\n", kProgram,
                                 input.c_str(), output.c_str());
                continue;
            }
            if (!t->started.load()) {
                failed = true;
                ++failed_count;
                std::fprintf(stderr, "%s: %s: not converted: interrupted before it started\n",
                             kProgram, input.c_str());
                continue;
            }
            tv::JobReport shown = t->report;
            shown.kept_part = tvcli::printable(shown.kept_part);
            shown.culprit = tvcli::printable(shown.culprit);
            for (auto& source : shown.sources) source.path = tvcli::printable(source.path);
            std::string reason = tv::OutcomeReason(shown, input, output);
            if (shown.outcome == tv::JobOutcome::NoFrames && (options.from || options.to))
                reason += " between --from and --to";
            // A timeline stretched past a second is worth knowing, but the conversion stands.
            if (t->drift > 1.0) {
                char note[128];
                std::snprintf(
                    note, sizeof note,
                    "; the AVI's timeline ends %.1f s from the recorded time (see --info; "
                    "--format mkv keeps it)",
                    t->drift);
                reason += note;
                t->warnings.emplace_back(note + 2);
            }
            if (!t->hash_failure.empty() && t->report.outcome != tv::JobOutcome::SourceNotOpened) {
                hash_failed = true;
                t->warnings.push_back("no checksums: " + t->hash_failure);
                std::fprintf(stderr, "%s: %s: no checksums: %s\n", kProgram, input.c_str(),
                             t->hash_failure.c_str());
            }
            if (!t->srt_failure.empty()) {
                t->warnings.push_back("the clock subtitles could not be written: " +
                                      t->srt_failure);
                std::fprintf(stderr, "%s: %s: the clock subtitles could not be written: %s\n",
                             kProgram, output.c_str(), t->srt_failure.c_str());
            }
            switch (tv::OutcomeRowOf(shown.outcome).exit_status) {
                case kAllConverted:
                    ++converted_count;
                    if (!options.quiet)
                        std::fprintf(stderr, "%s: %s -> %s: %s\n", kProgram, input.c_str(),
                                     output.c_str(), reason.c_str());
                    break;
                case kPartial:
                    partial = true;
                    ++partial_count;
                    std::fprintf(stderr, "%s: %s -> %s: %s\n", kProgram, input.c_str(),
                                 output.c_str(), reason.c_str());
                    break;
                default:
                    failed = true;
                    ++failed_count;
                    std::fprintf(stderr, "%s: %s: not converted: %s\n", kProgram, input.c_str(),
                                 reason.c_str());
            }
        }
    };

    for (;;) {
        if (g_interrupted.load()) {
            for (auto& t : tasks) t->progress.m_stopRequested.store(true);
        }
        report_finished();
        // Drawn before the end is checked: a batch shows its bar at least once.
        const auto now = BatchProgress::of(tasks, elapsed());
        bar.draw(now);
        if (options.progress == Progress::kJson && now.elapsed_s >= next_json) {
            print_progress_json(now);
            next_json = std::floor(now.elapsed_s) + 1.0;
        }
        const bool all_done = std::all_of(tasks.begin(), tasks.end(),
                                          [](const auto& t) { return t->finished.load(); });
        if (all_done) break;
        std::unique_lock<std::mutex> lock(wake_lock);
        wake.wait_for(lock, std::chrono::milliseconds(100), [&] {
            return g_interrupted.load() ||
                   std::any_of(tasks.begin(), tasks.end(),
                               [](const auto& t) { return !t->reported && t->finished.load(); });
        });
    }
    for (auto& th : threads) th.join();
    report_finished();
    bar.clear();
    if (options.progress == Progress::kJson)
        print_progress_json(BatchProgress::of(tasks, elapsed()));
    if (!skipped.empty() && !options.quiet) print_skipped(skipped);
    if (tasks.size() > 1 && !options.quiet)
        std::fprintf(stderr, "%s: %d converted, %d partial, %d skipped, %d failed\n", kProgram,
                     converted_count, partial_count, skipped_count, failed_count);

    int status = partial ? kPartial : kAllConverted;
    // Checksums asked for and not written leave the evidence incomplete.
    if (failed || hash_failed) status = kNotConverted;
    if (g_interrupted.load()) status = kInterrupted;
    if (options.report) write_report(options, tasks, skipped, started, status);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    // Messages to a reader that has gone (`| head`) fail harmlessly instead of killing the
    // conversions, and a file-size limit (ulimit -f) fails the write that passes it (EFBIG),
    // which the job reports and survives.
    tv::platform::ignore_write_signals();
    // UTF-8 on every system (on Windows from the wide command line), and so is what it prints.
    tv::platform::use_utf8_console();
    std::vector<std::string> arguments = tv::platform::utf8_arguments(argc, argv);
    std::vector<char*> utf8_argv;
    for (auto& argument : arguments) utf8_argv.push_back(argument.data());
    utf8_argv.push_back(nullptr);
    const int usage = parse_options(static_cast<int>(arguments.size()), utf8_argv.data(), options);
    if (usage >= 0) return usage;
    static int quiet_token;
    torvane_set_log(log_to_stderr, options.quiet ? &quiet_token : nullptr);
    if (options.info) return tvcli::print_info(info_inputs(options.positionals), options.json);
    return convert(options);
}
