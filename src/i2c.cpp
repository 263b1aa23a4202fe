#include "i2c.h"
