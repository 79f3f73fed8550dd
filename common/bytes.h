// Explicit little-endian loads and stores: every integer of a recording, an AVI file and a
// voice frame is little-endian whatever the host is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tv {

inline uint16_t load_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t load_le64(const uint8_t* p) {
    return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}
inline void store_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void store_le64(uint8_t* p, uint64_t v) {
    store_le32(p, static_cast<uint32_t>(v));
    store_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Bounds-checked forms for spans: the caller states the offset, the span proves the room.
inline uint16_t load_le16(std::span<const uint8_t> s, std::size_t off) {
    return load_le16(s.subspan(off, 2).data());
}
inline uint32_t load_le32(std::span<const uint8_t> s, std::size_t off) {
    return load_le32(s.subspan(off, 4).data());
}
inline uint64_t load_le64(std::span<const uint8_t> s, std::size_t off) {
    return load_le64(s.subspan(off, 8).data());
}
inline void store_le16(std::span<uint8_t> s, std::size_t off, uint16_t v) {
    store_le16(s.subspan(off, 2).data(), v);
}
inline void store_le32(std::span<uint8_t> s, std::size_t off, uint32_t v) {
    store_le32(s.subspan(off, 4).data(), v);
}
inline void store_le64(std::span<uint8_t> s, std::size_t off, uint64_t v) {
    store_le64(s.subspan(off, 8).data(), v);
}

// Four-character codes are their four ASCII bytes in reading order.
inline void store_fourcc(uint8_t* p, const char* code) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(code[i]);
}
inline uint32_t fourcc_value(const char* code) {
    return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24);
}

}  // namespace tv
