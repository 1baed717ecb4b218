// kw-whatif: which rule of a setting (or of the loaded rules) decides a packet.
#include "WhatIf.h"

#include <iostream>

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    return kw::whatif::runWhatIf(args, std::cin, std::cout, std::cerr, true);
}
