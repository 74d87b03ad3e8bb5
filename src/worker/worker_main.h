#pragma once

// The parser worker role: reads request lines on standard input, answers each
// on standard output, until end of input (status 11) or SIGTERM (status 100).
int main_child(int argc, char **argv);

