#include "keyfile/keyfile.h"
