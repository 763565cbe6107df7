#pragma once

namespace kestrelamp {

// The whole program: parses the command line and runs the mode it asks for. Returns the exit
// status: 0 on success, 2 for bad arguments or an audio service that cannot be opened.
int runProgram(int argc, char** argv);

} // namespace kestrelamp
