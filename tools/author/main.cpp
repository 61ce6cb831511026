// qxauthor: the authoring command (see tools/author/command.h).
#include <iostream>

#include "tools/author/command.h"

int main(int argc, char** argv) {
  qx::author::Args args(argv + 1, argv + argc);
  return qx::author::RunAuthor(args, std::cout, std::cerr);
}
