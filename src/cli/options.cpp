#include "cli/options.h"
