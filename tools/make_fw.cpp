// make_fw: writes the project's sample firmware images (Intel HEX) into a
// directory, by default fw/ of the source tree.  The output is the same on
// every run, so the committed images can be checked against it.
//   make_fw [DIR]
#include "sim/board/sample_images.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: make_fw [DIR]\n");
        return 2;
    }
    std::string dir = argc == 2 ? argv[1] : TARVO_FW_DIR;
    for (const auto &sample : sim::board::sample_images()) {
        std::string path = dir + "/" + sample.file;
        std::string text = sim::board::intel_hex(sim::board::make_sample_image(sample));
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
            std::fclose(f) != 0) {
            std::fprintf(stderr, "make_fw: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
