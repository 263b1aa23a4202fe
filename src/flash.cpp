#include "flash.h"
