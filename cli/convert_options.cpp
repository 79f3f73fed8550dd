#include "cli/convert_options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <system_error>

#include "cli/evidence.h"
#include "cli/printable.h"
#include "torvane/voice.h"

namespace fs = std::filesystem;

namespace tvcli {

// In the form help2man reads: usage lines, a description, option lines indented by two spaces
// and sections that start with a line ending in ':'.
void print_usage(FILE* out) {
    std::fprintf(out,
                 "Usage: %s [options] INPUT.ifv [OUTPUT.avi | FOLDER]\n"
                 "  or:  %s [options] INPUT... [-o DIR]\n"
                 "  or:  %s [options] --join OUTPUT INPUT...\n"
                 "  or:  %s --info [--json] INPUT...\n"
                 "Convert surveillance recordings (.ifv) into AVI files.\n"
                 "\n"
                 "H.264 video is copied unchanged, voice or raw audio becomes 16-bit PCM.\n"
                 "Without -o, OUTPUT defaults to INPUT with the extension .avi; an existing\n"
                 "FOLDER as OUTPUT receives FOLDER/INPUT.avi. A folder as INPUT stands for\n"
                 "every recording below it (.ifv in any case): the outputs go beside them,\n"
                 "or with -o the folder's tree is rebuilt under DIR; other files there are\n"
                 "skipped and listed at the end. '-' is refused: an AVI file is written at\n"
                 "many places, which a pipe cannot take. Unless -q, several recordings end\n"
                 "with a line \"C converted, P partial, S skipped, F failed\" (F counts every\n"
                 "recording not converted, interrupted ones too).\n"
                 "\n"
                 "Options:\n"
                 "  -o, --output-dir DIR  write the outputs under DIR (created when missing)\n"
                 "  -y, --overwrite       replace outputs that already exist\n"
                 "  -n, --skip-existing   leave outputs that already exist alone and count\n"
                 "                        them as done, to resume a batch\n"
                 "  -j, --jobs N          convert N recordings at a time (default: cores)\n"
                 "  -q, --quiet           no progress bar, no summary lines and none of the\n"
                 "                        reader's and writer's diagnostics: only failures\n"
                 "      --progress=HOW    bar: a bar on standard error when it is a terminal\n"
                 "                        (the default; -q turns it off); json: a line of\n"
                 "                        JSON on standard output every second and at the\n"
                 "                        end, terminal or not, with done_bytes,\n"
                 "                        total_bytes, done_files, total_files (of the\n"
                 "                        recordings to convert), elapsed_s, eta_s (null\n"
                 "                        while unknown) and rate_bytes_per_s; none\n"
                 "      --clock-srt       also write OUTPUT with the extension .srt: subtitles\n"
                 "                        showing the recorded wall-clock time (UTC) of\n"
                 "                        every second, timed on the AVI's own timeline\n"
                 "      --format=FORMAT   avi (the default), mkv or mp4; without it the\n"
                 "                        output's extension decides (.mkv, .mp4). Matroska\n"
                 "                        and MP4 keep every frame's recorded time (gaps and\n"
                 "                        pauses stay), the start time as creation_time and\n"
                 "                        a subtitle track with the wall-clock time\n"
                 "      --no-clock        leave that subtitle track out\n"
                 "      --hash            write OUTPUT.sha256 beside each output: the SHA-256\n"
                 "                        of the recording and of the output in the format\n"
                 "                        of sha256sum, so that 'sha256sum -c' checks both\n"
                 "                        from the output's folder\n"
                 "      --report FILE     write a JSON record of the run into FILE: the\n"
                 "                        program's version, start and end time (UTC), and\n"
                 "                        for every recording its path, size, SHA-256 (with\n"
                 "                        --hash), time span, frame counts, outcome and\n"
                 "                        warnings, and its output's path, size, SHA-256 and\n"
                 "                        format. Written also when conversions fail; it\n"
                 "                        does not change the exit status\n"
                 "      --no-preserve-time  give the outputs the current time, not the\n"
                 "                        recording's end time, as modification time\n"
                 "      --from TIME       convert only from TIME on: from the key frame at or\n"
                 "                        before it, so that the first picture decodes, with\n"
                 "                        the audio from that frame on. TIME is\n"
                 "                        \"YYYY-MM-DD HH:MM:SS\" (UTC, as --info shows it)\n"
                 "                        or seconds from the recording's start (12.5)\n"
                 "      --to TIME         convert only up to TIME (the last frame at or\n"
                 "                        before it)\n"
                 "      --join OUTPUT     write all the INPUT recordings (or those below an\n"
                 "                        INPUT folder) into one OUTPUT, in the order of their\n"
                 "                        start times; their picture size and audio must\n"
                 "                        match. An AVI plays them one after the other, MKV\n"
                 "                        and MP4 keep the recorded times across them\n"
                 "      --info            describe the recordings instead of converting\n"
                 "      --json            with --info: print JSON\n"
                 "  -h, --help            show this help\n"
                 "  -V, --version         show the version\n"
                 "\n"
                 "Exit status:\n"
                 "  0    all converted (or left alone by -n)\n"
                 "  3    converted, but frames were skipped or a recording ended early\n"
                 "  1    a recording was not converted (or, with --hash, its checksums\n"
                 "       could not be written)\n"
                 "  2    usage error\n"
                 "  130  interrupted (Ctrl-C, SIGTERM or SIGHUP): the running conversions\n"
                 "       stopped and keep the frames written in OUTPUT.part. A second Ctrl-C\n"
                 "       ends at once.\n",
                 kProgram, kProgram, kProgram, kProgram);
}

bool is_folder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(as_path(path), ec);
}

// --from and --to: "YYYY-MM-DD HH:MM:SS" (or with a T, and a Z at the end) in UTC, or seconds
// from the recording's start, with a fraction if wanted.
std::optional<tv::RecordingTime> parse_time(const char* text) {
    std::tm tm{};
    int used = 0;
    char separator = 0;
    if (std::sscanf(text, "%4d-%2d-%2d%c%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &separator, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &used) == 7 &&
        (separator == ' ' || separator == 'T')) {
        const std::string_view rest(text + used);
        if (!rest.empty() && rest != "Z") return std::nullopt;
        if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
            tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
            return std::nullopt;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        return tv::RecordingTime{true, tv::platform::seconds_of_utc(tm)};
    }
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(seconds >= 0) || seconds > 4.3e6)
        return std::nullopt;
    return tv::RecordingTime{false, std::llround(seconds * 1000.0)};
}

// Returns the exit status for a usage error, or -1 when the options are good.
int parse_options(int argc, char** argv, Options& options) {
    enum {
        kInfo = 1000,
        kJson,
        kProgress,
        kClockSrt,
        kNoPreserveTime,
        kFormat,
        kNoClock,
        kHash,
        kReport,
        kFrom,
        kTo,
        kJoin,
    };
    static const option long_options[] = {
        {"output-dir", required_argument, nullptr, 'o'},
        {"overwrite", no_argument, nullptr, 'y'},
        {"skip-existing", no_argument, nullptr, 'n'},
        {"jobs", required_argument, nullptr, 'j'},
        {"quiet", no_argument, nullptr, 'q'},
        {"info", no_argument, nullptr, kInfo},
        {"json", no_argument, nullptr, kJson},
        {"progress", required_argument, nullptr, kProgress},
        {"clock-srt", no_argument, nullptr, kClockSrt},
        {"no-preserve-time", no_argument, nullptr, kNoPreserveTime},
        {"format", required_argument, nullptr, kFormat},
        {"no-clock", no_argument, nullptr, kNoClock},
        {"hash", no_argument, nullptr, kHash},
        {"report", required_argument, nullptr, kReport},
        {"from", required_argument, nullptr, kFrom},
        {"to", required_argument, nullptr, kTo},
        {"join", required_argument, nullptr, kJoin},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":o:ynj:qhV", long_options, nullptr)) != -1) {
        switch (c) {
            case 'o':
                options.output_dir = optarg;
                break;
            case 'y':
                options.overwrite = true;
                break;
            case 'n':
                options.skip_existing = true;
                break;
            case 'j': {
                char* end = nullptr;
                errno = 0;
                long n = std::strtol(optarg, &end, 10);
                if (errno != 0 || end == optarg || *end != '\0' || n < 1 || n > 1024) {
                    std::fprintf(stderr, "%s: -j needs a number from 1 to 1024, not '%s'\n",
                                 kProgram, tvcli::printable(optarg).c_str());
                    return kUsage;
                }
                options.jobs = static_cast<unsigned>(n);
                break;
            }
            case 'q':
                options.quiet = true;
                break;
            case kInfo:
                options.info = true;
                break;
            case kJson:
                options.json = true;
                break;
            case kClockSrt:
                options.clock_srt = true;
                break;
            case kFormat:
                options.format = tv::OutputFormatNamed(optarg);
                if (options.format == tv::OutputFormat::ByExtension) {
                    std::fprintf(stderr, "%s: --format is avi, mkv or mp4\n", kProgram);
                    return kUsage;
                }
                break;
            case kNoClock:
                options.clock_track = false;
                break;
            case kHash:
                if (!tvcli::sha256_available()) {
                    std::fprintf(stderr, "%s: --hash is not available in this build\n", kProgram);
                    return kUsage;
                }
                options.hash = true;
                break;
            case kReport:
                options.report = optarg;
                break;
            case kFrom:
            case kTo: {
                const auto time = parse_time(optarg);
                if (!time) {
                    std::fprintf(stderr,
                                 "%s: %s takes \"YYYY-MM-DD HH:MM:SS\" (UTC) or seconds from the "
                                 "recording's start, not '%s'\n",
                                 kProgram, c == kFrom ? "--from" : "--to",
                                 tvcli::printable(optarg).c_str());
                    return kUsage;
                }
                (c == kFrom ? options.from : options.to) = time;
                (c == kFrom ? options.from_text : options.to_text) = optarg;
                break;
            }
            case kJoin:
                options.join = optarg;
                break;
            case kNoPreserveTime:
                options.preserve_time = false;
                break;
            case kProgress:
                if (std::strcmp(optarg, "bar") == 0) {
                    options.progress = Progress::kBar;
                } else if (std::strcmp(optarg, "json") == 0) {
                    options.progress = Progress::kJson;
                } else if (std::strcmp(optarg, "none") == 0) {
                    options.progress = Progress::kNone;
                } else {
                    std::fprintf(stderr, "%s: --progress is bar, json or none, not '%s'\n",
                                 kProgram, tvcli::printable(optarg).c_str());
                    return kUsage;
                }
                break;
            case 'h':
                print_usage(stdout);
                std::exit(kAllConverted);
            case 'V': {
                char version[64] = {};
                TV_VOICE_GetVersion(version);
                // The first line alone, as help2man and scripts read it.
                std::printf("%s %s\nvoice library: %s\n", kProgram, TORVANE_VERSION, version);
                std::exit(kAllConverted);
            }
            case ':':
                std::fprintf(stderr, "%s: option '%s' needs a value\n", kProgram,
                             tvcli::printable(argv[optind - 1]).c_str());
                return kUsage;
            default:
                std::fprintf(stderr, "%s: unknown option '%s'\n", kProgram,
                             tvcli::printable(argv[optind - 1]).c_str());
                std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
                return kUsage;
        }
    }
    for (int i = optind; i < argc; ++i) options.positionals.emplace_back(argv[i]);
    if (options.positionals.empty()) {
        std::fprintf(stderr, "%s: no recording given\n", kProgram);
        std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
        return kUsage;
    }
    if (options.json && !options.info) {
        std::fprintf(stderr, "%s: --json goes with --info\n", kProgram);
        return kUsage;
    }
    if (options.from && options.to && options.from->wall_clock == options.to->wall_clock &&
        options.from->value > options.to->value) {
        std::fprintf(stderr, "%s: --from comes after --to\n", kProgram);
        return kUsage;
    }
    if ((options.from || options.to || options.join) && options.info) {
        std::fprintf(stderr, "%s: --from, --to and --join go with conversions, not --info\n",
                     kProgram);
        return kUsage;
    }
    if (options.join && options.output_dir) {
        std::fprintf(stderr, "%s: --join names its output; -o does not go with it\n", kProgram);
        return kUsage;
    }
    if (options.report && options.info) {
        std::fprintf(stderr, "%s: --report records conversions; --info --json describes\n",
                     kProgram);
        return kUsage;
    }
    if (options.report) {
        std::error_code ec;
        if (options.report->empty() || *options.report == "-" || is_folder(*options.report)) {
            std::fprintf(stderr, "%s: --report needs the name of a file to write\n", kProgram);
            return kUsage;
        }
        if (!options.overwrite && fs::exists(as_path(*options.report), ec)) {
            std::fprintf(stderr, "%s: the report %s exists (use -y to replace it)\n", kProgram,
                         tvcli::printable(*options.report).c_str());
            return kUsage;
        }
    }
    if (options.overwrite && options.skip_existing) {
        std::fprintf(stderr, "%s: -y (replace outputs) and -n (keep outputs) exclude each other\n",
                     kProgram);
        return kUsage;
    }
    const bool dash = std::find(options.positionals.begin(), options.positionals.end(), "-") !=
                      options.positionals.end();
    if (dash || options.output_dir == "-" || options.join == "-") {
        std::fprintf(stderr,
                     "%s: '-' cannot stand for standard input or output: recordings and AVI "
                     "files are read and written at many places; give a file name (./- for a "
                     "file named '-')\n",
                     kProgram);
        return kUsage;
    }
    return -1;
}

}  // namespace tvcli
