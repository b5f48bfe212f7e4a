// One run of the tool: opens the logs and the result log, takes every line
// of the logs through the line rules, the signature check and the ledger,
// records and renders it, and returns the run's status.
#pragma once

#include "run_options.hpp"
#include "run_status.hpp"

class console_writer;
class diagnostics;

// Verifies the logs as asked, reporting on console; in the quiet
// and JSON forms, what stopped the run is said on errors too, when given.
run_status run_verification(const run_options& asked, console_writer& console,
                            diagnostics* errors = nullptr);
