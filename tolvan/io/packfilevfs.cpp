#include "tolvan/io/packfilevfs.h"

#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/textstream.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>

namespace Kalvex {

// ---------------------------------------------------------------------------------------------------
// Keystream

namespace {

// The constants of the seeding: two whitening words and a 128-bit TEA key. Only packs written with the
// same values can be read.
constexpr uint32 SEED_WHITEN_1 = 0x7F4A7C15;
constexpr uint32 SEED_WHITEN_2 = 0x94D049BB;
constexpr uint32 SEED_KEY[4] = {0xB5297A4D, 0x68E31DA4, 0x1B56C4E9, 0xD2B74407};
constexpr uint32 TEA_DELTA = 0x9E3779B9;

constexpr uint64 xorshift(uint64 s) noexcept {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s;
}

// The byte that the state after a step XORs into the data.
inline std::byte keyOf(uint64 s) noexcept {
    return std::byte(uint8(uint32(s) * 29u));
}

// The xorshift step is linear over GF(2): a 64 x 64 bit matrix, kept as the images of the 64 unit
// vectors. JUMPS[k] is the step applied 2^k times.
struct BitMatrix {
    uint64 column[64];

    uint64 apply(uint64 v) const noexcept {
        uint64 result = 0;
        for (int i = 0; v; ++i, v >>= 1) {
            if (v & 1) result ^= column[i];
        }
        return result;
    }
};

struct JumpTable {
    BitMatrix jumps[64];

    JumpTable() noexcept {
        for (int i = 0; i < 64; ++i)
            jumps[0].column[i] = xorshift(uint64(1) << i);
        for (int k = 1; k < 64; ++k) {
            for (int i = 0; i < 64; ++i)
                jumps[k].column[i] = jumps[k - 1].apply(jumps[k - 1].column[i]);
        }
    }
};

const JumpTable& jumpTable() {
    static const JumpTable table;
    return table;
}

// Below this many bytes (or without AVX2) one keystream runs alone; above, the block is cut into LANES
// pieces whose keystreams (reached by jumps) run side by side in vector lanes.
constexpr int64 LANE_THRESHOLD = 64 * 1024;
constexpr int LANES = 8;

uint64 applySerial(uint64 s, std::byte* data, int64 count) noexcept {
    for (int64 i = 0; i < count; ++i) {
        s = xorshift(s);
        data[i] ^= keyOf(s);
    }
    return s;
}

// The interleaved keystream on AVX2: eight lanes in two vectors, each lane collecting the key bytes of
// eight steps in one 64-bit word that is then XORed into its piece at once.
__attribute__((target("avx2"))) uint64 applyInterleavedAvx2(uint64 state, std::byte* data,
                                                            int64 count) noexcept {
    const int64 piece = count / LANES / 8 * 8;
    alignas(32) uint64 s[LANES];
    s[0] = state;
    for (int j = 1; j < LANES; ++j)
        s[j] = Detail::packKeystreamSkip(s[j - 1], uint64(piece));
    __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(s));
    __m256i high = _mm256_load_si256(reinterpret_cast<const __m256i*>(s + 4));
    const __m256i times29 = _mm256_set1_epi16(29);
// One keystream step of four lanes in `v`. The low byte of each lane times 29 lands in the lane's low
// byte; it enters the key word `keys` at the top, so after eight steps the first key is the lowest byte.
#define KALVEX_PACK_STEP(v, keys)                                                                            \
    do {                                                                                                     \
        v = _mm256_xor_si256(v, _mm256_srli_epi64(v, 12));                                                   \
        v = _mm256_xor_si256(v, _mm256_slli_epi64(v, 25));                                                   \
        v = _mm256_xor_si256(v, _mm256_srli_epi64(v, 27));                                                   \
        keys = _mm256_or_si256(_mm256_srli_epi64(keys, 8),                                                   \
                               _mm256_slli_epi64(_mm256_mullo_epi16(v, times29), 56));                       \
    } while (false)
    alignas(32) uint64 keys[LANES];
    for (int64 i = 0; i < piece; i += 8) {
        __m256i keysLow = _mm256_setzero_si256(), keysHigh = _mm256_setzero_si256();
        for (int k = 0; k < 8; ++k) {
            KALVEX_PACK_STEP(low, keysLow);
            KALVEX_PACK_STEP(high, keysHigh);
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(keys), keysLow);
        _mm256_store_si256(reinterpret_cast<__m256i*>(keys + 4), keysHigh);
        for (int j = 0; j < LANES; ++j) {
            uint64 word;
            std::memcpy(&word, data + j * piece + i, 8);
            word ^= keys[j];
            std::memcpy(data + j * piece + i, &word, 8);
        }
    }
#undef KALVEX_PACK_STEP
    _mm256_store_si256(reinterpret_cast<__m256i*>(s + 4), high);
    return applySerial(s[LANES - 1], data + LANES * piece, count - LANES * piece);
}

const bool HAS_AVX2 = __builtin_cpu_supports("avx2");

} // namespace

namespace Detail {

uint64 packKeystreamStart(uint32 seed) noexcept {
    uint32 y = seed ^ (seed >> 16) ^ SEED_WHITEN_1;
    uint32 z = seed ^ SEED_WHITEN_2;
    for (uint32 cycle = 1; cycle <= 6; ++cycle) {
        const uint32 sum = TEA_DELTA * cycle;
        z += ((y << 4) + SEED_KEY[0]) ^ (y + sum) ^ ((y >> 5) + SEED_KEY[1]);
        y += ((z << 4) + SEED_KEY[2]) ^ (z + sum) ^ ((z >> 5) + SEED_KEY[3]);
    }
    uint64 s = (uint64(z) << 32) | y;
    for (int i = 0; i < 4; ++i)
        s = xorshift(s);
    return s;
}

uint64 packKeystreamSkip(uint64 state, uint64 steps) noexcept {
    if (steps < 64) {
        for (; steps; --steps)
            state = xorshift(state);
        return state;
    }
    const JumpTable& table = jumpTable();
    for (int k = 0; steps; ++k, steps >>= 1) {
        if (steps & 1) state = table.jumps[k].apply(state);
    }
    return state;
}

uint64 packKeystreamApply(uint64 state, std::byte* data, int64 count) noexcept {
    if (count >= LANE_THRESHOLD && HAS_AVX2) return applyInterleavedAvx2(state, data, count);
    return applySerial(state, data, count);
}

} // namespace Detail

// ---------------------------------------------------------------------------------------------------
// PackFileInputStream

PackFileInputStream::PackFileInputStream(AutoPtr<Io::SeekableBinaryInputStream>&& source, int64 start,
                                         int64 length, uint64 keystreamState)
    : mSource(std::move(source))
    , mStart(start)
    , mLength(length)
    , mInitialState(keystreamState)
    , mState(keystreamState) {
    mSource->seekgImpl(start, Io::SeekOrigin::Begin);
}

int64 PackFileInputStream::tellg() const {
    return mPosition;
}

void PackFileInputStream::seekgImpl(int64 offset, Io::SeekOrigin origin) {
    int64 base;
    switch (origin) {
    case Io::SeekOrigin::Begin:
        base = 0;
        break;
    case Io::SeekOrigin::Current:
        base = mPosition;
        break;
    case Io::SeekOrigin::End:
        base = mLength;
        break;
    default:
        KALVEX_STOP();
    }
    // Compared without forming base + offset, which may overflow.
    if (offset < -base || offset > mLength - base) throw Exception("Error seeking packed file stream");
    const int64 target = base + offset;
    mSource->seekgImpl(mStart + target, Io::SeekOrigin::Begin);
    mPosition = target;
    mState = Detail::packKeystreamSkip(mInitialState, uint64(target));
    mEof = false;
}

int64 PackFileInputStream::readImpl(void* dst, int64 count) {
    const int64 wanted = std::min(count, mLength - mPosition);
    // Only what the source delivered is descrambled and counted: a pack cut short since it was loaded
    // ends the entry early instead of handing out bytes never read.
    const int64 got = wanted > 0 ? mSource->read(dst, wanted) : 0;
    mPosition += got;
    if (got < count) mEof = true;
    mState = Detail::packKeystreamApply(mState, static_cast<std::byte*>(dst), got);
    return got;
}

bool PackFileInputStream::eofImpl() const {
    return mEof;
}

// ---------------------------------------------------------------------------------------------------
// PackFileVfs: loading

namespace {

constexpr char LOAD_FAILED[] = "Could not load object from the stream.";
// zlib never expands data by more than this factor (its limit is 1032:1), so a compressed entry that
// announces more is corrupt; the bound keeps a forged size from allocating more than the data can fill.
constexpr int64 MAX_INFLATE_RATIO = 1040;

template <typename T>
T readLittleEndian(Io::BinaryInputStream& in) {
    unsigned char bytes[sizeof(T)];
    if (in.read(bytes, sizeof bytes) != int64(sizeof bytes)) throw Exception(LOAD_FAILED);
    std::make_unsigned_t<T> value = 0;
    for (size_t i = sizeof(T); i-- > 0;)
        value = std::make_unsigned_t<T>((value << 8) | bytes[i]);
    return T(value);
}

// A name that would leave the pack root when joined to a directory: absolute, a drive or a ".." step.
bool escapesRoot(const String& name) {
    if (name.startsWith(u"/")) return true;
    if (name.length() >= 2 && name[1] == u':') return true;
    for (const String& part : name.explode(u"/"))
        if (part == u"..") return true;
    return false;
}

using InflatedBytes = Io::ArrayInputStream<HeapAllocator, long long>::Bytes;

// Exactly `size` bytes of `in`, or nothing when it delivers fewer or more. The buffer grows with what
// actually arrives, so a forged size allocates no more than twice the data behind it.
Optional<InflatedBytes> inflateExactly(Io::BinaryInputStream& in, int64 size) {
    constexpr int64 FIRST_BLOCK = 256 * 1024;
    InflatedBytes bytes = InflatedBytes::uninitialized(std::min(size, FIRST_BLOCK));
    int64 filled = 0;
    while (filled < size) {
        if (filled == bytes.size()) {
            InflatedBytes larger = InflatedBytes::uninitialized(std::min<int64>(size, 2 * bytes.size()));
            std::memcpy(larger.data(), bytes.data(), size_t(filled));
            bytes = std::move(larger);
        }
        const int64 n = in.read(bytes.data() + filled, bytes.size() - filled);
        if (n == 0) return NONE;
        filled += n;
    }
    char extra;
    if (in.read(&extra, 1) != 0) return NONE;
    return bytes;
}

bool nameLess(const PackFileVfs::Entry& a, const PackFileVfs::Entry& b) {
    return a.name.genericStr() < b.name.genericStr();
}

} // namespace

PackFileVfs::PackFileVfs(const Io::Path& path)
    : mSource(path) {
    load();
}

PackFileVfs::PackFileVfs(ArrayView<const std::byte> image)
    : mSource(image) {
    load();
}

AutoPtr<Io::SeekableBinaryInputStream> PackFileVfs::openSource() const {
    if (mSource.is<Io::Path>()) return makeAutoPtr<Io::FileInputStream>(mSource.get<Io::Path>());
    const ArrayView<const std::byte>& image = mSource.get<ArrayView<const std::byte>>();
    // A memory stream over no bytes still needs an address to read from.
    static const std::byte nothing[1] = {};
    return makeAutoPtr<Io::MemoryInputStream>(image.size() > 0 ? image.data() : nothing, image.size());
}

void PackFileVfs::corrupt(const String& what) const {
    const String where = mSource.is<Io::Path>()
                             ? String(u"'") + mSource.get<Io::Path>().genericStr() + String(u"'")
                             : String(u"in memory");
    throw Exception(String(u"Corrupt pack file ") + where + String(u": ") + what);
}

void PackFileVfs::load() {
    AutoPtr<Io::SeekableBinaryInputStream> in = openSource();
    if (readLittleEndian<uint32>(*in) != Detail::PACK_GUARD)
        throw Exception(("checkGuard() failed. Guard: " + std::to_string(Detail::PACK_GUARD)).c_str());
    mSeed = readLittleEndian<uint32>(*in);
    in->seekg(0, Io::SeekOrigin::End);
    const int64 fileSize = in->tellg();
    if (fileSize < 16) throw Exception(LOAD_FAILED);
    in->seekg(fileSize - 8);
    mDirectoryLength = readLittleEndian<int64>(*in);
    if (mDirectoryLength < 0 || mDirectoryLength > fileSize - 16)
        corrupt(String(u"the directory length ") + String::fromAscii(std::to_string(mDirectoryLength)) +
                String(u" does not fit in its ") + String::fromAscii(std::to_string(fileSize)) +
                String(u" bytes"));
    mDirectoryOffset = fileSize - 8 - mDirectoryLength;
    in.reset();
    if (mDirectoryLength > 0) readDirectory(Detail::packKeystreamStart(mSeed));
}

void PackFileVfs::readDirectory(uint64 initialState) {
    Io::DeflateInputStream directory(
        makeAutoPtr<PackFileInputStream>(openSource(), mDirectoryOffset, mDirectoryLength, initialState));
    int64 offset = 8;
    uint64 state = initialState;
    int64 index = 0;
    while (Optional<String> name = Io::readLineUtf8(directory, 0)) {
        Entry entry;
        entry.name = Io::Path(std::move(*name));
        entry.storedLength = readLittleEndian<int64>(directory);
        entry.size = readLittleEndian<int64>(directory);
        unsigned char compressed;
        if (directory.read(&compressed, 1) != 1) throw Exception(LOAD_FAILED);
        entry.compressed = compressed != 0;
        entry.index = index++;
        addEntry(std::move(entry), offset, state);
    }
    // The directory order decides which of two records with one name counts: the later one.
    std::stable_sort(mEntries.begin(), mEntries.end(), nameLess);
    Stack<Entry> unique;
    unique.reserve(mEntries.size());
    for (int32 i = 0; i < mEntries.size(); ++i) {
        if (i + 1 < mEntries.size() && mEntries[i + 1].name.genericStr() == mEntries[i].name.genericStr())
            continue;
        unique.push(std::move(mEntries[i]));
    }
    mEntries = std::move(unique);
}

void PackFileVfs::addEntry(Entry&& entry, int64& offset, uint64& state) {
    const String& name = entry.name.genericStr();
    if (escapesRoot(name)) corrupt(String(u"the entry name '") + name + String(u"' leaves the pack"));
    const bool fits = entry.storedLength >= 0 && entry.storedLength <= mDirectoryOffset - offset;
    const bool sized =
        entry.size >= 0 && (entry.compressed ? entry.size / MAX_INFLATE_RATIO <= entry.storedLength
                                             : entry.size == entry.storedLength);
    if (!fits) corrupt(String(u"the entry '") + name + String(u"' runs past the data area"));
    if (!sized) corrupt(String(u"the entry '") + name + String(u"' has an impossible size"));
    if (mEntries.size() == std::numeric_limits<int32>::max()) corrupt(String(u"too many entries"));
    entry.dataOffset = offset;
    entry.keystreamState = state;
    offset += entry.storedLength;
    state = Detail::packKeystreamSkip(state, uint64(entry.storedLength));
    mEntries.push(std::move(entry));
}

bool PackFileVfs::isPackFile(const Io::Path& path) {
    try {
        Io::FileInputStream in(path);
        return readLittleEndian<uint32>(in) == Detail::PACK_GUARD;
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------------------------------
// PackFileVfs: lookups

const PackFileVfs::Entry* PackFileVfs::find(const Io::Path& path) const {
    const String& name = path.genericStr();
    const Entry* it =
        std::lower_bound(mEntries.begin(), mEntries.end(), name,
                         [](const Entry& e, const String& n) { return e.name.genericStr() < n; });
    return it != mEntries.end() && it->name.genericStr() == name ? it : nullptr;
}

bool PackFileVfs::fileExists(const Io::Path& path) const {
    return find(path) != nullptr;
}

int64 PackFileVfs::fileSize(const Io::Path& path) const {
    const Entry* entry = find(path);
    return entry ? entry->size : -1;
}

uint64 PackFileVfs::fileId(const Io::Path& path) const {
    const Entry* entry = find(path);
    if (!entry) throw Exception("PackFileVfs::fileId() - fileName not recognized.");
    return uint64(entry->index);
}

AutoPtr<Io::SeekableBinaryInputStream> PackFileVfs::openForReading(const Io::Path& path) {
    const Entry* entry = find(path);
    if (!entry) throw Exception::fileAccess(path);
    AutoPtr<Io::SeekableBinaryInputStream> stored = makeAutoPtr<PackFileInputStream>(
        openSource(), entry->dataOffset, entry->storedLength, entry->keystreamState);
    if (!entry->compressed) return stored;
    Io::DeflateInputStream inflater{AutoPtr<Io::BinaryInputStream>(std::move(stored))};
    Optional<InflatedBytes> bytes = inflateExactly(inflater, entry->size);
    if (!bytes)
        corrupt(String(u"the entry '") + entry->name.genericStr() +
                String(u"' does not inflate to its size"));
    return makeAutoPtr<Io::ArrayInputStream<HeapAllocator, long long>>(std::move(*bytes));
}

Stack<Io::Path> PackFileVfs::getFiles(const Io::Path& directory, Flags<Io::GetFiles> flags,
                                      ArrayView<const String> extensions) {
    const String& d = directory.genericStr();
    const String prefix = d + String(u"/");
    Stack<String> lowered(extensions);
    for (String& e : lowered)
        e.toLowerCase();
    Stack<Io::Path> result;
    for (const Entry& entry : mEntries) {
        const String& name = entry.name.genericStr();
        const bool inside = flags.has(Io::GetFiles::Recursive)
                                ? d.isEmpty() || name.startsWith(prefix)
                                : entry.name.parentDirectory().genericStr() == d;
        if (!inside) continue;
        if (!lowered.isEmpty() && !lowered.contains(entry.name.extension())) continue;
        result.push(entry.name);
    }
    return result;
}

} // namespace Kalvex
