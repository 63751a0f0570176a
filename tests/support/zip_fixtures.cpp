#include "support/zip_fixtures.hpp"
