// Writes the scripted recognition model set into a directory, for the demo and for trying
// the tool by hand:  tervane_make_fixture_models DIR
#include "Support/AsrFixtures.hpp"

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tervane_make_fixture_models DIR\n";
        return 2;
    }
    try {
        Tervane::Testing::writeAsrFixtureModels(argv[1]);
    } catch (const std::exception& failure) {
        std::cerr << "tervane_make_fixture_models: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
