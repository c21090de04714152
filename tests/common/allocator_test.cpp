#include "tolvan/common/allocator.h"
#include "tolvan/common/exception.h"
#include "tolvan/common/functionchecker.h"
#include "tolvan/containers/stringutils.h"
#include "tolvan/platform/debug.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

using namespace Kalvex;

TEST(Allocator, CountsHeaderAndAlignment) {
    struct Case {
        size_t size;
        size_t alignment;
        int64 counted;
    };
    const Case cases[] = {{100, 1, 108}, {100, 16, 124}, {0, 1, 8}, {1, 64, 73}};
    for (const Case& c : cases) {
        const int64 before = getTolvanAllocatedMemory();
        const int64 calls = getTolvanMallocCallCount();
        void* p = tolvanMalloc(c.size, c.alignment);
        EXPECT_EQ(getTolvanAllocatedMemory() - before, c.counted) << c.size << "/" << c.alignment;
        EXPECT_EQ(getTolvanMallocCallCount() - calls, 1);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u);
        const int64 peak = getPeakTolvanAllocatedMemory();
        tolvanFree(p);
        EXPECT_EQ(getTolvanAllocatedMemory(), before);
        EXPECT_EQ(getPeakTolvanAllocatedMemory(), peak);  // freeing touches neither the peak
        EXPECT_EQ(getTolvanMallocCallCount() - calls, 1); // nor the call count
    }
    const int64 before = getTolvanAllocatedMemory();
    tolvanFree(nullptr);
    EXPECT_EQ(getTolvanAllocatedMemory(), before);
}

TEST(Allocator, PeakResetWaitsForTheNextAllocation) {
    void* held = tolvanMalloc(1000);
    resetPeakTolvanAllocatedMemory();
    EXPECT_EQ(getPeakTolvanAllocatedMemory(), 0);
    void* p = tolvanMalloc(10);
    EXPECT_EQ(getPeakTolvanAllocatedMemory(), getTolvanAllocatedMemory());
    tolvanFree(p);
    EXPECT_GT(getPeakTolvanAllocatedMemory(), getTolvanAllocatedMemory());
    tolvanFree(held);
}

TEST(Allocator, AbsurdSizeThrowsBadAllocAndReleasesOneReserveSlot) {
    for (size_t absurd : {SIZE_MAX / 2, SIZE_MAX, SIZE_MAX - 4}) {
        const int slots = Detail::getEmergencyReserveSlotsLeft();
        const int64 held = getTolvanAllocatedMemory();
        try {
            void* p = tolvanMalloc(absurd, 16);
            tolvanFree(p);
            FAIL() << "expected BadAlloc";
        } catch (const Exception&) {
            FAIL() << "BadAlloc must not be an Exception";
        } catch (const BadAlloc& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("Bad allocation Exception!\nKalvex ran out of RAM an was unable", 0), 0u);
            EXPECT_NE(message.find("\n\nDebugging details:\nWanted to allocate: "), std::string::npos);
        }
        EXPECT_EQ(Detail::getEmergencyReserveSlotsLeft(), slots > 0 ? slots - 1 : 0);
        EXPECT_EQ(getTolvanAllocatedMemory(), held); // nothing of the failed block stays counted
    }
    void* p = tolvanMalloc(64); // the process keeps working
    tolvanFree(p);
}

TEST(Allocator, TotalIncludesHeaderAndPaddingAndSaturates) {
    struct Case {
        size_t size;
        size_t alignment;
        size_t total;
    };
    const Case cases[] = {
        {100, 1, 108},
        {100, 16, 124},
        {(size_t(1) << 48) - 8, 1, size_t(1) << 48}, // just past the header's 48-bit total
        {SIZE_MAX - 8, 1, SIZE_MAX},
        {SIZE_MAX - 4, 16, SIZE_MAX}, // the sum does not fit: the largest size stands for it
        {SIZE_MAX, 32768, SIZE_MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Detail::getAllocationTotal(c.size, c.alignment), c.total) << c.size << "/" << c.alignment;
    }
    // The oversized request reports that total, as a failed malloc does.
    try {
        (void)tolvanMalloc((size_t(1) << 48) - 8);
        FAIL() << "expected BadAlloc";
    } catch (const BadAlloc& e) {
        const String wanted = Str::getFormattedMemorySize(uint64(1) << 48);
        EXPECT_NE(
            std::string(e.what()).find("Wanted to allocate: " + std::string(wanted.toUtf8().cStr()) + "\n"),
            std::string::npos);
    }
}

namespace {

// While set on a thread, the global operator new fails there, as it does when memory is exhausted
// (the BadAlloc report is built with the standard library's containers). The replacement takes its
// blocks from malloc, so every form that frees them is replaced too.
thread_local bool gOperatorNewFails = false;

} // namespace

// GCC sees free() in a replaced operator delete as a mismatch with operator new; here both sides are
// malloc's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    void* block = gOperatorNewFails ? nullptr : std::malloc(size > 0 ? size : 1);
    if (!block) throw std::bad_alloc();
    return block;
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, size_t) noexcept {
    std::free(block);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return gOperatorNewFails ? nullptr : std::malloc(size > 0 ? size : 1);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
#pragma GCC diagnostic pop

TEST(Allocator, BadAllocWithoutRoomForTheReportSaysBadAllocation) {
    gOperatorNewFails = true;
    const BadAlloc failure(1000);
    gOperatorNewFails = false;
    EXPECT_STREQ(failure.what(), "bad allocation");
    const std::bad_alloc& base = failure;
    EXPECT_STREQ(base.what(), "bad allocation");
}

TEST(Allocator, RejectsInvalidAlignment) {
    EXPECT_THROW((void)tolvanMalloc(8, 3), Exception);
    EXPECT_THROW((void)tolvanMalloc(8, 65536), Exception);
}

TEST(Exception, MessageAndStopFailure) {
    const Exception e(String::fromUtf8("Datei \xE2\x80\x9Cx\xE2\x80\x9D fehlt"));
    EXPECT_STREQ(e.what(), "Datei \xE2\x80\x9Cx\xE2\x80\x9D fehlt");
    const Exception copy = e;
    EXPECT_STREQ(copy.what(), e.what());
    EXPECT_STREQ(Exception(String()).what(), "");

    EXPECT_STREQ(Detail::getLibrarySourcePath("/src/tolvan/tolvan/io/stream.cpp"), "io/stream.cpp");
    EXPECT_STREQ(Detail::getLibrarySourcePath("other.cpp"), "other.cpp");
    try {
        Detail::throwStop("/home/x/tolvan/io/stream.cpp", 277);
        FAIL();
    } catch (const Exception& stop) {
        EXPECT_STREQ(stop.what(), "STOP@io/stream.cpp(277)");
    }
}

TEST(FunctionChecker, CountsEntriesInProgressOrForever) {
    AtomicInt<int> inProgress;
    AtomicInt<int> everEntered;
    {
        Detail::FunctionChecker outer({}, inProgress, "outer");
        Detail::FunctionChecker inner({}, inProgress, "inner");
        EXPECT_EQ(inProgress.get(), 2);
        EXPECT_EQ(inner.getCountAtEntry(), 2);
    }
    EXPECT_EQ(inProgress.get(), 0);
    for (int i = 0; i < 3; ++i) {
        Detail::FunctionChecker once(Detail::CheckFunction::KEEP_COUNT, everEntered, "once");
    }
    EXPECT_EQ(everEntered.get(), 3);
}
