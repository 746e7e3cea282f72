// Win32 files subset of the seam (Linux declarations).
#pragma once
#include "nt/linux/base.h"
