#pragma once
// LZNT1, the LZ77 variant of NTFS compressed files and of the packed signature catalogue
// ([MS-XCA] 2.5). Linux has no system decompressor, so both directions live here.
//
// A stream is a run of chunks, each standing for up to 4096 bytes of output:
//   u16 header (little-endian): bits 0-11 = chunk size including the header − 3,
//                               bits 12-14 = signature 3, bit 15 = compressed;
//   body: the bytes as they are (uncompressed), or flag groups (compressed).
// A zero header ends the stream. Every chunk but the last stands for exactly 4096 bytes
// of output: a compressed chunk that decodes short is followed by zeros when another
// chunk comes after it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velk::codec {

inline constexpr size_t kLznt1ChunkBytes = 4096;

// Decompresses a whole LZNT1 stream, appending to out; stops at a zero chunk header or the
// end of input. Returns false on malformed input (back reference before the chunk start,
// a chunk running past the input, output beyond maxOut); out then holds what decoded
// before the fault. maxOut counts the bytes this call appends.
[[nodiscard]] bool lznt1Decompress(std::span<const uint8_t> in, std::vector<uint8_t>& out,
                                   size_t maxOut = SIZE_MAX);

// Decompresses into a fixed buffer (one NTFS compression unit). Returns the bytes
// produced, or nullopt on malformed input. Never writes past out.
[[nodiscard]] std::optional<size_t> lznt1DecompressInto(std::span<const uint8_t> in, std::span<uint8_t> out);

// Compresses with greedy matching; a chunk that would not shrink is stored as is.
// Empty input gives an empty stream.
std::vector<uint8_t> lznt1Compress(std::span<const uint8_t> in);

}  // namespace velk::codec
