#include "usb_boot.h"
