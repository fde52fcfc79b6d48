// Runs every file of the folders named on the command line through the
// target's run_one, in name order, as libFuzzer would run its corpus. Names
// each file before running it, so that a fault's output says which input it
// was. Fails when the folders hold no input at all (a wrong path would
// otherwise pass for a clean run).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "run_one.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::vector<fs::path> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(argv[i], error)) {
            // Dot files keep empty folders in git; they are not inputs.
            if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                files.push_back(entry.path());
        }
        if (error) {
            std::cerr << argv[i] << ": cannot be listed: " << error.message() << "\n";
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (in.bad()) {
                std::cerr << file.string() << ": cannot be read\n";
                return 1;
            }
            std::cerr << "input " << file.string() << " (" << bytes.size() << " bytes)\n";
            run_one(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++inputs;
        }
    }
    std::cout << inputs << " inputs ran clean\n";
    return inputs > 0 ? 0 : 1;
}
