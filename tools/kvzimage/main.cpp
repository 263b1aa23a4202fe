#include <cstdio>

#include "kvzimage.h"

int main(int argc, char** argv) {
  return kvzimage_run(argc, argv, stdout, stderr);
}
