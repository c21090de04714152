// Modal dialogs (the assert dialog, critical error messages) all go through one process-wide presenter.
// The default presenter asks on the terminal when there is one; without a terminal it prints the
// dialog to standard error and takes the dismissing answer. Programs and tests install their own.
//
//   Utils::DialogRequest request{u"Kalvex", u"Disk full", {u"Retry", u"Cancel"}, 1,
//   Utils::DialogIcon::CRITICAL}; int choice = Utils::presentDialog(request);
#pragma once

#include "tolvan/containers/function.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

namespace Utils {

/// The icon a dialog shows beside its message.
enum class DialogIcon { NONE, INFORMATION, WARNING, CRITICAL };

/// What a dialog shows: caption, message, buttons and icon.
struct DialogRequest {
    /// The title.
    String caption;
    /// The text.
    String message;
    /// The buttons, in order; none means a single "OK".
    Stack<String> choices;
    /// The index answered when the dialog is dismissed without a choice (no terminal, end of input).
    int dismissChoice = 0;
    /// The icon shown beside the message.
    DialogIcon icon = DialogIcon::NONE;
};

/// Shows a request and returns the index of the chosen button. Called on the thread that shows the
/// dialog; it returns when the user has answered.
using DialogPresenter = Function<int(const DialogRequest& request)>;

/// Installs `presenter` for the whole process and returns the previous one; an empty presenter
/// restores the default.
DialogPresenter setDialogPresenter(DialogPresenter presenter);

/// Shows `request` through the current presenter; returns the chosen index, clamped to the choices
/// (dismissChoice when the presenter answers out of range).
int presentDialog(const DialogRequest& request);

} // namespace Utils

/// Shows an error dialog with the caption, the message and one "OK" button; returns when it is closed.
void showCriticalErrorMessage(const String& caption, const String& message);

} // namespace Kalvex
