// sincrovia-console: prints decoder command frames and decodes captured byte streams.
#include <iostream>
#include <string>
#include <vector>

#include "decoder_link/DecoderConsole.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return sincrovia::RunDecoderConsole(args, {std::cin, std::cout, std::cerr});
}
