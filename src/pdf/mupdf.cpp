#include "pdf/mupdf.hpp"
