#include "tolvan/io/packfilevfs.h"

#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/textstream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace Kalvex {

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
    // Large reads go in pieces that are descrambled while they are still in the processor's cache.
    constexpr int64 PIECE = 1024 * 1024;
    std::byte* const bytes = static_cast<std::byte*>(dst);
    const int64 wanted = std::max<int64>(0, std::min(count, mLength - mPosition));
    int64 got = 0;
    while (got < wanted) {
        // Only what the source delivered is descrambled and counted: a pack cut short since it was
        // loaded ends the entry early instead of handing out bytes never read.
        const int64 asked = std::min(PIECE, wanted - got);
        const int64 n = mSource->read(bytes + got, asked);
        mState = Detail::packKeystreamApply(mState, bytes + got, n);
        got += n;
        if (n < asked) break;
    }
    mPosition += got;
    if (got < count) mEof = true;
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
