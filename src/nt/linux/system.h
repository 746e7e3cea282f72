// Win32 system subset of the seam (Linux declarations).
#pragma once
#include "nt/linux/base.h"
