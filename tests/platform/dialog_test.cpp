#include "tolvan/platform/dialog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

using namespace Kalvex;
using Utils::DialogRequest;

namespace {
// Answers every dialog with `answer` and keeps the requests; restores the previous presenter.
class ScriptedPresenter {
public:
    explicit ScriptedPresenter(int answer)
        : mPrevious(Utils::setDialogPresenter([this, answer](const DialogRequest& r) {
            requests.push_back(r);
            return answer;
        })) {}
    ~ScriptedPresenter() { Utils::setDialogPresenter(mPrevious); }
    std::vector<DialogRequest> requests;

private:
    Utils::DialogPresenter mPrevious;
};

DialogRequest makeRequest(int choices, int dismissChoice) {
    DialogRequest r;
    r.caption = u"Caption";
    r.message = u"Message";
    for (int i = 0; i < choices; ++i)
        r.choices.push(String::fromAscii(std::to_string(i)));
    r.dismissChoice = dismissChoice;
    return r;
}
} // namespace

TEST(Dialog, CriticalErrorGoesThroughThePresenter) {
    ScriptedPresenter presenter(0);
    showCriticalErrorMessage(u"Kalvex", u"Out of disk space");
    ASSERT_EQ(presenter.requests.size(), 1u);
    const DialogRequest& r = presenter.requests[0];
    EXPECT_EQ(r.caption, String(u"Kalvex"));
    EXPECT_EQ(r.message, String(u"Out of disk space"));
    ASSERT_EQ(r.choices.size(), 1);
    EXPECT_EQ(r.choices[0], String(u"OK"));
    EXPECT_EQ(r.icon, Utils::DialogIcon::CRITICAL);
}

TEST(Dialog, AnswersOutsideTheChoicesBecomeTheDismissChoice) {
    struct Case {
        int choices;
        int answer;
        int expected;
    };
    const Case cases[] = {{3, 2, 2}, {3, 3, 1}, {3, -1, 1}, {0, 0, 0}, {0, 1, 1}};
    for (const Case& c : cases) {
        ScriptedPresenter presenter(c.answer);
        EXPECT_EQ(Utils::presentDialog(makeRequest(c.choices, 1)), c.expected)
            << c.choices << " " << c.answer;
    }
}

TEST(Dialog, PresentersNestAndRestore) {
    ScriptedPresenter outer(1);
    {
        ScriptedPresenter inner(2);
        EXPECT_EQ(Utils::presentDialog(makeRequest(3, 0)), 2);
    }
    EXPECT_EQ(Utils::presentDialog(makeRequest(3, 0)), 1);
    EXPECT_EQ(outer.requests.size(), 1u);
}

TEST(Dialog, DefaultWithoutTerminalTakesTheDismissChoice) {
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) GTEST_SKIP() << "would ask on the terminal";
    const Utils::DialogPresenter previous = Utils::setDialogPresenter(Utils::DialogPresenter());
    EXPECT_EQ(Utils::presentDialog(makeRequest(3, 2)), 2);
    Utils::setDialogPresenter(previous);
}
