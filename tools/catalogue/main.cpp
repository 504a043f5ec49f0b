// kestrel-catalogue MANIFEST OUTPUT [--depfile FILE]: checks a firmware data set and
// writes the C++ source of the compiled-in catalogue. Exit status 1 when the data set is
// refused; then no OUTPUT is left behind.
#include <cstdio>
#include <string>

#include "tools/catalogue/compiler.h"

int main(int argc, char** argv) {
    std::string depfile;
    if (argc == 5 && std::string(argv[3]) == "--depfile") {
        depfile = argv[4];
    } else if (argc != 3) {
        std::fprintf(stderr, "usage: kestrel-catalogue MANIFEST OUTPUT [--depfile FILE]\n");
        return 2;
    }
    catalogue_compiler::Messages messages;
    const bool ok = catalogue_compiler::CompileCatalogue(argv[1], argv[2], depfile, &messages);
    for (const std::string& warning : messages.warnings) {
        std::fprintf(stderr, "kestrel-catalogue: warning: %s\n", warning.c_str());
    }
    for (const std::string& error : messages.errors) {
        std::fprintf(stderr, "kestrel-catalogue: error: %s\n", error.c_str());
    }
    return ok ? 0 : 1;
}
