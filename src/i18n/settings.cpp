#include "i18n/settings.hpp"
