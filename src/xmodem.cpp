#include "xmodem.h"
