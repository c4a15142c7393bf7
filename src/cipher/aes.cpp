#include "aes.h"
