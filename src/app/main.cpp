// The executable `Mergalo`: everything happens in app::run_program.
#include "app/entry.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) {
    // On Windows the program has no console window of its own; --selfcheck started from
    // a console still prints its report there.
    platform::attach_parent_console();
    return app::run_program(platform::command_line_arguments(argc, argv));
}
