// Runs a test body as an unprivileged user, so that checks of refused permissions also run where the
// tests run as root (as in CI): root forks a child that drops to the user "nobody" and runs the body
// there; anyone else runs it directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TolvanTest {

/// The id of the user and group "nobody".
inline constexpr unsigned NOBODY_ID = 65534;

/// Runs `body` without root's rights; a failure inside the child fails the calling test. Files the
/// body uses must be reachable for "nobody" (for example a directory with mode 0755).
inline void runUnprivileged(const std::function<void()>& body) {
    if (::geteuid() != 0) {
        body();
        return;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << "fork failed";
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY_ID) != 0 || ::setuid(NOBODY_ID) != 0) ::_exit(2);
        // Only the failures of the body count: the test may have failed before the fork.
        const ::testing::TestResult& result =
            *::testing::UnitTest::GetInstance()->current_test_info()->result();
        const int before = result.total_part_count();
        body();
        bool failed = false;
        for (int i = before; i < result.total_part_count(); ++i)
            failed = failed || result.GetTestPartResult(i).failed();
        std::fflush(nullptr);
        ::_exit(failed ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the unprivileged child ended abnormally (wait status " << status
                                   << ")";
    EXPECT_NE(WEXITSTATUS(status), 2) << "the child could not drop root's rights";
    EXPECT_NE(WEXITSTATUS(status), 1) << "a check failed in the unprivileged child (its output is above)";
}

} // namespace TolvanTest
