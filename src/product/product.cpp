#include "product/product.hpp"

namespace product {

ProductProfile profile() {
    ProductProfile p;
    p.CODE = "mergalo";
    p.TITLE = "Tarvo PDF Mergalo";
    p.EXE_NAME = "Mergalo";
    p.APP_VERSION = MERGALO_VERSION;  // the project's version, set in CMakeLists.txt
    p.LIB_FOLDER = "mgl";
    p.ROOT = std::filesystem::path(MERGALO_SOURCE_TREE);
    p.ICON_NAME = "mergalo.ico";
    return p;
}

}  // namespace product
