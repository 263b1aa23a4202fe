#include "launch.h"
