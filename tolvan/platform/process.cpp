// The portable part of processes and inter-process events: the command line, the failure texts and
// the handle owner.
#include "tolvan/platform/process.h"

#include "tolvan/common/exception.h"

#include <utility>

namespace Kalvex {

namespace {

constexpr int MAX_EVENT_NAME_LENGTH = 30;

} // namespace

String Detail::buildCommandLineArguments(ArrayView<const String> arguments) {
    String text;
    for (const String& argument : arguments) {
        text += argument.contains(String(u" ")) ? argument.quoted() : argument;
        text += String(u" ");
    }
    return text;
}

String Detail::getProcessStartFailure(const Io::Path& executable) {
    return String(u"Can't start ") + executable.nativeStr() + String(u" as process.");
}

void Detail::checkInterprocessEventName(const String& name) {
    if (name.isEmpty() || name.length() > MAX_EVENT_NAME_LENGTH) {
        throw Exception(String(u"Could not create InterprocessEvent (name is too short or long)."));
    }
}

Optional<String> Detail::getInterprocessEventModeFailure(const String& name, InterprocessEvent::Mode mode,
                                                         bool existed) {
    if (mode == InterprocessEvent::Mode::CREATE && existed) {
        return String(u"InterprocessEvent ") + name.quoted() + String(u" already exists.");
    }
    if (mode == InterprocessEvent::Mode::OPEN && !existed) {
        return String(u"InterprocessEvent ") + name.quoted() + String(u" does not exist.");
    }
    return NONE;
}

ScopedProcessHandle::ScopedProcessHandle(ScopedProcessHandle&& other) noexcept
    : mHandle(std::exchange(other.mHandle, nullptr)) {}

ScopedProcessHandle& ScopedProcessHandle::operator=(ScopedProcessHandle&& other) noexcept {
    if (this != &other) {
        Detail::closeProcessHandle(mHandle);
        mHandle = std::exchange(other.mHandle, nullptr);
    }
    return *this;
}

ScopedProcessHandle::~ScopedProcessHandle() {
    Detail::closeProcessHandle(mHandle);
}

InterprocessEvent::InterprocessEvent(InterprocessEvent&& other) noexcept
    : mHandle(std::exchange(other.mHandle, nullptr))
    , mName(std::move(other.mName)) {}

InterprocessEvent& InterprocessEvent::operator=(InterprocessEvent&& other) noexcept {
    if (this != &other) {
        close();
        mHandle = std::exchange(other.mHandle, nullptr);
        mName = std::move(other.mName);
    }
    return *this;
}

InterprocessEvent::~InterprocessEvent() {
    close();
}

} // namespace Kalvex
