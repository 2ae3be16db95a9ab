#include "nbz/cli/command.h"
#include "nbzdec_command.h"

int main(int argc, char** argv) { return nbz::cli::main_with(argc, argv, nbz::cli::run_nbzdec); }
