// `kvzsim vpd` and `kvzsim env`: set the board's VPD bytes and boot-loader environment, and
// print what the board then holds. Exit statuses as kvzsim's own.
#pragma once

#include <string>
#include <vector>

int vpd_command(const std::string& board, const std::vector<std::string>& args);
int env_command(const std::string& board, const std::vector<std::string>& args);
