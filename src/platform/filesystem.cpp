#include "platform/filesystem.h"
