// The executable `Mergalo`: everything happens in app::run_program.
#include "app/entry.hpp"
#include "platform/platform.hpp"

int main(int argc, char** argv) { return app::run_program(platform::command_line_arguments(argc, argv)); }
