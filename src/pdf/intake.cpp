#include "pdf/intake.hpp"
