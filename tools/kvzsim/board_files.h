// The board directory: its files, the demo content made by `kvzsim init`, and the platform
// program stubs that stand in for the switch's own tools inside the sandbox.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Flash partitions, by the name of their file under flash/ and of their /dev/mtd-NAME device.
inline constexpr const char* kPartitions[] = {"uboot", "ubootenv", "devicetree", "kernel",
                                              "rfs",   "rescue",   "user"};

std::vector<uint8_t> read_whole(const std::string& path);
void write_whole(const std::string& path, const std::vector<uint8_t>& data, mode_t mode = 0644);
std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text, mode_t mode = 0644);
void make_dirs(const std::string& path);
// Removes everything inside a directory, keeping the directory.
void empty_dir(const std::string& path);
void remove_tree(const std::string& path);

// Programs of the switch's platform that the sandbox replaces with stubs.
bool is_stubbed_program(const std::string& name);
// Writes the stubs, except those that the board's config leaves out with no_NAME=1.
void write_stubs(const std::string& usr_bin, const std::string& usr_sbin,
                 const std::string& config);

struct InitOptions {
  std::string board;
  bool blank = false;
  unsigned long erase_size = 65536;
  std::string kvzimage;  // the bundle tool, used to make the demo images
};

// Makes a board directory; false with a message in *err on failure.
bool make_board(const InitOptions& o, std::string* err);
