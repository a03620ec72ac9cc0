#include "fixtures.h"
