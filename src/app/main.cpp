#include "app/Program.h"

int main(int argc, char** argv) {
    return kestrelamp::runProgram(argc, argv);
}
