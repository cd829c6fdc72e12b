// Writes the scripted model sets into directories, for the demo and for trying the tool by
// hand:  tervane_make_fixture_models DIR                      (recognition models only)
//        tervane_make_fixture_models --asr DIR --diarizer DIR  (either or both)
#include "Support/AsrFixtures.hpp"
#include "Support/DiarizerFixtures.hpp"

#include <exception>
#include <iostream>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    std::optional<std::string> asr;
    std::optional<std::string> diarizer;
    bool valid = argc >= 2;
    if (argc == 2 && std::string(argv[1]).rfind("--", 0) != 0) {
        asr = argv[1];
    } else {
        for (int i = 1; i < argc && valid; i += 2) {
            const std::string flag = argv[i];
            if (i + 1 >= argc) {
                valid = false;
            } else if (flag == "--asr") {
                asr = argv[i + 1];
            } else if (flag == "--diarizer") {
                diarizer = argv[i + 1];
            } else {
                valid = false;
            }
        }
    }
    if (!valid || (!asr && !diarizer)) {
        std::cerr << "usage: tervane_make_fixture_models DIR\n"
                     "       tervane_make_fixture_models [--asr DIR] [--diarizer DIR]\n";
        return 2;
    }
    try {
        if (asr) {
            Tervane::Testing::writeAsrFixtureModels(*asr);
        }
        if (diarizer) {
            Tervane::Testing::writeDiarizerFixtureModels(*diarizer);
        }
    } catch (const std::exception& failure) {
        std::cerr << "tervane_make_fixture_models: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
