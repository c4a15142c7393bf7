#include "container.h"
