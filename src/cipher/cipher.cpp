#include "cipher.h"
