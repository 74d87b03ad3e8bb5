// Integers as the bytes a file stores them in, for tests that build files.
#pragma once

#include <cstdint>
#include <string>

inline std::string le16(uint16_t v) { return {char(v), char(v >> 8)}; }
inline std::string le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
inline std::string le64(uint64_t v) { return le32(static_cast<uint32_t>(v)) + le32(static_cast<uint32_t>(v >> 32)); }
inline std::string be16(uint16_t v) { return {char(v >> 8), char(v)}; }
inline std::string be24(uint32_t v) { return {char(v >> 16), char(v >> 8), char(v)}; }
inline std::string be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
inline std::string be64(uint64_t v) { return be32(static_cast<uint32_t>(v >> 32)) + be32(static_cast<uint32_t>(v)); }

// An ISO media box with a 32-bit size; `type` is its four bytes ("\xa9nam" for title).
inline std::string box(const std::string &type, const std::string &payload) {
  return be32(static_cast<uint32_t>(8 + payload.size())) + type + payload;
}

// A Vorbis comment list: vendor, field count (the number of fields unless
// given), fields; lengths little-endian.
template <typename Fields> std::string comment_list(const std::string &vendor, const Fields &fields, int64_t count = -1) {
  std::string out = le32(static_cast<uint32_t>(vendor.size())) + vendor;
  out += le32(static_cast<uint32_t>(count >= 0 ? count : static_cast<int64_t>(fields.size())));
  for (const std::string &field : fields)
    out += le32(static_cast<uint32_t>(field.size())) + field;
  return out;
}

// A FLAC picture block's payload; `declared` overrides the data length field.
inline std::string picture_block(uint32_t type, const std::string &mime, const std::string &description,
                                 const std::string &data, int64_t declared = -1) {
  return be32(type) + be32(static_cast<uint32_t>(mime.size())) + mime +
         be32(static_cast<uint32_t>(description.size())) + description + be32(1) + be32(2) + be32(24) + be32(0) +
         be32(static_cast<uint32_t>(declared >= 0 ? declared : static_cast<int64_t>(data.size()))) + data;
}
