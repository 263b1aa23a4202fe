// kvzimage: makes and checks image bundles on the release host (and on the board, for tests).
//
// Every entry takes the arguments that follow the program name (or the command name) the way main
// receives them, writes its report on `out` and its error lines ("kvzimage: ...") on `err`, and
// returns the exit status: 0 success, 1 a bad or unreadable file, 2 a usage error.
#pragma once

#include <cstdio>

// The whole command line: argv[0] is the program name, argv[1] the command.
int kvzimage_run(int argc, const char* const* argv, FILE* out, FILE* err);

// The commands, given the arguments after the command name.
int kvzimage_create(int argc, const char* const* argv, FILE* out, FILE* err);
int kvzimage_list(int argc, const char* const* argv, FILE* out, FILE* err);
int kvzimage_verify(int argc, const char* const* argv, FILE* out, FILE* err);
int kvzimage_extract(int argc, const char* const* argv, FILE* out, FILE* err);
