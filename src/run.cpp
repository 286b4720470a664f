// The one pointer to what the run going on asked.
#include "run.hpp"

RunAsked run_asked = {};
