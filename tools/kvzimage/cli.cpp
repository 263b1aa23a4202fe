// kvzimage's command line: the command table, the help texts and the dispatch.

#include <cerrno>
#include <cstring>

#include "common.h"
#include "kvzimage.h"

using namespace kvzimage;

namespace {

constexpr const char* kMainHelp =
    "usage: kvzimage COMMAND ARGS...\n"
    "\n"
    "Makes and checks image bundles: image records (header, payload, CRC-32) back to back.\n"
    "\n"
    "commands:\n"
    "  create OUT SPEC...   write a bundle with one record per SPEC\n"
    "  list FILE            show the records of a bundle\n"
    "  verify FILE          check every record of a bundle\n"
    "  extract FILE N OUT   write the payload of record N to OUT\n"
    "\n"
    "'kvzimage COMMAND --help' describes a command; 'kvzimage --version' shows the version.\n"
    "Exit status: 0 success, 1 bad or unreadable file, 2 usage error.\n";

constexpr const char* kCreateHelp =
    "usage: kvzimage create OUT SPEC...\n"
    "\n"
    "Writes the bundle OUT with one record per SPEC, in the order given.\n"
    "OUT appears only when complete; a failed create leaves no file behind.\n"
    "\n"
    "SPEC is TYPE[,OPTION...]:VERSION:FILE\n"
    "  TYPE     app, uboot, kernel, rfs, dtb or diags; a record must fit its flash\n"
    "           partition: kernel 3 MiB, dtb 256 KiB, diags 10 MiB, rfs 15 MiB (whole\n"
    "           records), uboot 512 KiB (payload)\n"
    "  VERSION  a.b.c.d, each 0 to 255\n"
    "  FILE     the payload (everything after the second colon)\n"
    "options:\n"
    "  hdrlen=N  extended header of N bytes (20 to 65535) instead of the 16-byte one\n"
    "  noembed   uboot only: leave the payload as it is. By default a uboot payload\n"
    "            (at least 256 bytes) gets a copy of its record header in bytes 240-255.\n";

constexpr const char* kListHelp =
    "usage: kvzimage list FILE\n"
    "\n"
    "Shows one row per record: number, offset, type, version, payload length,\n"
    "header kind and size, and whether the checksum is good. A record whose sizes\n"
    "do not fit the file shows why instead, and ends the list.\n";

constexpr const char* kVerifyHelp =
    "usage: kvzimage verify FILE\n"
    "\n"
    "Checks every record of a known type. Exit status 0 when the bundle holds at\n"
    "least one such record, all are good, and no bytes trail the last record;\n"
    "otherwise prints one line per problem and exits with status 1.\n";

constexpr const char* kExtractHelp =
    "usage: kvzimage extract FILE N OUT\n"
    "\n"
    "Writes the payload of record N (1 for the first, as 'kvzimage list' numbers\n"
    "them) to OUT. A record that is malformed or fails its checksum is refused.\n";

using CommandFn = int (*)(int, const char* const*, FILE*, FILE*);

struct Command {
  const char* name;
  const char* help;
  CommandFn run;
};

constexpr Command kCommands[] = {
    {"create", kCreateHelp, kvzimage_create},
    {"list", kListHelp, kvzimage_list},
    {"verify", kVerifyHelp, kvzimage_verify},
    {"extract", kExtractHelp, kvzimage_extract},
};

bool is_help(const char* arg) {
  return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
}

const Command* find_command(const char* name) {
  for (const Command& c : kCommands) {
    if (strcmp(c.name, name) == 0) return &c;
  }
  return nullptr;
}

// The commands take no options besides --help; a dash argument is a mistyped option, not a file.
bool reject_options(int argc, const char* const* argv, FILE* err) {
  for (int i = 0; i < argc; ++i) {
    if (argv[i][0] == '-' && argv[i][1] != '\0') {
      tool_error(err, "unknown option '%s' (see 'kvzimage --help')", argv[i]);
      return false;
    }
  }
  return true;
}

int dispatch(int argc, const char* const* argv, FILE* out, FILE* err) {
  if (argc < 2) {
    tool_error(err, "no command given (see 'kvzimage --help')");
    return kExitUsage;
  }
  if (is_help(argv[1])) {
    fputs(kMainHelp, out);
    return kExitOk;
  }
  if (strcmp(argv[1], "--version") == 0) {
    fprintf(out, "kvzimage %s\n", KVZ_VERSION);
    return kExitOk;
  }
  const Command* cmd = find_command(argv[1]);
  if (cmd == nullptr) {
    tool_error(err, "unknown command '%s' (see 'kvzimage --help')", argv[1]);
    return kExitUsage;
  }
  if (argc >= 3 && is_help(argv[2])) {
    fputs(cmd->help, out);
    return kExitOk;
  }
  if (!reject_options(argc - 2, argv + 2, err)) return kExitUsage;
  return cmd->run(argc - 2, argv + 2, out, err);
}

}  // namespace

int kvzimage_run(int argc, const char* const* argv, FILE* out, FILE* err) {
  const int status = dispatch(argc, argv, out, err);
  // A report that could not be written (a full disk, a closed pipe) is no success.
  if (fflush(out) != 0 || ferror(out)) {
    tool_error(err, "cannot write the output: %s", strerror(errno));
    return status == kExitOk ? kExitBad : status;
  }
  return status;
}
