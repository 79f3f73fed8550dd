// The muxer of a build without FFmpeg's libraries: every output it is asked for is refused.
#include <cerrno>

#include "mux/mux.h"

namespace tv::mux {

struct Muxer::State {
    std::string text = "Matroska and MP4 output are not available in this build";
};

bool available() {
    return false;
}

Muxer::Muxer() : state_(std::make_unique<State>()) {}
Muxer::~Muxer() = default;

int Muxer::open(const std::string&, Container, const Description&) {
    return -1;
}
int Muxer::put(const Frame&) {
    return -1;
}
int Muxer::finish() {
    return -1;
}
void Muxer::abort() {}
int Muxer::error() const {
    return ENOTSUP;
}
const std::string& Muxer::error_text() const {
    return state_->text;
}
uint64_t Muxer::written_frames() const {
    return 0;
}
uint64_t Muxer::dropped_frames() const {
    return 0;
}

}  // namespace tv::mux
