// Everything a caller of the provider needs.
#pragma once
#include "gost.h"
#include "wincrypt.h"
#include "wintypes.h"
