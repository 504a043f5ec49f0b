// The catalogue compiler: reads a firmware data set (a manifest naming, per slot, a name,
// two version bytes and an image file, plus the two stored requests), refuses data that
// the program could not use safely, and writes the C++ source of the compiled-in catalogue.
#pragma once

#include <string>
#include <vector>

namespace catalogue_compiler {

struct Messages {
    std::vector<std::string> errors;   // "FILE: WHERE: offset N: text", WHERE a slot or request
    std::vector<std::string> warnings; // same form
};

// Checks the data set of `manifestPath` and, when it holds no error, writes the generated
// source to `outputPath` (through a temporary file renamed into place) and, if
// `depfilePath` is not empty, a make-style list of the files it read. On any error no
// output is left behind, an older one included. Returns true when the output was written.
bool CompileCatalogue(const std::string& manifestPath, const std::string& outputPath,
                      const std::string& depfilePath, Messages* messages);

} // namespace catalogue_compiler
