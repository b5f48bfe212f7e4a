// The command line: its plain form (a log and "-evl") or its options form.
#pragma once

#include <string>

#include "run_options.hpp"
#include "run_status.hpp"

class console_writer;

struct command_line {
    enum class action {
        run,
        help,
        version,
        usage_error,   // the plain form gone wrong: usage text and usage_status
        option_error,  // the options form gone wrong: error on standard error
    };
    action what = action::run;
    run_status usage_status = run_status::ok;
    std::string error;
    run_options options;
};

// Reads argv (the program name first). A command line in which no argument
// begins with "--" is the plain form: a log and an optional "-evl". Any
// other is the options form, in which every argument that begins with "--"
// is an option wherever it stands, until "--" alone ends them.
command_line parse_command_line(int argc, char** argv);

// Parses the command line and does what it says: prints help, version or
// usage on console, or runs the verification.
run_status run_command_line(int argc, char** argv, console_writer& console);
