// sincrovia-console: prints decoder command frames and decodes captured byte streams.
#include <iostream>
#include <string>
#include <vector>

#include "decoder_link/DecoderConsole.h"
#include "util/PlatformDesktop.h"

int main(int argc, char** argv) {
    // Message boxes, beeps and sounds of the link through the system where it has them.
    sincrovia::SetDesktop(&sincrovia::PlatformDesktop());
    const std::vector<std::string> args(argv + 1, argv + argc);
    return sincrovia::RunDecoderConsole(args, {std::cin, std::cout, std::cerr});
}
