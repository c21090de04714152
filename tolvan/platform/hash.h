// Digests and identifiers: SHA-256 (the library's 256-bit digest) and MD5 of memory, text and files,
// random UUID text, a fast 64-bit non-cryptographic hash and cryptographically strong random bytes.
//
//   String digest = getKalvexHash256AsString("abc");   // "ba7816bf...", 64 lower-case hex digits
//   uint64 key = Utils::hash(data, size);
//
// Every function is re-entrant and keeps no shared state.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/string.h"

#include <cstddef>

namespace Kalvex {

namespace Io {
class Path;
}

// 256-bit digest (SHA-256)

/// The 32-byte SHA-256 digest of `size` bytes at `data` (a size <= 0 digests nothing).
[[nodiscard]] Array<std::byte> getKalvexHash256AsBinary(const std::byte* data, int size);
/// The digest of the zero-terminated text's bytes, terminator excluded (null digests nothing).
[[nodiscard]] Array<std::byte> getKalvexHash256AsBinary(const char* text);
/// The digest as 64 lower-case hexadecimal digits.
[[nodiscard]] String getKalvexHash256AsString(const std::byte* data, int size);
/// The digest of the zero-terminated text as 64 lower-case hexadecimal digits.
[[nodiscard]] String getKalvexHash256AsString(const char* text);

// MD5

/// The MD5 digest of the bytes as 32 lower-case hexadecimal digits.
[[nodiscard]] String getMd5AsString(ArrayView<const std::byte> data);
/// The MD5 digest of the zero-terminated text's bytes (terminator excluded; null digests nothing).
[[nodiscard]] String getMd5AsString(const char* text);
/// The MD5 digest of the file's whole content, read in pieces of at most 65,536 bytes after taking its
/// size; "" when the file cannot be sized, opened or read completely.
[[nodiscard]] String getMd5AsString(const Io::Path& file);

// Identifiers and random bytes

/// A new random (version 4) UUID: 36 lower-case characters, 8-4-4-4-12 with hyphens, no braces.
[[nodiscard]] String generateUuidAsString();

namespace Utils {
/// A fast 64-bit non-cryptographic hash of the bytes; an empty input gives 0xCBF29CE484222325.
/// Allocates nothing; the value is the same on every machine and in every run.
[[nodiscard]] uint64 hash(const void* data, size_t size) noexcept;
/// Fills `count` bytes from the kernel's cryptographic random generator. False when the generator
/// fails, `count` is negative or `buffer` is null with a positive count (the content is then unspecified).
[[nodiscard]] bool secureRandom(std::byte* buffer, int count) noexcept;
} // namespace Utils

namespace Detail {

/// How a SHA-256 context compresses its blocks.
enum class Sha256Engine {
    AUTOMATIC, ///< the processor's SHA extensions when present, else the portable code
    PORTABLE,  ///< plain C++ on every processor
    SHA_NI,    ///< the SHA extensions; only valid when hasSha256Extensions() is true
};

/// True when the processor offers the SHA extensions (with SSSE3 and SSE 4.1) that the fast path needs.
[[nodiscard]] bool hasSha256Extensions() noexcept;

/// Incremental SHA-256: update() any number of times, then finish() once. Whole 64-byte blocks are
/// compressed straight from the input; only a partial tail is copied into the block buffer.
class Sha256 {
public:
    static constexpr int DIGEST_SIZE = 32;

    /// A fresh context; SHA_NI falls back to PORTABLE when the processor lacks the extensions.
    explicit Sha256(Sha256Engine engine = Sha256Engine::AUTOMATIC) noexcept;
    /// Feeds `size` more bytes.
    void update(const void* data, size_t size) noexcept;
    /// Pads, compresses the last blocks and writes the 32-byte digest; the context is spent afterwards.
    void finish(std::byte (&digest)[DIGEST_SIZE]) noexcept;
    /// The engine actually used.
    [[nodiscard]] Sha256Engine getEngine() const noexcept { return mEngine; }

private:
    void compress(const uint8* blocks, size_t count) noexcept;

    uint32 mState[8];
    uint8 mBuffer[64];
    uint64 mLength = 0; // bytes fed so far
    Sha256Engine mEngine;
};

/// Incremental MD5 with the same use as Sha256.
class Md5 {
public:
    static constexpr int DIGEST_SIZE = 16;

    Md5() noexcept;
    /// Feeds `size` more bytes.
    void update(const void* data, size_t size) noexcept;
    /// Pads and writes the 16-byte digest; the context is spent afterwards.
    void finish(std::byte (&digest)[DIGEST_SIZE]) noexcept;

private:
    uint32 mState[4];
    uint8 mBuffer[64];
    uint64 mLength = 0;
};

/// The 64 SHA-256 round constants.
extern const uint32 SHA256_ROUND_CONSTANTS[64];

/// The SHA-256 compression of `count` 64-byte blocks with the SHA extensions (caller checks support).
void sha256CompressShaNi(uint32 (&state)[8], const uint8* blocks, size_t count) noexcept;

/// The MD5 of a whole file named by its UTF-8 path, read in pieces of at most 65,536 bytes after
/// taking its size; "" when the file cannot be sized, opened or read completely.
[[nodiscard]] String getMd5OfFileAsString(const char* utf8FileName);

/// `size` bytes as lower-case hexadecimal, two digits per byte.
[[nodiscard]] String toLowerHex(const std::byte* data, int size);

} // namespace Detail

} // namespace Kalvex
