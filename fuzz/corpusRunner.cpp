// Runs a fuzz target without the fuzzing engine: every file of the corpus
// directories given as arguments, then a fixed number of inputs from a seeded
// generator, so that the regression corpus and a quick random sweep run as a
// plain test with any compiler.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size);

static int run_corpus(const std::string& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return 0;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream file(directory + "/" + entry->d_name, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                         std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++count;
    }
    closedir(dir);
    return count;
}

int main(int argc, char** argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) files += run_corpus(argv[i]);
    std::mt19937 generator(20261208);
    const int sweeps = 2000;
    for (int i = 0; i < sweeps; ++i) {
        std::vector<uint8_t> input(generator() % 2048);
        for (auto& byte : input) byte = static_cast<uint8_t>(generator());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%d passed, 0 failed: %d corpus files and %d generated inputs\n", files + sweeps,
                files, sweeps);
    return 0;
}
