// Collects what the library writes to its debug output while the object exists (from any thread).
#pragma once

#include "tolvan/platform/debug.h"

#include <mutex>
#include <string>
#include <vector>

namespace TolvanTest {

class CapturedDebugOutput {
public:
    CapturedDebugOutput()
        : mPrevious(Kalvex::Detail::setDebugOutputSink([this](const Kalvex::String& text) {
            std::lock_guard guard(mMutex);
            mTexts.emplace_back(text.toUtf8().cStr());
        })) {}
    ~CapturedDebugOutput() { Kalvex::Detail::setDebugOutputSink(mPrevious); }
    CapturedDebugOutput(const CapturedDebugOutput&) = delete;
    CapturedDebugOutput& operator=(const CapturedDebugOutput&) = delete;

    /// The messages so far, each with its final line feed.
    [[nodiscard]] std::vector<std::string> texts() const {
        std::lock_guard guard(mMutex);
        return mTexts;
    }

private:
    mutable std::mutex mMutex;
    std::vector<std::string> mTexts;
    Kalvex::DebugOutputSink mPrevious;
};

} // namespace TolvanTest
