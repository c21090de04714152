#include "tolvan/utility/regexp_posix.h"

#include "tolvan/common/exception.h"
#include "tolvan/containers/string.h"
#include "tolvan/utility/valuetext.h"

#include <cstring>
#include <exception>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace Kalvex::Detail {

namespace {

// The lowest address of the calling thread's stack, found once per thread.
char* stackLimitOfThisThread() noexcept {
    thread_local char* limit = nullptr;
    thread_local bool known = false;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* address = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &address, &size) == 0) limit = static_cast<char*>(address);
            pthread_attr_destroy(&attr);
        }
    }
    return limit;
}

struct Job {
    const Function<void()>* work;
    std::exception_ptr error;
};

void* runJob(void* argument) {
    Job& job = *static_cast<Job*>(argument);
    try {
        (*job.work)();
    } catch (...) {
        job.error = std::current_exception();
    }
    return nullptr;
}

[[noreturn]] void failStack(const char* what, int error, size_t bytes) {
    throw Exception(String::fromUtf8(what) + u" for a regular-expression match (" +
                    formatNumber(int64(bytes)) + u" bytes of stack): " +
                    String::fromUtf8(std::strerror(error)) + u".");
}

// A thread stack of reserved address space with a guard area below it; unmapped when destroyed.
class ReservedStack {
public:
    explicit ReservedStack(size_t bytes) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        mSize = (bytes + GUARD + page - 1) / page * page;
        void* base = mmap(nullptr, mSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (base == MAP_FAILED) failStack("Cannot reserve address space", errno, bytes);
        mBase = static_cast<char*>(base);
        // The engine walks the stack down page after page: large pages make that far fewer faults.
        (void)madvise(mBase, mSize, MADV_HUGEPAGE);
        if (mprotect(mBase, GUARD, PROT_NONE) != 0) {
            const int error = errno;
            munmap(mBase, mSize);
            failStack("Cannot protect the stack's guard area", error, bytes);
        }
    }
    ReservedStack(const ReservedStack&) = delete;
    ReservedStack& operator=(const ReservedStack&) = delete;
    ~ReservedStack() { munmap(mBase, mSize); }

    [[nodiscard]] void* usable() const noexcept { return mBase + GUARD; }
    [[nodiscard]] size_t usableSize() const noexcept { return mSize - GUARD; }

private:
    // Larger than any one frame of the engine, so that an overflow cannot step over it.
    static constexpr size_t GUARD = size_t(1) << 16;
    char* mBase = nullptr;
    size_t mSize = 0;
};

} // namespace

size_t stackRoomOfThisThread() noexcept {
    const char* limit = stackLimitOfThisThread();
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    return limit && here > limit ? size_t(here - limit) : 0;
}

void runWithStack(size_t stackBytes, const Function<void()>& work) {
    const ReservedStack stack(stackBytes);
    Job job{&work, nullptr};
    pthread_attr_t attr;
    int result = pthread_attr_init(&attr);
    pthread_t thread;
    if (result == 0) {
        result = pthread_attr_setstack(&attr, stack.usable(), stack.usableSize());
        if (result == 0) result = pthread_create(&thread, &attr, &runJob, &job);
        pthread_attr_destroy(&attr);
    }
    if (result != 0) failStack("Cannot start a thread", result, stackBytes);
    pthread_join(thread, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

} // namespace Kalvex::Detail
