#include "scriptedserver.h"
