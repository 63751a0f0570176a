#include "pdf/job.hpp"
