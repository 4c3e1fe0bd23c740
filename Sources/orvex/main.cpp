#include "orvex/CommandLine.hpp"

int main(int argc, char** argv) {
    return Orvex::runCommandLine(argc, argv);
}
