// The progress bar's drawing and its text.
#include "progress.h"

#include "command.h"

#include <cstdio>

namespace Kalvex::Tools {

namespace {

constexpr int64 SHOW_AFTER_MS = 1000;
constexpr int64 REDRAW_MS = 100;
constexpr int BAR_WIDTH = 24;

std::string mebibytes(int64 bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
    return text;
}

} // namespace

ProgressBar::ProgressBar(const String& label, int64 total, bool enabled)
    : mLabel(label.toUtf8().cStr())
    , mTotal(total)
    , mEnabled(enabled && isStandardErrorTerminal()) {}

ProgressBar::~ProgressBar() {
    if (mDrawn) std::fputs("\r\033[K", stderr);
}

void ProgressBar::update(int64 done) {
    if (!mEnabled) return;
    const int64 elapsed = mTimer.getElapsed();
    if (elapsed < SHOW_AFTER_MS || elapsed - mLastDrawMs < REDRAW_MS) return;
    mLastDrawMs = elapsed;
    mDrawn = true;
    std::fprintf(stderr, "\r%s\033[K", format(mLabel, done, mTotal, elapsed).c_str());
    std::fflush(stderr);
}

std::string ProgressBar::format(const std::string& label, int64 done, int64 total, int64 elapsedMs) {
    const double fraction = total > 0 ? double(std::min(done, total)) / double(total) : 1.0;
    const int filled = int(fraction * BAR_WIDTH);
    const double rate = elapsedMs > 0 ? double(done) * 1000.0 / double(elapsedMs) : 0.0;
    std::string text = label + " [" + std::string(size_t(filled), '#') +
                       std::string(size_t(BAR_WIDTH - filled), '.') + "] " + mebibytes(done) + " / " +
                       mebibytes(total) + "  " + mebibytes(int64(rate)) + "/s";
    if (rate > 0 && done < total) {
        const int64 left = int64(double(total - done) / rate + 0.5);
        char eta[32];
        std::snprintf(eta, sizeof eta, "  %lld:%02lld left", (long long)(left / 60), (long long)(left % 60));
        text += eta;
    }
    return text;
}

} // namespace Kalvex::Tools
