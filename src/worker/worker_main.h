#pragma once

// The parser worker role: reads request lines on standard input, answers each
// on standard output, until end of input (status 11) or SIGTERM (status 100).
int main_child(int argc, char **argv);

// The path that makes the worker spin without answering until it is killed:
// the hook with which the broker's time-out and toxic handling are exercised.
extern const char *const toxic_test_path;
