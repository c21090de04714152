// A one-line progress bar on standard error: bytes done, rate and time left. It is drawn only when
// standard error is a terminal and only once the work has lasted longer than a second.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/string.h"
#include "tolvan/utility/timer.h"

#include <string>

namespace Kalvex::Tools {

class ProgressBar {
public:
    /// A bar for `total` bytes labelled `label`; `enabled` false (or standard error not a terminal)
    /// draws nothing.
    ProgressBar(const String& label, int64 total, bool enabled = true);
    /// Clears the line when anything was drawn.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Records `done` bytes; redraws at most ten times a second once a second has passed.
    void update(int64 done);

    /// The text of the bar for `done` of `total` bytes after `elapsedMs`, without the line start.
    [[nodiscard]] static std::string format(const std::string& label, int64 done, int64 total,
                                            int64 elapsedMs);

private:
    std::string mLabel;
    int64 mTotal;
    bool mEnabled;
    bool mDrawn = false;
    int64 mLastDrawMs = 0;
    Timer mTimer;
};

} // namespace Kalvex::Tools
