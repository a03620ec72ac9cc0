#include "storage/bassavelist.h"
