#include "cli/evidence.h"

#ifdef TORVANE_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "app/conversion_job.h"
#include "common/platform.h"

namespace fs = std::filesystem;

namespace tvcli {
namespace {

#ifdef TORVANE_HAVE_OPENSSL
struct DigestFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
#endif

struct Closer {
    void operator()(FILE* f) const { std::fclose(f); }
};

constexpr char kHex[] = "0123456789abcdef";

std::string hex(const unsigned char* bytes, size_t n) {
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

}  // namespace

#ifdef TORVANE_HAVE_OPENSSL
bool sha256_available() {
    return true;
}

std::string sha256_of_file(const std::string& path, std::string& error) {
    constexpr size_t kPiece = 1 << 20;
    std::unique_ptr<FILE, Closer> in(tv::platform::open_stream(path.c_str()));
    if (!in) {
        error = std::strerror(errno);
        return {};
    }
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        error = "SHA-256 not available";
        return {};
    }
    std::vector<unsigned char> piece(kPiece);
    for (;;) {
        errno = 0;
        const size_t n = std::fread(piece.data(), 1, piece.size(), in.get());
        if (n > 0) EVP_DigestUpdate(ctx.get(), piece.data(), n);
        if (n == piece.size()) continue;
        if (std::ferror(in.get())) {
            error = std::strerror(errno != 0 ? errno : EIO);
            return {};
        }
        break;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        error = "SHA-256 failed";
        return {};
    }
    return hex(digest, length);
}
#else
bool sha256_available() {
    return false;
}

std::string sha256_of_file(const std::string&, std::string& error) {
    error = "SHA-256 is not available in this build";
    return {};
}
#endif

std::string checksum_line(const std::string& hash, const std::string& name) {
    const bool escaped = name.find_first_of("\\\n") != std::string::npos;
    std::string line = escaped ? "\\" + hash + "  " : hash + "  ";
    for (char c : name) {
        if (escaped && c == '\\')
            line += "\\\\";
        else if (c == '\n')
            line += "\\n";
        else
            line += c;
    }
    return line + "\n";
}

std::string name_from(const std::string& path, const std::string& folder) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(tv::platform::path_of(path), ec);
    const fs::path base = fs::absolute(tv::platform::path_of(folder.empty() ? "." : folder), ec);
    const fs::path relative = absolute.lexically_proximate(base);
    return tv::platform::utf8_of(relative.empty() ? absolute : relative);
}

bool write_file_aside(const std::string& path, const std::string& text, bool replace,
                      std::string& error) {
    const std::string part = path + ".part";
    FILE* out = tv::platform::create_stream(part.c_str());
    if (out == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const int write_error = errno;
    if (std::fclose(out) != 0 || !written) {
        error = std::strerror(written ? errno : write_error);
        tv::platform::remove(part.c_str());
        return false;
    }
    if (tv::PutInPlace(part, path, replace) != 0) {
        error = std::strerror(errno);
        tv::platform::remove(part.c_str());
        return false;
    }
    return true;
}

bool is_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = 0;
        uint32_t code = 0, lowest = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, code = c & 0x1F, lowest = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, code = c & 0x0F, lowest = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, code = c & 0x07, lowest = 0x10000;
        } else {
            return false;
        }
        if (i + n >= text.size()) return false;  // cut short
        for (size_t k = 1; k <= n; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and code points past Unicode's end are no UTF-8.
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

void put_path(nlohmann::ordered_json& j, const std::string& key, const std::string& path) {
    if (is_utf8(path)) {
        j[key] = path;
        return;
    }
    // The JSON text itself must be UTF-8: the name shown replaces what is not.
    j[key] = nlohmann::ordered_json(path).dump(-1, ' ', false,
                                               nlohmann::ordered_json::error_handler_t::replace);
    j[key] = nlohmann::ordered_json::parse(j[key].get<std::string>());
    j[key + "_bytes"] = hex(reinterpret_cast<const unsigned char*>(path.data()), path.size());
}

std::string utc_iso(int64_t seconds) {
    std::tm tm{};
    tv::platform::utc_time(seconds, tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace tvcli
