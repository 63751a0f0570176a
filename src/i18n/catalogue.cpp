#include "i18n/catalogue.hpp"
