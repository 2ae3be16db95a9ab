// nbzhq whose first allocation of 128 KiB or more (the search's state)
// fails, and every later one, for out_of_memory_test.cpp.

#include "failing_allocations.h"
#include "nbz/cli/command.h"
#include "nbzhq_command.h"

int main(int argc, char** argv) {
    nbz::testing::allocations::fail(0, std::size_t{128} << 10, true);
    return nbz::cli::main_with(argc, argv, nbz::cli::run_nbzhq);
}
