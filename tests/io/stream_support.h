// Test helpers for the stream tests: a fresh temporary directory per test and small byte sources with
// the behaviour of sockets and broken devices.
#pragma once

#include "tolvan/io/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace TolvanTest {

/// Each test runs in its own temporary directory, removed with its content afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvan_streams_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + mDir + "'").c_str()); }

    [[nodiscard]] std::string native(const std::string& name) const { return mDir + "/" + name; }
    [[nodiscard]] Kalvex::Io::Path path(const std::string& name) const {
        return Kalvex::Io::Path(Kalvex::String::fromUtf8(native(name).c_str()));
    }
    void writeFile(const std::string& name, const std::string& content) const {
        std::ofstream out(native(name), std::ios::binary);
        out << content;
    }
    [[nodiscard]] std::string readFile(const std::string& name) const {
        std::ifstream in(native(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string mDir;
};

/// A non-seekable source over a string that delivers at most `chunk` bytes per read, like a socket.
/// With `zeroReads` it first answers that many reads with 0 bytes without reporting end of data.
/// With `failAfter` >= 0 it throws once that many bytes were delivered.
class ChunkedSource : public Kalvex::Io::BinaryInputStream {
public:
    explicit ChunkedSource(std::string data, Kalvex::int64 chunk = 1 << 30, int zeroReads = 0,
                           Kalvex::int64 failAfter = -1)
        : mData(std::move(data))
        , mChunk(chunk)
        , mZeroReads(zeroReads)
        , mFailAfter(failAfter) {}

    Kalvex::int64 readCalls = 0;

protected:
    Kalvex::int64 readImpl(void* dst, Kalvex::int64 count) override {
        ++readCalls;
        if (mZeroReads > 0) {
            --mZeroReads;
            return 0;
        }
        if (mFailAfter >= 0 && mPosition >= mFailAfter) throw std::runtime_error("source failed");
        const Kalvex::int64 n = std::min({count, mChunk, Kalvex::int64(mData.size()) - mPosition});
        std::memcpy(dst, mData.data() + mPosition, size_t(n));
        mPosition += n;
        if (n < count && mPosition == Kalvex::int64(mData.size())) mEof = true;
        return n;
    }
    [[nodiscard]] bool eofImpl() const override { return mEof; }

private:
    std::string mData;
    Kalvex::int64 mChunk;
    int mZeroReads;
    Kalvex::int64 mFailAfter;
    Kalvex::int64 mPosition = 0;
    bool mEof = false;
};

/// The message of the Kalvex::Exception that `f` throws ("" when it throws none).
template <typename F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const Kalvex::Exception& e) {
        return e.what();
    }
    return "";
}

} // namespace TolvanTest
