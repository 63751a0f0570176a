#include "app/selfcheck.hpp"

#include <iostream>

#include "pdf/geometry.hpp"
#include "pdf/mupdf.hpp"
#include "ui/tk.hpp"

namespace app::selfcheck {

namespace fs = std::filesystem;

int run(const std::vector<Check>& checks) {
    std::vector<std::string> troubles;
    for (const Check& check : checks)
        if (auto trouble = check(); trouble && !trouble->empty()) troubles.push_back(std::move(*trouble));
    if (troubles.empty()) {
        std::cout << "Самопроверка: всё на месте.\n";
        return 0;
    }
    std::cout << "Самопроверка нашла беду:\n";
    for (const auto& trouble : troubles) std::cout << "  — " << trouble << '\n';
    return 1;
}

int run(const product::Context& ctx) { return run(checks(ctx)); }

std::optional<std::string> check_pdf() {
    try {
        pdf::mupdf_context();
    } catch (const std::exception& e) {
        return std::string("библиотека PDF не загрузилась: ") + e.what();
    }
    try {
        pdf::Document doc = pdf::create_pdf();
        pdf::Object page(pdf::mupdf_call([&](fz_context* ctx) noexcept {
            return pdf_add_page(ctx, doc.get(), fz_make_rect(0, 0, pdf::A4_W, pdf::A4_H), 0, nullptr, nullptr);
        }));
        pdf::mupdf_call([&](fz_context* ctx) noexcept { pdf_insert_page(ctx, doc.get(), -1, page.get()); });
    } catch (const std::exception& e) {
        return std::string("библиотека PDF не делает документ: ") + e.what();
    }
    return std::nullopt;
}

std::optional<std::string> check_window() {
    std::optional<ui::tk::Interp> root;
    try {
        root.emplace();  // a Tk main window, withdrawn at once
    } catch (const std::exception& e) {
        return std::string("окно не создалось: ") + e.what();
    }
    try {
        root->update_idletasks();
    } catch (const std::exception& e) {
        return std::string("окно не отвечает: ") + e.what();
    }
    try {
        // What a message box loads on first use: Tk's texts through msgcat, and on X11
        // Tk's own box, found through its script index (Windows has the system's).
        root->call({"package", "require", "msgcat"});
        if (root->call({"info", "commands", "tk_messageBox"}).empty() &&
            root->call({"auto_load", "tk_messageBox"}) != "1")
            return std::string("окна сообщений не загрузились: нет tk_messageBox");
    } catch (const std::exception& e) {
        return std::string("окна сообщений не загрузились: ") + e.what();
    }
    return std::nullopt;  // the window goes with `root`
}

std::optional<std::string> check_files(const fs::path& folder, std::string_view icon_name) {
    std::string missing;
    auto note = [&](const fs::path& entry, std::string_view name) {
        if (fs::exists(entry)) return;  // throws for anything but a missing entry
        if (!missing.empty()) missing += ", ";
        missing += name;
    };
    for (std::string_view name : HELP_FILES) note(folder / "help" / name, name);
    note(folder / "assets" / icon_name, icon_name);
    if (missing.empty()) return std::nullopt;
    return "не хватает файлов: " + missing;
}

std::vector<Check> checks(const product::Context& ctx) {
    return {check_pdf, check_window, [&ctx] { return check_files(ctx.bundle_dir, ctx.icon_name); }};
}

}  // namespace app::selfcheck
