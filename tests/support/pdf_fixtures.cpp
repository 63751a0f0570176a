#include "support/pdf_fixtures.hpp"
