#include "tolvan/platform/dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include <unistd.h>

namespace Kalvex {

namespace {

int getChoiceCount(const Utils::DialogRequest& request) {
    return std::max(request.choices.size(), 1);
}

void printRequest(FILE* out, const Utils::DialogRequest& request) {
    std::fprintf(out, "\n[%s]\n%s\n", request.caption.toUtf8().cStr(), request.message.toUtf8().cStr());
}

// Asks on the terminal until the answer names a choice; end of input dismisses.
int askOnTerminal(const Utils::DialogRequest& request) {
    printRequest(stderr, request);
    const int count = getChoiceCount(request);
    for (;;) {
        if (count == 1) {
            const String label = request.choices.isEmpty() ? String(u"OK") : request.choices[0];
            std::fprintf(stderr, "Press Enter for %s: ", label.toUtf8().cStr());
        } else {
            for (int i = 0; i < count; ++i) {
                std::fprintf(stderr, "  %d) %s\n", i + 1, request.choices[i].toUtf8().cStr());
            }
            std::fprintf(stderr, "Choose 1-%d: ", count);
        }
        std::fflush(stderr);
        char line[64];
        if (!std::fgets(line, sizeof line, stdin)) return request.dismissChoice;
        if (count == 1) return 0;
        const long answer = std::strtol(line, nullptr, 10);
        if (answer >= 1 && answer <= count) return int(answer - 1);
    }
}

int presentByDefault(const Utils::DialogRequest& request) {
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) return askOnTerminal(request);
    printRequest(stderr, request);
    std::fflush(stderr);
    return request.dismissChoice;
}

struct PresenterState {
    std::mutex lock;
    Utils::DialogPresenter presenter;
};

PresenterState& getPresenterState() {
    static PresenterState* const state = tolvanNew<PresenterState>();
    return *state;
}

} // namespace

Utils::DialogPresenter Utils::setDialogPresenter(DialogPresenter presenter) {
    PresenterState& s = getPresenterState();
    std::lock_guard lock(s.lock);
    std::swap(s.presenter, presenter);
    return presenter;
}

int Utils::presentDialog(const DialogRequest& request) {
    DialogPresenter presenter;
    {
        PresenterState& s = getPresenterState();
        std::lock_guard lock(s.lock);
        presenter = s.presenter;
    }
    // Not under the lock: a dialog may take long, and its presenter may show another one.
    const int choice = presenter ? presenter(request) : presentByDefault(request);
    return choice >= 0 && choice < getChoiceCount(request) ? choice : request.dismissChoice;
}

void showCriticalErrorMessage(const String& caption, const String& message) {
    Utils::DialogRequest request;
    request.caption = caption;
    request.message = message;
    request.choices.push(u"OK");
    request.icon = Utils::DialogIcon::CRITICAL;
    (void)Utils::presentDialog(request);
}

} // namespace Kalvex
