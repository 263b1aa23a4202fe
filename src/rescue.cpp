#include "rescue.h"
