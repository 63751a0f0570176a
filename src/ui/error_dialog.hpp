// The error dialog: the error log entry, then a small window that names the failure,
// tells where the log is and asks the user to send it to support.
#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "product/context.hpp"

namespace ui {

// The dialog's message: `text`, an empty line, `error_log_saved` and the log path on
// the next line, an empty line, `error_send_log` with the support link; in `lang`.
std::string error_dialog_message(std::string_view text, const std::string& log_path, std::string_view lang);

// The line that replaces the log's path when the log entry could not be written: the
// text `error_log_not_written` with the file (`log_file` unless `failure` names it) and
// the reason in plain words (the system's words too when the reason is unclear); in
// `lang`. Throws only std::bad_alloc.
std::string log_failure_line(const std::exception& failure, const std::filesystem::path& log_file,
                             std::string_view lang);

// The dialog's message when the log could not be written: `text`, an empty line,
// `log_failure`, an empty line, `error_write_support` with the support link.
std::string error_dialog_message_without_log(std::string_view text, std::string_view log_failure,
                                             std::string_view lang);

// Writes the log entry (ctx.log.write(title, exc, extra)), then shows the dialog on a
// hidden Tk main window of its own and returns when the user closed it (OK or the
// title-bar close; the log-folder button keeps it open). 560 x 260 pixels, centred; a
// message too long for that height makes the window taller. Texts in the current language.
// When the log cannot be written the dialog shows all the same, saying so and why in
// place of the log's path (the log-folder button is then disabled).
// Without a display, prints the title and the message to standard error instead
// (after the attempt to write the log). Throws nothing but what the toolkit throws.
void show_error_dialog(const product::Context& ctx, std::string_view title, std::string_view text,
                       const std::exception* exc = nullptr, std::string_view extra = {});

}  // namespace ui
