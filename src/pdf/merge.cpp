#include "pdf/merge.hpp"
