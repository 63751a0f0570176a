// The error dialog: the error log entry, then a small window that names the failure,
// tells where the log is and asks the user to send it to support.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "product/context.hpp"

namespace ui {

// The dialog's message: `text`, an empty line, `error_log_saved` and the log path on
// the next line, an empty line, `error_send_log` with the support link; in `lang`.
std::string error_dialog_message(std::string_view text, const std::string& log_path, std::string_view lang);

// Writes the log entry (ctx.log.write(title, exc, extra)), then shows the dialog on a
// hidden Tk main window of its own and returns when the user closed it (OK or the
// title-bar close; the log-folder button keeps it open). 560 x 260 pixels, centred; a
// message too long for that height makes the window taller. Texts in the current language.
// Without a display, prints the title and the message to standard error instead.
// Throws what the log's write throws (no dialog is shown then).
void show_error_dialog(const app::Context& ctx, std::string_view title, std::string_view text, const std::exception* exc = nullptr,
                       std::string_view extra = {});

}  // namespace ui
