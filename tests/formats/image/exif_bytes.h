// Builders of EXIF blocks and JPEG files from bytes, for the malformed cases
// that no tool writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ifd_entry {
  uint16_t tag;
  uint16_t format;
  uint32_t count;
  uint32_t value; // stored as a 32-bit field in the block's order
};

struct ifd_spec {
  uint32_t offset; // from the TIFF header
  std::vector<ifd_entry> entries;
  uint32_t next;
};

constexpr uint16_t fmt_ascii = 2, fmt_long = 4, fmt_rational = 5, fmt_sbyte = 6, fmt_undefined = 7, fmt_sshort = 8,
                   fmt_slong = 9, fmt_srational = 10, fmt_float = 11, fmt_double = 12;

inline void put_16(std::string &bytes, bool intel, size_t pos, uint16_t v) {
  bytes[pos + (intel ? 0 : 1)] = static_cast<char>(v & 0xFF);
  bytes[pos + (intel ? 1 : 0)] = static_cast<char>(v >> 8);
}

inline void put_32(std::string &bytes, bool intel, size_t pos, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    bytes[pos + (intel ? i : 3 - i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// An APP1 payload: "Exif\0\0", a TIFF header naming IFD 0 at `ifd0`, `tiff_size`
// bytes of TIFF data (zeros where nothing is placed) holding the IFDs.
inline std::string exif_payload(bool intel, uint32_t ifd0, size_t tiff_size, const std::vector<ifd_spec> &ifds) {
  std::string block(6 + tiff_size, '\0');
  block.replace(0, 6, std::string("Exif\0\0", 6));
  block.replace(6, 2, intel ? "II" : "MM");
  put_16(block, intel, 8, 42);
  put_32(block, intel, 10, ifd0);
  for (const ifd_spec &ifd : ifds) {
    size_t p = 6 + ifd.offset;
    put_16(block, intel, p, static_cast<uint16_t>(ifd.entries.size()));
    p += 2;
    for (const ifd_entry &e : ifd.entries) {
      put_16(block, intel, p, e.tag);
      put_16(block, intel, p + 2, e.format);
      put_32(block, intel, p + 4, e.count);
      put_32(block, intel, p + 8, e.value);
      p += 12;
    }
    put_32(block, intel, p, ifd.next);
  }
  return block;
}

// A segment: marker, big-endian length counting itself, payload.
inline std::string segment(uint16_t marker, const std::string &payload) {
  size_t length = payload.size() + 2;
  std::string out;
  out += static_cast<char>(marker >> 8);
  out += static_cast<char>(marker & 0xFF);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  return out + payload;
}

// A JPEG of the given APP1 payloads: start of image, the segments, end of image.
inline std::string jpeg_of(const std::vector<std::string> &app1_payloads) {
  std::string out("\xFF\xD8", 2);
  for (const std::string &payload : app1_payloads)
    out += segment(0xFFE1, payload);
  return out + std::string("\xFF\xD9", 2);
}
