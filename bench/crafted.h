// Files made to cost the parser as much as it allows: each must stay within
// the time one file may take, however it is built.
#pragma once

#include <string>

// The most CPU time the worker may spend on one file, in microseconds.
constexpr double crafted_bound_us = 50000;

// Writes the crafted files into `dir`, has the worker at `binary` parse each
// a few times, and returns a report line per file with the worker's CPU time
// per parse and whether that passes crafted_bound_us; `over` tells whether any did. False
// with `error` set when a file can't be written or the worker fails.
bool measure_crafted(const std::string &binary, const std::string &dir, std::string *report, bool *over,
                     std::string *error);
