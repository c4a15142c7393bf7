// The program: reads the command line and runs the one command it asks for.
#pragma once

namespace vurn {

// Returns the exit status of the process.
int run_vurn(int argc, char* argv[]);

}  // namespace vurn
