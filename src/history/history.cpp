#include "history/history.hpp"
