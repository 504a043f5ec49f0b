// Which catalogue the engine reads: the compiled-in one (generated from the data set into
// the build tree), or one that a test or a benchmark selects for a run.
#include "catalogue/catalogue.h"

namespace {
const Catalogue COMPILED_IN = {FirmwareCatalogue, infoRequest, bridgeRequest};
const Catalogue* selectedCatalogue = nullptr;
} // namespace

const Catalogue& CurrentCatalogue() {
    return selectedCatalogue != nullptr ? *selectedCatalogue : COMPILED_IN;
}

void SelectCatalogue(const Catalogue* catalogue) {
    selectedCatalogue = catalogue;
}
